// The cleaner's folder rules, the index.dat wipe, the single instance and the watchdog.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "brevik/trace_cleaner.h"
#include "brevik/trace_folders.h"
#include "platform/machine_root.h"
#include "platform/named_objects.h"
#include "platform/process.h"
#include "testsupport/command.h"
#include "testsupport/temp_dir.h"
#include "testsupport/temp_root.h"
#include "testsupport/wait.h"

namespace {

bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

void Write(const std::string& path, const std::string& text, mode_t mode = 0644) {
    std::ofstream(path) << text;
    ::chmod(path.c_str(), mode);
}

std::string Read(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class BrevikTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* v : {"XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME"}) ::unsetenv(v);
        home = dir.Path() + "/home";
        outside = dir.Path() + "/outside";
        prog = dir.Path() + "/prog";
        ASSERT_TRUE(platform::MakeDirs(home, 0700) && platform::MakeDirs(outside) &&
                    platform::MakeDirs(prog));
        folders = brevik::UserTraceFolders(home);
        for (const auto* f : {&folders.cache, &folders.cookies, &folders.history})
            ASSERT_TRUE(platform::MakeDirs(*f));
        Write(outside + "/precious", "keep me");
    }
    brevik::BrevikOptions Options() {
        brevik::BrevikOptions o;
        o.programDir = prog;
        o.home = home;
        return o;
    }

    testsupport::TempRoot root{"brevik-test"};
    testsupport::TempDir dir{"brevik-files"};
    std::string home, outside, prog;
    brevik::TraceFolders folders;
};

TEST_F(BrevikTest, FoldersAreTheXdgFoldersOfTheSuitesHttpLayer) {
    EXPECT_EQ(folders.cache, home + "/.cache/qel");
    EXPECT_EQ(folders.cookies, home + "/.local/share/qel/cookies");
    EXPECT_EQ(folders.history, home + "/.local/state/qel/history");
    ::setenv("XDG_CACHE_HOME", (home + "/c").c_str(), 1);
    ::setenv("XDG_DATA_HOME", "relative/ignored", 1);
    const auto f = brevik::UserTraceFolders(home);
    EXPECT_EQ(f.cache, home + "/c/qel");
    EXPECT_EQ(f.cookies, home + "/.local/share/qel/cookies");
}

TEST_F(BrevikTest, EmptyingKeepsDesktopIniAndNeverLeavesTheUsersFolder) {
    const std::string c = folders.cache;
    ASSERT_TRUE(platform::MakeDirs(c + "/sub/deeper"));
    Write(c + "/a", "1");
    Write(c + "/sub/deeper/b", "2", 0444);
    Write(c + "/desktop.ini", "kept");
    Write(c + "/sub/Desktop.INI", "kept too");
    ASSERT_EQ(::symlink(outside.c_str(), (c + "/dirlink").c_str()), 0);
    ASSERT_EQ(::symlink((outside + "/precious").c_str(), (c + "/filelink").c_str()), 0);
    ASSERT_TRUE(platform::MakeDirs(c + "/locked"));
    Write(c + "/locked/x", "3");
    ASSERT_EQ(::chmod((c + "/locked").c_str(), 0500), 0);

    const auto r = brevik::EmptyDirectory(home, c, false);
    EXPECT_TRUE(r.listed);
    EXPECT_EQ(r.kept, 2);
    EXPECT_TRUE(Exists(c + "/desktop.ini"));
    EXPECT_TRUE(Exists(c + "/sub/Desktop.INI"));  // and so its folder stays
    EXPECT_FALSE(Exists(c + "/a"));
    EXPECT_FALSE(Exists(c + "/sub/deeper"));
    EXPECT_FALSE(Exists(c + "/dirlink"));  // the link went, as a link
    EXPECT_FALSE(Exists(c + "/filelink"));
    EXPECT_FALSE(Exists(c + "/locked"));
    EXPECT_EQ(Read(outside + "/precious"), "keep me");
}

TEST_F(BrevikTest, FoldersOutsideTheHomeOrReachedThroughLinksAreLeftAlone) {
    EXPECT_FALSE(brevik::EmptyDirectory(home, outside, false).listed);
    EXPECT_FALSE(brevik::EmptyDirectory(home, home + "/../outside", false).listed);
    // A link on the way into the folder: ~/.local/state points outside.
    ASSERT_TRUE(platform::MakeDirs(outside + "/qel/history"));
    Write(outside + "/qel/history/index.dat", std::string(200, 'x'));
    ASSERT_EQ(testsupport::Run({"rm", "-rf", home + "/.local/state"}), 0);
    ASSERT_EQ(::symlink(outside.c_str(), (home + "/.local/state").c_str()), 0);
    EXPECT_FALSE(brevik::EmptyDirectory(home, folders.history, true).listed);
    EXPECT_EQ(Read(outside + "/qel/history/index.dat"), std::string(200, 'x'));
    EXPECT_EQ(Read(outside + "/precious"), "keep me");
}

TEST_F(BrevikTest, HistoryIndexDatIsZeroFilledAfterItsHeaderBeforeItGoes) {
    std::string bytes;
    for (int i = 0; i < 25000; ++i) bytes.push_back(static_cast<char>('A' + i % 26));
    const std::string index = folders.history + "/index.dat";
    Write(index, bytes);
    const std::string seen = outside + "/seen";  // a second name of the same file
    ASSERT_EQ(::link(index.c_str(), seen.c_str()), 0);
    const std::string cacheIndex = folders.cache + "/index.dat";  // not in the history: not wiped
    Write(cacheIndex, bytes);
    ASSERT_EQ(::link(cacheIndex.c_str(), (outside + "/cache-seen").c_str()), 0);

    EXPECT_EQ(brevik::EmptyDirectory(home, folders.history, true).wiped, 1);
    EXPECT_EQ(brevik::EmptyDirectory(home, folders.cache, false).wiped, 0);
    EXPECT_FALSE(Exists(index));
    const std::string after = Read(seen);
    ASSERT_EQ(after.size(), bytes.size());
    EXPECT_EQ(after.substr(0, 64), bytes.substr(0, 64));
    EXPECT_EQ(after.substr(64), std::string(bytes.size() - 64, '\0'));
    EXPECT_EQ(Read(outside + "/cache-seen"), bytes);
}

TEST_F(BrevikTest, ASecondCleanerEndsAtOnce) {
    auto first = platform::NamedEvent::Create(brevik::kStopEventName, true, false);
    ASSERT_TRUE(first);
    Write(folders.cache + "/a", "1");
    Write(prog + "/" + brevik::kCookieScript, "#!/bin/sh\ntouch \"$0.ran\"\n", 0755);
    brevik::TwBrevik cleaner(Options());
    EXPECT_EQ(cleaner.Run(), 0);
    EXPECT_TRUE(Exists(folders.cache + "/a"));
    EXPECT_FALSE(Exists(prog + "/" + brevik::kCookieScript + ".ran"));
}

TEST_F(BrevikTest, ARunRunsBothScriptsAndEmptiesTheThreeFolders) {
    Write(prog + "/" + brevik::kCookieScript, "#!/bin/sh\ntouch \"$0.ran\"\n", 0755);
    Write(prog + "/" + brevik::kOpenDocScript, "#!/bin/sh\ntouch \"$0.ran\"\n", 0775);  // group-writable
    Write(folders.cache + "/a", "1");
    Write(folders.cookies + "/b", "2");
    Write(folders.cookies + "/desktop.ini", "3");
    Write(folders.history + "/c", "4");
    brevik::TwBrevik cleaner(Options());
    EXPECT_EQ(cleaner.Run(), 0);
    EXPECT_TRUE(Exists(prog + "/" + brevik::kCookieScript + ".ran"));
    EXPECT_FALSE(Exists(prog + "/" + brevik::kOpenDocScript + ".ran"));  // others could have written it
    EXPECT_FALSE(Exists(folders.cache + "/a"));
    EXPECT_FALSE(Exists(folders.cookies + "/b"));
    EXPECT_TRUE(Exists(folders.cookies + "/desktop.ini"));
    EXPECT_FALSE(Exists(folders.history + "/c"));
}

const char* kLongScript = "#!/bin/sh\nsleep 60 &\necho $! > \"$0.child\"\nwait\n";

// The child lock is free while the script runs, so a stop takes it at once, not after its wait
// (made half a minute here, so that the two are told apart by a wide margin).
TEST_F(BrevikTest, AStopEndsTheRunningScriptWithoutWaitingForTheLock) {
    const std::string script = prog + "/" + brevik::kCookieScript;
    Write(script, kLongScript, 0755);
    auto options = Options();
    options.timing.childLockWaitMs = 30000;
    int ended = -1;
    options.endProcess = [&](int code) { ended = code; };
    brevik::TwBrevik cleaner(options);
    std::thread run([&] { cleaner.RunBatFile(brevik::kCookieScript); });
    // The script can write its child's pid before the spawn has returned to the cleaner, so both are
    // waited for.
    const bool started = testsupport::WaitFor("the script's child and the cleaner's note of the script", [&] {
        return !Read(script + ".child").empty() && cleaner.RunningChild() > 0;
    });
    if (!started) {
        cleaner.OnStopRequested();
        run.join();
        FAIL() << "the script never ran";
    }
    const pid_t child = std::atoi(Read(script + ".child").c_str());
    const auto start = std::chrono::steady_clock::now();
    cleaner.OnStopRequested();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(ended, 0);
    run.join();
    EXPECT_EQ(cleaner.RunningChild(), -1);
    EXPECT_TRUE(testsupport::WaitFor("the script's own child to end",
                                     [&] { return !platform::ProcessAlive(child); }));
}

// The program: the stop event set while a script runs ends the script and the cleaner, exit code 0,
// well within the watchdog's 3 s.
TEST_F(BrevikTest, TheWatchdogEndsTheProgramAndItsScript) {
    ASSERT_EQ(testsupport::Run({"cp", testsupport::BinDir() + "/Brevik", prog + "/Brevik"}), 0);
    const std::string script = prog + "/" + brevik::kCookieScript;
    Write(script, kLongScript, 0755);
    Write(folders.cache + "/a", "1");
    platform::SpawnOptions spawn;
    spawn.extraEnv = {"HOME=" + home};
    const pid_t pid = platform::Spawn({prog + "/Brevik"}, spawn);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(testsupport::WaitFor("the script's child", [&] { return !Read(script + ".child").empty(); }));
    const pid_t child = std::atoi(Read(script + ".child").c_str());
    auto stop = platform::NamedEvent::Open(brevik::kStopEventName);
    ASSERT_TRUE(stop);
    // A second cleaner meanwhile finds the first and leaves at once.
    EXPECT_EQ(platform::RunAndWait({prog + "/Brevik"}, spawn), 0);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(stop->Set());
    int code = -1;
    ASSERT_EQ(platform::WaitProcess(pid, 3000, &code), platform::kWaitObject0)
        << "the cleaner did not end in 3 s";
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3000));
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(
        testsupport::WaitFor("the script's child to end", [&] { return !platform::ProcessAlive(child); }));
    EXPECT_TRUE(Exists(folders.cache + "/a"));  // stopped before the folders
    stop.reset();
    EXPECT_TRUE(testsupport::WaitFor("the stop event to go",
                                     [] { return !platform::NamedObjectExists(brevik::kStopEventName); }));
}

}  // namespace
