// Today's file is a name other users can plant in the Log folder: the log writes only into a
// regular file of its own name, and a file it creates has a fixed mode.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "log_fixture.h"
#include "platform/unique_fd.h"

namespace dailylog_test {
namespace {

constexpr const char* kToday = "LogFile-20260314.log";

class FileSafety : public DailyLogTest {
protected:
    std::string TodayPath() const { return LogDir() + "/" + kToday; }

    // A file outside the Log folder that only its owner may touch, standing for /etc/shadow.
    std::string PrivateFile(const std::string& content) const {
        const std::string path = m_root + "/private";
        std::ofstream(path, std::ios::binary) << content;
        ::chmod(path.c_str(), 0600);
        return path;
    }

    static std::string Slurp(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
};

TEST_F(FileSafety, APlantedSymlinkOrHardLinkIsNeverWrittenThrough) {
    const std::string target = PrivateFile("secret\n");
    auto log = SharedDailyLog::CreateForTest(m_clock);

    ASSERT_EQ(::symlink(target.c_str(), TodayPath().c_str()), 0);
    EXPECT_EQ(log->Write(LOG_ALWAYS_40, 1, "through a symlink"), 0);
    EXPECT_EQ(Slurp(target), "secret\n");

    // A dangling link must not make the log create its target either.
    ASSERT_EQ(::unlink(TodayPath().c_str()), 0);
    const std::string missing = m_root + "/created-through-link";
    ASSERT_EQ(::symlink(missing.c_str(), TodayPath().c_str()), 0);
    EXPECT_EQ(log->Write(LOG_ALWAYS_40, 1, "through a dangling symlink"), 0);
    EXPECT_FALSE(fs::exists(missing));

    ASSERT_EQ(::unlink(TodayPath().c_str()), 0);
    ASSERT_EQ(::link(target.c_str(), TodayPath().c_str()), 0);
    EXPECT_EQ(log->Write(LOG_ALWAYS_40, 1, "through a hard link"), 0);
    EXPECT_EQ(Slurp(target), "secret\n");

    // Once the planted name is gone the log writes again.
    ASSERT_EQ(::unlink(TodayPath().c_str()), 0);
    EXPECT_GT(log->Write(LOG_ALWAYS_40, 1, "own file"), 0);
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(TodayPath())));
}

TEST_F(FileSafety, AFifoOrFolderAsTodaysFileIsRefusedWithoutBlocking) {
    auto log = SharedDailyLog::CreateForTest(m_clock);
    ASSERT_EQ(::mkfifo(TodayPath().c_str(), 0666), 0);
    EXPECT_EQ(log->Write(LOG_ALWAYS_40, 1, "into a fifo nobody reads"), 0);  // returns, no reader needed
    ASSERT_EQ(::unlink(TodayPath().c_str()), 0);

    ASSERT_TRUE(fs::create_directory(TodayPath()));
    EXPECT_EQ(log->Write(LOG_ALWAYS_40, 1, "into a folder"), 0);
}

TEST_F(FileSafety, ACreatedFileHasTheFixedModeAndAnExistingOneKeepsItsOwn) {
    auto log = SharedDailyLog::CreateForTest(m_clock);
    const mode_t old = ::umask(077);
    const int written = log->Write(LOG_ALWAYS_40, 1, "first line of the day");
    ::umask(old);
    ASSERT_GT(written, 0);
    struct stat st {};
    ASSERT_EQ(::stat(TodayPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0660u);

    ASSERT_EQ(::chmod(TodayPath().c_str(), 0640), 0);
    ASSERT_GT(log->Write(LOG_ALWAYS_40, 1, "second line"), 0);
    ASSERT_EQ(::stat(TodayPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_NE(ReadLog(kToday).find("second line"), std::string::npos);
}

// The folder layout the README prescribes (setgid, sticky, group-writable): a file root's
// programs create belongs to the group, so a member appends to it but cannot remove it.
TEST_F(FileSafety, AGroupMemberAppendsToRootsFileButCannotRemoveIt) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    const gid_t group = 65534;  // stands for the GUI users' group
    const uid_t member = 65534;
    ASSERT_EQ(::chown(m_root.c_str(), 0, group), 0);
    ASSERT_EQ(::chmod(m_root.c_str(), 0750), 0);
    ASSERT_EQ(::chown(m_install.c_str(), 0, group), 0);
    ASSERT_EQ(::chmod(m_install.c_str(), 0750), 0);
    ASSERT_EQ(::chown(LogDir().c_str(), 0, group), 0);
    ASSERT_EQ(::chmod(LogDir().c_str(), 03770), 0);

    auto log = SharedDailyLog::CreateForTest(m_clock);
    ASSERT_GT(log->Write(LOG_ALWAYS_40, 1, "root's line"), 0);
    struct stat st {};
    ASSERT_EQ(::stat(TodayPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_gid, group);

    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (::setgroups(1, &group) != 0 || ::setgid(group) != 0 || ::setuid(member) != 0) ::_exit(10);
        {
            const platform::UniqueFd fd(::open(TodayPath().c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW));
            if (!fd || ::write(fd.Get(), "member\r\n", 8) != 8) ::_exit(11);
        }
        if (::unlink(TodayPath().c_str()) == 0 || errno != EPERM) ::_exit(12);
        const std::string other = LogDir() + "/LogFile-20260313.log";
        if (::rename(TodayPath().c_str(), other.c_str()) == 0 || errno != EPERM) ::_exit(13);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10 drop, 11 append, 12 unlink allowed, 13 rename allowed";
    EXPECT_NE(ReadLog(kToday).find("root's line"), std::string::npos);
    EXPECT_NE(ReadLog(kToday).find("member\r\n"), std::string::npos);
}

}  // namespace
}  // namespace dailylog_test
