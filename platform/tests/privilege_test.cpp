// Local attacks on the root side of the platform layer: an unprivileged user (a forked child that
// dropped to "nobody") against the runtime folders, named objects and the settings store of a
// machine root of the test's own. Each test also shows that legitimate use still works.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <random>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/errors.h"
#include "platform/instance_lock.h"
#include "platform/machine_root.h"
#include "platform/named_objects.h"
#include "platform/private_profile.h"
#include "platform/secure_dir.h"
#include "platform/service_control.h"
#include "platform/settings_store.h"
#include "platform/unique_fd.h"
#include "platform/user_place.h"
#include "test_support.h"
#include "testsupport/as_user.h"

namespace platform {
namespace {

using testsupport::AsUser;

constexpr gid_t kTestClientGroup = 65533;  // stands for the "qel" group

// Each user of a test has a home of its own below the test's machine root (HOME names it for the
// user's processes), where its own place is made: <home>/.local/state/qel.
std::string g_homes;
std::string HomeOf(uid_t uid) { return g_homes + "/home-" + std::to_string(uid); }
std::string PlaceOf(uid_t uid) { return HomeOf(uid) + "/.local/state/qel"; }
void EnterHomeOf(uid_t uid) {
    const std::string home = HomeOf(uid);
    if (::mkdir(home.c_str(), 0700) == 0) (void)!::chown(home.c_str(), uid, static_cast<gid_t>(-1));
    ::setenv("HOME", home.c_str(), 1);
    ::unsetenv("XDG_STATE_HOME");
}
int RunAs(const AsUser& who, const std::function<int()>& body) {
    EnterHomeOf(who.uid);
    return testsupport::RunAsUser(who, body);
}
int RunProgramAs(const AsUser& who, const std::vector<std::string>& argv) {
    EnterHomeOf(who.uid);
    return testsupport::RunProgramAsUser(who, argv);
}

class PrivilegeTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root (drops to an unprivileged user)";
        ::setenv("QEL_GROUP", std::to_string(kTestClientGroup).c_str(), 1);
        m_root = std::make_unique<testsupport::TempRoot>("qel-priv");
        // The attacker must reach the machine's folders, as on a real machine.
        ASSERT_EQ(::chmod(m_root->Path().c_str(), 0755), 0);
        m_secret = m_root->Path() + "/secret";
        g_homes = m_root->Path();
        const char* home = std::getenv("HOME");
        m_home = home != nullptr ? home : "";
        ASSERT_EQ(::mkdir(m_secret.c_str(), 0700), 0);
    }
    void TearDown() override {
        m_root.reset();
        ::unsetenv("QEL_GROUP");
        if (!m_home.empty()) ::setenv("HOME", m_home.c_str(), 1);
        ResetMachineRoot();
    }
    std::string Run() const { return m_root->Path() + "/run"; }
    // The runtime folder as the landed code left it: world-writable, sticky.
    void MakeLegacyRunFolder() const {
        ASSERT_EQ(::mkdir(Run().c_str(), 01777), 0);
        ASSERT_EQ(::chmod(Run().c_str(), 01777), 0);
    }
    bool SecretEmpty() const { return std::filesystem::is_empty(m_secret); }

    std::unique_ptr<testsupport::TempRoot> m_root;
    std::string m_secret;
    std::string m_home;
};

// The install's record of the client group decides for every root program of the machine, over
// whatever QEL_GROUP a starter has; only a plain file of root that nobody else may write, holding
// one group name, is taken.
TEST_F(PrivilegeTest, TheClientGroupIsTheInstallsRecordOnlyAsRootsPlainFileWithAName) {
    const std::string record = m_root->Path() + "/" + kClientGroupRecord;
    auto chosen = [&](const std::string& text, mode_t mode, uid_t owner) {
        ::unlink(record.c_str());
        std::ofstream(record, std::ios::binary) << text;
        EXPECT_EQ(::chmod(record.c_str(), mode), 0);
        EXPECT_EQ(::chown(record.c_str(), owner, 0), 0);
        ResetMachineRoot();
        return ClientGroupName();
    };
    ResetMachineRoot();
    EXPECT_EQ(ClientGroupName(), std::to_string(kTestClientGroup)) << "without a record QEL_GROUP counts";
    EXPECT_EQ(chosen("daemon\n", 0644, 0), "daemon");
    const group* daemon = ::getgrnam("daemon");
    if (daemon != nullptr) {
        EXPECT_EQ(ClientGroupId(), daemon->gr_gid);
    }
    EXPECT_EQ(chosen("daemon\n", 0664, 0), std::to_string(kTestClientGroup)) << "writable by its group";
    EXPECT_EQ(chosen("daemon\n", 0644, testsupport::kUnprivilegedUid), std::to_string(kTestClientGroup));
    for (const std::string& bad :
         std::vector<std::string>{"", "\n", "da mon\n", "-daemon\n", "daemon\nother\n", "../etc\n",
                                  std::string(40, 'a') + "\n", std::string("dae\0mon", 7)}) {
        EXPECT_EQ(chosen(bad, 0644, 0), std::to_string(kTestClientGroup)) << "taken: " << bad;
    }
    // A link to root's file is not the record.
    const std::string elsewhere = m_secret + "/group";
    std::ofstream(elsewhere) << "daemon\n";
    ::unlink(record.c_str());
    ASSERT_EQ(::symlink(elsewhere.c_str(), record.c_str()), 0);
    ResetMachineRoot();
    EXPECT_EQ(ClientGroupName(), std::to_string(kTestClientGroup));
    // Random contents: a name of the allowed characters or nothing taken.
    std::mt19937 random(7);
    for (int i = 0; i < 300; ++i) {
        std::string text(random() % 48, '\0');
        for (char& c : text) c = static_cast<char>(random() % 256);
        const std::string name = chosen(text, 0644, 0);
        if (name == std::to_string(kTestClientGroup)) continue;
        EXPECT_TRUE(
            name.size() <= 32 &&
            name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-.") ==
                std::string::npos)
            << name;
    }
    ::unlink(record.c_str());
    ResetMachineRoot();
}

TEST_F(PrivilegeTest, PlantedLinksForRootFoldersAreRefusedAndNothingIsWrittenThrough) {
    MakeLegacyRunFolder();
    const std::string secret = m_secret;
    const std::string run = Run();
    ASSERT_EQ(RunAs({},
                    [&] {
                        return ::symlink(secret.c_str(), (run + "/services").c_str()) == 0 &&
                                       ::symlink(secret.c_str(), (run + "/objects").c_str()) == 0
                                   ? 0
                                   : 1;
                    }),
              0);
    // Root narrows its own runtime folder, but uses neither planted entry.
    EXPECT_EQ(RuntimeDir(), run);
    struct stat st {};
    ASSERT_EQ(::lstat(run.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_EQ(RuntimeSubDir("services"), "");
    EXPECT_EQ(RuntimeSubDir("objects", 01777), "");

    ASSERT_EQ(InstallService("Victim", ServiceConfig{"Victim", "/bin/true"}), kErrorSuccess);
    EXPECT_EQ(StartServiceByName("Victim", 2000), kErrorGeneralFailure);
    ControlServiceByName("Victim", SERVICE_CONTROL_STOP, nullptr, 1000);
    EXPECT_FALSE(NamedMutex::Create("Global\\Victim"));
    EXPECT_FALSE(NamedObjectExists("Global\\Victim"));
    EXPECT_TRUE(SecretEmpty()) << "root wrote through a planted link";

    // Once the entries are gone, root makes its own folders.
    ASSERT_EQ(::unlink((run + "/services").c_str()), 0);
    ASSERT_EQ(::unlink((run + "/objects").c_str()), 0);
    EXPECT_EQ(RuntimeSubDir("services"), run + "/services");
    EXPECT_TRUE(NamedMutex::Create("Global\\Victim"));
}

TEST_F(PrivilegeTest, FoldersOfOtherUsersOrWithForeignWriteAccessAreRefused) {
    ASSERT_EQ(::mkdir(Run().c_str(), 0755), 0);
    ASSERT_EQ(::chown(Run().c_str(), testsupport::kUnprivilegedUid, testsupport::kUnprivilegedGid), 0);
    EXPECT_EQ(RuntimeDir(), "");
    std::string why;
    EXPECT_FALSE(EnsureSecureDir(Run(), SecureDirRule{0755}, &why));
    EXPECT_NE(why.find("owned by uid 65534"), std::string::npos) << why;
    ASSERT_EQ(::rmdir(Run().c_str()), 0);

    // A machine root others may rename entries in cannot hold trusted folders.
    ASSERT_EQ(::chmod(m_root->Path().c_str(), 0777), 0);
    EXPECT_EQ(RuntimeDir(), "");
    ASSERT_EQ(::chmod(m_root->Path().c_str(), 0755), 0);
    EXPECT_EQ(RuntimeDir(), Run());

    // A pid or lock file is never created through something already there.
    const std::string dir = RuntimeSubDir("services");
    ASSERT_EQ(::symlink((m_secret + "/x").c_str(), (dir + "/a.pid.tmp").c_str()), 0);
    EXPECT_EQ(CreateFileExclusive(dir, "a.pid.tmp", 0644), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_TRUE(SecretEmpty());
}

TEST_F(PrivilegeTest, ATruncatedNamedObjectIsReportedWithoutASignal) {
    auto event = NamedEvent::Create("Global\\Cut", true, false);
    auto mutex = NamedMutex::Create("Global\\CutMutex");
    ASSERT_TRUE(event && mutex);
    const std::string objects = Run() + "/objects";
    ASSERT_EQ(RunAs({},
                    [&] {
                        return ::truncate((objects + "/obj-Cut").c_str(), 0) == 0 &&
                                       ::truncate((objects + "/obj-CutMutex").c_str(), 0) == 0 &&
                                       ::truncate((objects + "/obj-CutMutex").c_str(), 4096) == 0
                                   ? 0
                                   : 1;
                    }),
              0);
    EXPECT_FALSE(event->Set());
    EXPECT_EQ(GetLastError(), 1006u);
    EXPECT_EQ(event->Wait(0), kWaitFailed);
    EXPECT_EQ(mutex->Wait(0), kWaitFailed) << "a zeroed object is as broken as a cut one";
    // A process that opens the cut object now is refused before it maps anything.
    EXPECT_EQ(test::RunHelper({"set-event", "Global\\Cut"}), 3);

    // Objects stay usable by every user, as the shared log's mutex must be.
    auto logMutex = NamedMutex::Create("Global\\VORNCLIENT_FILELOG");
    ASSERT_TRUE(logMutex);
    EXPECT_EQ(RunProgramAs({}, {test::HelperPath(), "use-mutex", "Global\\VORNCLIENT_FILELOG"}), 0);
    EXPECT_EQ(logMutex->Wait(1000), kWaitObject0);
    EXPECT_TRUE(logMutex->Release());
}

// Any user learns who holds a name (so that a mark another user squats can be told with its
// holder), never the caller itself; a holder that asks whether its own name exists is still named.
TEST_F(PrivilegeTest, TheHolderOfANameIsNamedToEveryUser) {
    auto ready = NamedEvent::Create("Global\\ready-squat", true, false);
    ASSERT_TRUE(ready);
    const pid_t squatter =
        Spawn({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", test::HelperPath(),
               "hold-mutex", "Global\\Squatted", "Global\\ready-squat"});
    ASSERT_GT(squatter, 0);
    ASSERT_EQ(ready->Wait(10000), kWaitObject0) << "the other user's holder never held the name";
    NamedObjectHolder holder;
    EXPECT_TRUE(FindNamedObjectHolder("Global\\Squatted", &holder));
    EXPECT_EQ(holder.pid, squatter);
    EXPECT_TRUE(holder.uidKnown);
    EXPECT_EQ(holder.uid, 65534u);
    EXPECT_FALSE(holder.user.empty());
    EXPECT_EQ(holder.program, "platform_test_h");
    int code = 0;
    ASSERT_TRUE(KillProcess(squatter, SIGKILL));
    ASSERT_EQ(WaitProcess(squatter, 10000, &code), kWaitObject0);
    EXPECT_FALSE(FindNamedObjectHolder("Global\\Squatted", &holder)) << "a dead holder is still named";

    auto mine = NamedMutex::Create("Global\\Mine");
    ASSERT_TRUE(mine);
    EXPECT_FALSE(FindNamedObjectHolder("Global\\Mine", &holder)) << "the caller named itself";
    EXPECT_TRUE(NamedObjectExists("Global\\Mine"));
    EXPECT_EQ(RunProgramAs({}, {test::HelperPath(), "who-holds", "Global\\Mine", std::to_string(::getpid())}),
              0);
}

TEST_F(PrivilegeTest, AnObjectFileThatIsNotAPlainFileIsRefused) {
    ASSERT_FALSE(RuntimeSubDir("objects", 01777).empty());
    const std::string objects = Run() + "/objects";
    ASSERT_EQ(RunAs({},
                    [&] {
                        const std::string mine = objects + "/mine";
                        const int fd = ::open(mine.c_str(), O_CREAT | O_RDWR, 0666);
                        return fd >= 0 && ::link(mine.c_str(), (objects + "/obj-Linked").c_str()) == 0 &&
                                       ::mkfifo((objects + "/obj-Fifo").c_str(), 0666) == 0
                                   ? 0
                                   : 1;
                    }),
              0);
    EXPECT_FALSE(NamedMutex::Create("Global\\Linked"));
    EXPECT_EQ(GetLastError(), 1006u);
    EXPECT_FALSE(NamedEvent::Create("Global\\Fifo", true, false));
    EXPECT_EQ(GetLastError(), 1006u);
}

std::string DeepKey(int components) {
    std::string key = "a";
    for (int i = 1; i < components; ++i) key += "\\a";
    return key;
}

TEST_F(PrivilegeTest, KeyDepthNameLengthAndValueSizeAreBounded) {
    auto store = SettingsStore::Machine();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(store->SetDword(DeepKey(10000), "v", 1), kRegInvalidParameter);
    EXPECT_EQ(store->CreateKey(DeepKey(10000)), kRegInvalidParameter);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_LT(std::filesystem::file_size(SettingsDbPath()), 1u << 20);

    EXPECT_EQ(store->SetDword(DeepKey(512), "v", 1), kRegOk);
    EXPECT_EQ(store->CreateKey(DeepKey(513)), kRegInvalidParameter);
    EXPECT_EQ(store->CreateKey("Software\\" + std::string(256, 'k')), kRegInvalidParameter);
    EXPECT_EQ(store->CreateKey("Software\\" + std::string(255, 'k')), kRegOk);
    std::vector<std::uint8_t> big(1u << 20, 7);
    EXPECT_EQ(store->SetBinary("Software\\Big", "v", big), kRegOk);
    big.push_back(7);
    EXPECT_EQ(store->SetBinary("Software\\Big", "v", big), kRegInvalidParameter);
    std::vector<std::uint8_t> back;
    EXPECT_EQ(store->GetBinary("Software\\Big", "v", &back), kRegOk);
    EXPECT_EQ(back.size(), 1u << 20);
}

TEST_F(PrivilegeTest, RootValuesStayRootOnlyAndTheClientKeyIsWritableForItsGroup) {
    const std::string service = "SYSTEM\\CurrentControlSet\\Services\\Victim";
    const std::string client = "Software\\Morvane\\QelClient";
    auto store = SettingsStore::Machine();
    ASSERT_EQ(store->SetString(service, "ImagePath", "/bin/true"), kRegOk);
    ASSERT_EQ(store->SetString(client, "InstallDir", "/opt/qel"), kRegOk);
    ASSERT_EQ(store->SetString(client, "LastUser", "alice"), kRegOk);
    const std::string helper = test::HelperPath();
    const AsUser outsider{};
    AsUser member{};
    member.groups = {kTestClientGroup};

    for (const AsUser& who : {outsider, member}) {
        EXPECT_EQ(RunProgramAs(who, {helper, "machine-set", service, "ImagePath", "/tmp/evil"}), 5);
        EXPECT_EQ(RunProgramAs(who, {helper, "machine-set", client, "InstallDir", "/tmp/evil"}), 5);
        EXPECT_EQ(RunProgramAs(who, {helper, "machine-set", client, "LogonHelper", "/tmp/evil.so"}), 5);
        EXPECT_EQ(RunProgramAs(who, {helper, "machine-set", client + "\\Extensions", "Run", "/tmp/x"}), 5);
        EXPECT_EQ(RunProgramAs(who, {helper, "machine-get", client, "InstallDir", "/opt/qel"}), 0);
    }
    // Every other value of the client key is the caller's own: written there, never into what
    // root's client or another member reads. What root's programs read stays shared.
    EXPECT_EQ(RunProgramAs(outsider, {helper, "machine-set", client, "LastUser", "mallory"}), 0);
    EXPECT_EQ(RunProgramAs(member, {helper, "machine-set", client, "LastUser", "bob"}), 0);
    EXPECT_EQ(RunProgramAs(member, {helper, "machine-set", client + "\\Profiles", "P1", "x"}), 0);
    EXPECT_EQ(RunProgramAs(member, {helper, "machine-get", client, "LastUser", "bob"}), 0);
    EXPECT_EQ(RunProgramAs(member, {helper, "machine-get", client + "\\Profiles", "P1", "x"}), 0);
    EXPECT_EQ(RunProgramAs(member, {helper, "machine-set", client, "SessionId", "7"}), 0);
    // The clean-cache policy a member's client received is kept where that client can write it.
    EXPECT_EQ(RunProgramAs(member, {helper, "machine-set", client, "CleanCachePolicy", "p1"}), 0);
    EXPECT_EQ(RunProgramAs(member, {helper, "machine-get", client, "CleanCachePolicy", "p1"}), 0);
    const AsUser otherMember{65532, 65532, {kTestClientGroup}};
    EXPECT_EQ(RunProgramAs(otherMember, {helper, "machine-get", client, "CleanCachePolicy", "p1"}),
              kRegFileNotFound);

    std::string value;
    ASSERT_EQ(store->GetString(service, "ImagePath", &value), kRegOk);
    EXPECT_EQ(value, "/bin/true");
    ASSERT_EQ(store->GetString(client, "InstallDir", &value), kRegOk);
    EXPECT_EQ(value, "/opt/qel");
    ASSERT_EQ(store->GetString(client, "LastUser", &value), kRegOk);
    EXPECT_EQ(value, "alice");
    EXPECT_EQ(store->GetString(client + "\\Profiles", "P1", &value), kRegFileNotFound);
    EXPECT_EQ(store->GetString(client, "CleanCachePolicy", &value), kRegFileNotFound);
    ASSERT_EQ(store->GetString(client, "SessionId", &value), kRegOk);
    EXPECT_EQ(value, "7");
    // The parts read as one registry.
    std::vector<std::string> names;
    ASSERT_EQ(store->EnumValues(client, &names), kRegOk);
    EXPECT_EQ(names, (std::vector<std::string>{"InstallDir", "LastUser", "SessionId"}));
    ASSERT_EQ(store->EnumKeys("Software\\Morvane", &names), kRegOk);
    EXPECT_EQ(names, (std::vector<std::string>{"QelClient"}));

    struct stat st {};
    ASSERT_EQ(::stat(ClientSettingsDbPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    EXPECT_EQ(st.st_gid, kTestClientGroup);
    ASSERT_EQ(::stat(SettingsDbPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 022, 0u);
}

TEST_F(PrivilegeTest, ClientValuesOfAStoreFromBeforeTheSplitAreStillRead) {
    const std::string client = "Software\\Morvane\\QelClient";
    {
        SettingsStore old(SettingsDbPath());  // one file for everything, as before
        ASSERT_EQ(old.SetString(client, "InstallDir", "/opt/qel"), kRegOk);
        ASSERT_EQ(old.SetString(client, "LastUser", "alice"), kRegOk);
    }
    auto store = SettingsStore::Machine();
    std::string value;
    ASSERT_EQ(store->GetString(client, "LastUser", &value), kRegOk);
    EXPECT_EQ(value, "alice");
    ASSERT_EQ(store->SetString(client, "LastUser", "bob"), kRegOk);
    ASSERT_EQ(store->GetString(client, "LastUser", &value), kRegOk);
    EXPECT_EQ(value, "bob");
    ASSERT_EQ(store->DeleteValue(client, "LastUser"), kRegOk);
    EXPECT_EQ(store->GetString(client, "LastUser", &value), kRegFileNotFound) << "the old copy came back";
    ASSERT_EQ(store->GetString(client, "InstallDir", &value), kRegOk);
    EXPECT_EQ(value, "/opt/qel");
}

std::string FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

TEST_F(PrivilegeTest, TheProxyPasswordIsReadableOnlyByItsOwnerAndRoot) {
    const std::string client = "Software\\Morvane\\QelClient";
    auto store = SettingsStore::Machine();
    ASSERT_EQ(store->SetString(client, "InstallDir", "/opt/qel"), kRegOk);
    const std::string helper = test::HelperPath();
    const AsUser owner{65534, 65534, {kTestClientGroup}};
    const AsUser otherMember{65532, 65532, {kTestClientGroup}};

    EXPECT_EQ(RunProgramAs(owner, {helper, "machine-set", client, "ProxyPass", "pw-of-owner"}), 0);
    EXPECT_EQ(RunProgramAs(owner, {helper, "machine-set", client, "ProxyUser", "owner"}), 0);
    EXPECT_EQ(RunProgramAs(owner, {helper, "machine-get", client, "ProxyPass", "pw-of-owner"}), 0);
    // Neither the password nor where it goes is another member's to read.
    EXPECT_EQ(RunProgramAs(otherMember, {helper, "machine-get", client, "ProxyUser", "owner"}),
              kRegFileNotFound);
    EXPECT_EQ(RunProgramAs(otherMember, {helper, "machine-get", client, "ProxyPass", "pw-of-owner"}),
              kRegFileNotFound);

    const std::string dir = m_root->Path() + "/client";
    const std::string own = PlaceOf(owner.uid) + "/settings.db";
    struct stat st {};
    ASSERT_EQ(::stat(own.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_uid, 65534u);
    ASSERT_EQ(::stat(PlaceOf(owner.uid).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_NE(RunAs(otherMember, [&] { return ::open(own.c_str(), O_RDONLY) < 0 ? 1 : 0; }), 0)
        << "another member opened the owner's secrets";
    for (const char* shared : {"/settings.db", "/settings.db-wal"}) {
        EXPECT_EQ(FileBytes(dir + shared).find("pw-of-owner"), std::string::npos)
            << "the password is in the group's " << shared;
    }
}

TEST_F(PrivilegeTest, AProxyPasswordStoredBeforeStillReadsAndLeavesTheSharedPartWhenWritten) {
    const std::string client = "Software\\Morvane\\QelClient";
    auto store = SettingsStore::Machine();
    ASSERT_EQ(store->SetString(client, "ProxyUser", "alice"), kRegOk);
    SettingsStore shared(ClientSettingsDbPath());  // where the landed code kept it
    ASSERT_EQ(shared.SetString(client, "ProxyPass", "old-pw"), kRegOk);

    std::string value;
    ASSERT_EQ(store->GetString(client, "ProxyPass", &value), kRegOk);
    EXPECT_EQ(value, "old-pw");
    std::vector<std::string> names;
    ASSERT_EQ(store->EnumValues(client, &names), kRegOk);
    EXPECT_EQ(std::count(names.begin(), names.end(), "ProxyPass"), 1);

    ASSERT_EQ(store->SetString(client, "ProxyPass", "new-pw"), kRegOk);
    ASSERT_EQ(store->GetString(client, "ProxyPass", &value), kRegOk);
    EXPECT_EQ(value, "new-pw");
    EXPECT_EQ(shared.GetString(client, "ProxyPass", &value), kRegFileNotFound) << "the shared copy stayed";

    ASSERT_EQ(shared.SetString(client, "ProxyPass", "old-pw"), kRegOk);
    ASSERT_EQ(store->DeleteValue(client, "ProxyPass"), kRegOk);
    EXPECT_EQ(store->GetString(client, "ProxyPass", &value), kRegFileNotFound) << "a copy came back";
    ASSERT_EQ(store->GetString(client, "ProxyUser", &value), kRegOk);
    EXPECT_EQ(value, "alice");
}

// Which certificate a user trusts for a gateway is that user's alone: another member can neither
// read nor replace it, and a value planted in the group's part is never taken for one.
TEST_F(PrivilegeTest, TrustedGatewayCertificatesAreTheUsersOwn) {
    const std::string pins = "Software\\Morvane\\QelClient\\GatewayCertificates";
    auto store = SettingsStore::Machine();
    const std::string helper = test::HelperPath();
    const AsUser owner{65534, 65534, {kTestClientGroup}};
    const AsUser otherMember{65532, 65532, {kTestClientGroup}};
    EXPECT_EQ(RunProgramAs(owner, {helper, "machine-set", pins, "gw.example:443", "AA:01"}), 0);
    EXPECT_EQ(RunProgramAs(otherMember, {helper, "machine-get", pins, "gw.example:443", "AA:01"}),
              kRegFileNotFound);
    EXPECT_EQ(RunProgramAs(otherMember, {helper, "machine-set", pins, "gw.example:443", "BB:02"}), 0);
    EXPECT_EQ(RunProgramAs(owner, {helper, "machine-get", pins, "gw.example:443", "AA:01"}), 0)
        << "another member changed the owner's trusted certificate";

    SettingsStore shared(ClientSettingsDbPath());
    ASSERT_EQ(shared.SetString(pins, "evil.example:443", "CC:03"), kRegOk);
    std::string value;
    EXPECT_EQ(store->GetString(pins, "evil.example:443", &value), kRegFileNotFound)
        << "a certificate planted in the group's part was trusted";
    ASSERT_EQ(store->SetString(pins, "gw.example:443", "DD:04"), kRegOk);
    EXPECT_EQ(shared.GetString(pins, "gw.example:443", &value), kRegFileNotFound);
    ASSERT_EQ(store->GetString(pins, "gw.example:443", &value), kRegOk);
    EXPECT_EQ(value, "DD:04");
}

TEST_F(PrivilegeTest, ARememberedLogonPasswordIsReadableOnlyByItsOwnerAndMovesOutOfTheSharedPart) {
    const std::string client = "Software\\Morvane\\QelClient";
    auto store = SettingsStore::Machine();
    ASSERT_EQ(store->SetString(client, "InstallDir", "/opt/qel"), kRegOk);
    const std::string helper = test::HelperPath();
    const AsUser owner{65534, 65534, {kTestClientGroup}};
    const AsUser otherMember{65532, 65532, {kTestClientGroup}};
    const std::string dir = m_root->Path() + "/client";
    // What the landed code wrote: the scrambled password in the group's part.
    {
        SettingsStore shared(ClientSettingsDbPath());
        ASSERT_EQ(shared.SetString(client, "QelPassword", "scrambled-old"), kRegOk);
        ASSERT_EQ(shared.SetString(client, "HistoryPasswords", "gw\tscrambled-h"), kRegOk);
    }
    ASSERT_EQ(::chown(ClientSettingsDbPath().c_str(), 0, kTestClientGroup), 0);
    for (const char* name : {"QelPassword", "HistoryPasswords"}) {
        const std::string want = std::string(name) == "QelPassword" ? "scrambled-old" : "gw\tscrambled-h";
        EXPECT_EQ(RunProgramAs(owner, {helper, "machine-get", client, name, want}), 0) << name;
        // Moved: still the owner's, gone from the group's part.
        EXPECT_EQ(RunProgramAs(owner, {helper, "machine-get", client, name, want}), 0) << name;
        EXPECT_EQ(RunProgramAs(otherMember, {helper, "machine-get", client, name, want}), kRegFileNotFound)
            << name;
    }
    {
        SettingsStore shared(ClientSettingsDbPath());
        std::string value;
        EXPECT_EQ(shared.GetString(client, "QelPassword", &value), kRegFileNotFound)
            << "the shared copy stayed";
    }

    EXPECT_EQ(RunProgramAs(owner, {helper, "machine-set", client, "QelPassword", "scrambled-new"}), 0);
    EXPECT_EQ(RunProgramAs(owner, {helper, "machine-get", client, "QelPassword", "scrambled-new"}), 0);
    EXPECT_EQ(RunProgramAs(otherMember, {helper, "machine-get", client, "QelPassword", "scrambled-new"}),
              kRegFileNotFound);
    for (const char* shared : {"/settings.db", "/settings.db-wal"}) {
        const std::string bytes = FileBytes(dir + shared);
        EXPECT_EQ(bytes.find("scrambled-new"), std::string::npos)
            << "the password is in the group's " << shared;
    }
}

// What another user plants in a folder everybody may write, at the names writers used to take
// for their temporary files ("<file>.tmp.<pid>" for the next pids, "<file>.XXXXXX" guesses) and at
// the names of files only read: FIFOs that would hold an open() up and links that would redirect
// a write into the test's secret folder.
void PlantAround(const std::string& file, const std::string& secret, pid_t victim) {
    std::ifstream last("/proc/sys/kernel/ns_last_pid");
    long next = 0;
    last >> next;
    std::vector<long> pids{victim};
    for (long pid = next; pid < next + 64; ++pid) pids.push_back(pid);
    for (long pid : pids) {
        const std::string name = file + ".tmp." + std::to_string(pid);
        ::mkfifo(name.c_str(), 0666);
        ::symlink((secret + "/through-" + std::to_string(pid)).c_str(), (name + "l").c_str());
    }
    ::symlink((secret + "/through-pid").c_str(), (file + ".pid.tmp").c_str());
    ::mkfifo((file + ".XXXXXX").c_str(), 0666);
}

TEST_F(PrivilegeTest, FilesPlantedWhereWritersPutTheirTemporaryFilesNeitherHoldNorRedirectAWrite) {
    MakeLegacyRunFolder();  // world-writable and sticky
    const std::string file = Run() + "/table.dat";
    const std::string ini = Run() + "/settings.ini";
    const std::string fifo = Run() + "/only-read.ini";
    const AsUser planter{65532, 65532, {}};
    const pid_t self = ::getpid();
    ASSERT_EQ(RunAs(planter,
                    [&] {
                        PlantAround(file, m_secret, self);
                        PlantAround(ini, m_secret, self);
                        return ::mkfifo(fifo.c_str(), 0666);
                    }),
              0);

    // Root's writers and a member's: each write is whole, ends, and goes nowhere else.
    const AsUser member{65534, 65534, {}};
    for (const AsUser* writer : {static_cast<const AsUser*>(nullptr), &member}) {
        auto write = [&] {
            if (!WriteFileAtomically(file, "whole", 0644)) return 1;
            if (!WritePrivateProfileString("S", "K", "v", ini.c_str())) return 2;
            char value[16] = {};
            GetPrivateProfileString("S", "K", "", value, sizeof value, ini.c_str());
            return std::string(value) == "v" ? 0 : 3;
        };
        if (writer == nullptr) {
            ASSERT_EQ(write(), 0);  // a hang here is the fault (the test's time-out ends it)
        } else {
            ::unlink(file.c_str());
            ::unlink(ini.c_str());
            ASSERT_EQ(RunAs(*writer, write), 0);
        }
        EXPECT_EQ(FileBytes(file), "whole");
        struct stat st {};
        ASSERT_EQ(::lstat(file.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
    }
    EXPECT_TRUE(SecretEmpty()) << "a write went through a planted link";

    // A FIFO in a file's place is refused at once, by the readers too.
    errno = 0;
    EXPECT_EQ(OpenRegularFile(fifo, true), -1);
    EXPECT_EQ(errno, EINVAL);
    char value[16] = {};
    EXPECT_EQ(GetPrivateProfileString("S", "K", "none", value, sizeof value, fifo.c_str()), 4u);
    EXPECT_FALSE(WritePrivateProfileString("S", "K", "v", fifo.c_str()));

    // Names are fresh each time and leave nothing behind.
    std::string first, second;
    const int a = CreateTempBeside(file, 0600, &first);
    const int b = CreateTempBeside(file, 0600, &second);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    EXPECT_NE(first, second);
    EXPECT_EQ(first.rfind(file + ".tmp.", 0), 0u);
    ::close(a);
    ::close(b);
    ::unlink(first.c_str());
    ::unlink(second.c_str());
}

// An own part an earlier version kept in the group's folder is read once, and only when it is the
// user's own: one another member planted under the user's name (with a forged certificate pin in
// it) is never adopted, and neither are side files planted beside the old name.
TEST_F(PrivilegeTest, APlantedPrivatePartIsRefusedAndGetsNoSecret) {
    const std::string client = "Software\\Morvane\\QelClient";
    const std::string pins = client + "\\GatewayCertificates";
    SettingsStore::Machine();  // root makes the client folder
    const std::string helper = test::HelperPath();
    const AsUser victim{65534, 65534, {kTestClientGroup}};
    const AsUser planter{65532, 65532, {kTestClientGroup}};
    const std::string planted = m_root->Path() + "/client/private-65534.db";
    {
        SettingsStore forged(planted);
        ASSERT_EQ(forged.SetString(pins, "gw.example:443", "EV:IL"), kRegOk);
    }
    ASSERT_EQ(::chown(planted.c_str(), planter.uid, planter.gid), 0);
    ASSERT_EQ(::chmod(planted.c_str(), 0666), 0);
    ASSERT_EQ(RunAs(planter,
                    [&] {
                        for (const char* side : {"-wal", "-shm"}) {
                            const int fd = ::open((planted + side).c_str(), O_CREAT | O_EXCL | O_RDWR, 0666);
                            if (fd < 0 || ::fchmod(fd, 0666) != 0) return 1;
                            ::close(fd);
                        }
                        return 0;
                    }),
              0);
    EXPECT_EQ(RunProgramAs(victim, {helper, "machine-get", pins, "gw.example:443", "EV:IL"}),
              kRegFileNotFound)
        << "a planted pin was trusted";
    EXPECT_EQ(RunProgramAs(victim, {helper, "machine-set", client, "ProxyPass", "pw-of-victim"}), 0);
    EXPECT_EQ(RunProgramAs(victim, {helper, "machine-set", pins, "gw.example:443", "AA:01"}), 0);
    for (const char* side : {"", "-wal", "-shm"}) {
        EXPECT_EQ(FileBytes(planted + side).find("pw-of-victim"), std::string::npos) << side;
        EXPECT_EQ(FileBytes(planted + side).find("AA:01"), std::string::npos) << side;
    }
    // Nobody else can plant beside the victim's own part: its folder is the victim's alone.
    const std::string own = PlaceOf(victim.uid) + "/settings.db";
    EXPECT_NE(
        RunAs(planter, [&] { return ::open((own + "-wal").c_str(), O_CREAT | O_RDWR, 0666) < 0 ? 1 : 0; }),
        0);
    EXPECT_EQ(RunProgramAs(victim, {helper, "machine-get", pins, "gw.example:443", "AA:01"}), 0);
}

// The attack on the logon: another member writes where the victim's gateway and proxy are into
// the group's part. The victim's client, whose part was made before, reads its own values only.
TEST_F(PrivilegeTest, AnotherMemberCannotSteerAUsersLogonThroughTheGroupsPart) {
    const std::string client = "Software\\Morvane\\QelClient";
    auto store = SettingsStore::Machine();
    ASSERT_EQ(store->SetString(client, "ServerAddr", "198.51.100.1"), kRegOk);  // what install set
    const std::string helper = test::HelperPath();
    const AsUser victim{65534, 65534, {kTestClientGroup}};
    const AsUser attacker{65532, 65532, {kTestClientGroup}};
    // The victim's first start reads the machine's values once, then saves its own.
    EXPECT_EQ(RunProgramAs(victim, {helper, "machine-get", client, "ServerAddr", "198.51.100.1"}), 0);
    EXPECT_EQ(RunProgramAs(victim, {helper, "machine-set", client, "UseProxy", "No"}), 0);

    const std::string shared = ClientSettingsDbPath();
    for (const auto& [name, value] :
         std::vector<std::pair<std::string, std::string>>{{"ServerAddr", "203.0.113.66"},
                                                          {"UseProxy", "Yes"},
                                                          {"ProxyAddr", "203.0.113.66"},
                                                          {"UseProxyAuth", "Yes"},
                                                          {"AutoLogon", "1"}}) {
        // The group's part is the attacker's to write ...
        ASSERT_EQ(RunProgramAs(attacker, {helper, "db-set", shared, client, name, value}), 0) << name;
    }
    // ... but the victim acts on its own values only.
    EXPECT_EQ(RunProgramAs(victim, {helper, "machine-get", client, "ServerAddr", "198.51.100.1"}), 0);
    EXPECT_EQ(RunProgramAs(victim, {helper, "machine-get", client, "UseProxy", "No"}), 0);
    EXPECT_EQ(RunProgramAs(victim, {helper, "machine-get", client, "ProxyAddr", "203.0.113.66"}),
              kRegFileNotFound);
    EXPECT_EQ(RunProgramAs(victim, {helper, "machine-get", client, "AutoLogon", "1"}), kRegFileNotFound);
    // And the victim's own values are no other member's to write.
    EXPECT_EQ(RunAs(attacker,
                    [&] {
                        const std::string own = PlaceOf(65534) + "/settings.db";
                        return ::open(own.c_str(), O_RDWR) < 0 && errno == EACCES ? 0 : 1;
                    }),
              0);
}

// The user's own place: made with mode 0700 where the user's state goes; a link planted in its
// place or a folder of someone else is refused and nothing is written through it; a folder of the
// user's own with a wider mode is narrowed.
TEST_F(PrivilegeTest, AUsersOwnPlaceIsNeverALinkOrAnotherUsersFolder) {
    const std::string client = "Software\\Morvane\\QelClient";
    SettingsStore::Machine();
    const std::string helper = test::HelperPath();
    const AsUser user{65534, 65534, {kTestClientGroup}};
    const AsUser other{65532, 65532, {kTestClientGroup}};
    const std::string state = HomeOf(user.uid) + "/state";
    ASSERT_EQ(RunAs(user, [&] { return ::mkdir(state.c_str(), 0755); }), 0);
    ::setenv("XDG_STATE_HOME", state.c_str(), 1);
    const auto run = [&](const std::vector<std::string>& argv) {
        ::setenv("HOME", HomeOf(user.uid).c_str(), 1);
        return testsupport::RunProgramAsUser(user, argv);
    };
    const std::string place = state + "/qel";
    // A link in its place, made by the user (or anything the user was tricked into).
    ASSERT_EQ(::symlink(m_secret.c_str(), place.c_str()), 0);
    ASSERT_EQ(::lchown(place.c_str(), user.uid, user.gid), 0);
    ASSERT_EQ(::chown(m_secret.c_str(), user.uid, user.gid), 0);
    EXPECT_EQ(run({helper, "machine-set", client, "ServerAddr", "x"}), kRegAccessDenied);
    EXPECT_TRUE(SecretEmpty()) << "written through a planted link";
    ASSERT_EQ(::unlink(place.c_str()), 0);
    // Another user's folder.
    ASSERT_EQ(::mkdir(place.c_str(), 0700), 0);
    ASSERT_EQ(::chown(place.c_str(), other.uid, other.gid), 0);
    EXPECT_EQ(run({helper, "machine-set", client, "ServerAddr", "x"}), kRegAccessDenied);
    ASSERT_EQ(::rmdir(place.c_str()), 0);
    // The user's own, too wide.
    ASSERT_EQ(::mkdir(place.c_str(), 0755), 0);
    ASSERT_EQ(::chown(place.c_str(), user.uid, user.gid), 0);
    EXPECT_EQ(run({helper, "machine-set", client, "ServerAddr", "x"}), 0);
    struct stat st {};
    ASSERT_EQ(::lstat(place.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(run({helper, "machine-get", client, "ServerAddr", "x"}), 0);

    // Links and FIFOs at the names of the files written there neither redirect nor hold a write.
    ASSERT_EQ(::symlink((m_secret + "/history").c_str(), (place + "/history.ini").c_str()), 0);
    ASSERT_EQ(::mkfifo((place + "/SystemRouteTable.dat").c_str(), 0600), 0);
    ASSERT_EQ(::lchown((place + "/history.ini").c_str(), user.uid, user.gid), 0);
    ASSERT_EQ(::lchown((place + "/SystemRouteTable.dat").c_str(), user.uid, user.gid), 0);
    ::setenv("HOME", HomeOf(user.uid).c_str(), 1);
    EXPECT_EQ(testsupport::RunAsUser(user,
                                     [&] {
                                         for (const char* name : {"history.ini", "SystemRouteTable.dat"}) {
                                             const std::string path = UserFilePath(name, "/nonexistent");
                                             if (path != place + "/" + name) return 1;
                                             if (!WriteFileAtomically(path, "whole", 0600)) return 2;
                                         }
                                         return 0;
                                     }),
              0);
    EXPECT_TRUE(SecretEmpty()) << "a write went through a planted link";
    for (const char* name : {"/history.ini", "/SystemRouteTable.dat"}) {
        EXPECT_EQ(FileBytes(place + name), "whole") << name;
        ASSERT_EQ(::lstat((place + name).c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode)) << name;
    }
    ::unsetenv("XDG_STATE_HOME");
}

// Whoever holds the lock decides whether a daemon may start: no other user can hold it, also not
// through a lock file an older installation left readable for everyone, nor one that another user
// owns.
TEST_F(PrivilegeTest, OnlyTheDaemonsOwnUserCanHoldAnInstanceLock) {
    // As the older code left it: a 0755 folder and a 0644 file, opened by "nobody" back then.
    const std::string dir = Run() + "/instances";
    ASSERT_FALSE(RuntimeDir().empty());
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
    const std::string legacy = dir + "/Victim.lock";
    ASSERT_GE(UniqueFd(::open(legacy.c_str(), O_RDWR | O_CREAT, 0644)).Get(), 0);
    ASSERT_EQ(::chmod(legacy.c_str(), 0644), 0);
    int ready[2];
    int release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    int holderCode = -1;
    std::thread holder([&] {
        holderCode = RunAs({}, [&] {
            const int fd = ::open(legacy.c_str(), O_RDONLY);
            struct flock lock {};
            lock.l_type = F_RDLCK;
            lock.l_whence = SEEK_SET;
            const char took = fd >= 0 && ::fcntl(fd, F_OFD_SETLK, &lock) == 0 ? '1' : '0';
            if (::write(ready[1], &took, 1) != 1) return 2;
            char go = 0;
            return ::read(release[0], &go, 1) == 1 && took == '1' ? 0 : 1;
        });
    });
    char took = 0;
    pollfd p{ready[0], POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 20000), 1);
    ASSERT_EQ(::read(ready[0], &took, 1), 1);
    EXPECT_EQ(took, '1') << "the stand-in for the older installation's lock file";

    InstanceLock first;
    bool held = false;
    std::string why;
    EXPECT_TRUE(first.Acquire("Victim", &held, &why)) << why;
    EXPECT_FALSE(held);
    InstanceLock second;
    EXPECT_FALSE(second.Acquire("Victim", &held, &why)) << "two instances";
    EXPECT_TRUE(held);
    const char go = 'x';
    EXPECT_EQ(::write(release[1], &go, 1), 1);
    holder.join();
    EXPECT_EQ(holderCode, 0);
    for (const int fd : {ready[0], ready[1], release[0], release[1]}) ::close(fd);

    struct stat st {};
    ASSERT_EQ(::lstat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    ASSERT_EQ(::lstat(legacy.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_uid, 0u);

    // Outside the group and inside it, nobody else opens the lock now.
    AsUser member{};
    member.groups = {kTestClientGroup};
    for (const AsUser& who : {AsUser{}, member})
        EXPECT_EQ(RunAs(who, [&] { return ::open(legacy.c_str(), O_RDONLY) < 0 && errno == EACCES ? 0 : 1; }),
                  0);

    // A file another user owns, or a link, is not the daemon's own lock.
    const std::string foreign = dir + "/Foreign.lock";
    ASSERT_GE(UniqueFd(::open(foreign.c_str(), O_RDWR | O_CREAT, 0600)).Get(), 0);
    ASSERT_EQ(::chown(foreign.c_str(), testsupport::kUnprivilegedUid, testsupport::kUnprivilegedGid), 0);
    InstanceLock third;
    EXPECT_TRUE(third.Acquire("Foreign", &held, &why)) << why;
    ASSERT_EQ(::lstat(foreign.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    ASSERT_EQ(::symlink((m_secret + "/x").c_str(), (dir + "/Linked.lock").c_str()), 0);
    InstanceLock fourth;
    EXPECT_TRUE(fourth.Acquire("Linked", &held, &why)) << why;
    EXPECT_TRUE(SecretEmpty());
}

}  // namespace
}  // namespace platform
