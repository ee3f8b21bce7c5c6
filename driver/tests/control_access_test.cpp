// Who may open the control device: root and the members of its group, each user within a
// limit of handles that never locks out another user or root.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <poll.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "control_server.h"
#include "filter_core.h"
#include "shared_ring.h"
#include "support/ring_client.h"
#include "platform/filter_device.h"
#include "support/fake_nic.h"
#include "testsupport/as_user.h"
#include "testsupport/temp_dir.h"
#include "testsupport/wait.h"

namespace olvane {
namespace {

constexpr gid_t kDeviceGroup = 4243;

// 0 when a handle opened and answered GET_VERSION, 1 otherwise.
int QueryVersion(const std::string& path) {
    auto dev = platform::FilterDevice::Open(path);
    if (dev == nullptr) return 1;
    _DriverVersion v{};
    DWORD returned = 0;
    return dev->DeviceIoControl(IOCTL_NDIS_FILTER_GET_VERSION, nullptr, 0, &v, 2, &returned) ? 0 : 1;
}

// A client of the device in a process of another user, driven one step at a time: the test writes
// a step, the process answers one byte. 's' START_SHARE, 'c' START_CAPTURE, 'm' connect the
// media, 'x' STOP_CAPTURE (1 when the call succeeded); 'r' waits (bounded) for a block in its
// ring and answers the first byte of the first frame it reads (0: none), 'n' the same without
// waiting; 'q' ends the process, closing its handle.
class MemberProcess {
public:
    MemberProcess(const testsupport::AsUser& who, const std::string& path) {
        if (::pipe(m_toChild) != 0 || ::pipe(m_toParent) != 0) return;
        m_thread = std::thread([this, who, path] {
            m_exit = testsupport::RunAsUser(
                who, [&] { return Body(path); }, 60000);
            ::close(m_toParent[1]);  // a child that could not start answers nothing
            m_toParent[1] = -1;
        });
        // One child starts at a time: the next fork waits until this child runs on its own.
        pollfd p{m_toParent[0], POLLIN, 0};
        unsigned char started = 0;
        if (::poll(&p, 1, 30000) != 1 || ::read(m_toParent[0], &started, 1) != 1) Quit();
    }
    ~MemberProcess() {
        Quit();
        for (int fd : {m_toChild[0], m_toParent[0], m_toParent[1]})
            if (fd >= 0) ::close(fd);
    }
    // The answer, or -1 when the process is gone or did not answer in time.
    int Do(char step) {
        if (m_toChild[1] < 0 || ::write(m_toChild[1], &step, 1) != 1) return -1;
        pollfd p{m_toParent[0], POLLIN, 0};
        unsigned char answer = 0;
        if (::poll(&p, 1, 30000) != 1 || ::read(m_toParent[0], &answer, 1) != 1) return -1;
        return answer;
    }
    void Quit() {
        if (m_toChild[1] >= 0) {
            ::close(m_toChild[1]);
            m_toChild[1] = -1;
        }
        if (m_thread.joinable()) m_thread.join();
    }

private:
    int Body(const std::string& path) {
        // Only this process's own ends stay open: another member's pipe inherited here would keep
        // that member from ever seeing its end.
        for (int fd = 3; fd < 1024; ++fd)
            if (fd != m_toChild[0] && fd != m_toParent[1]) ::close(fd);
        const unsigned char started = 1;
        if (::write(m_toParent[1], &started, 1) != 1) return 1;
        auto dev = platform::FilterDevice::Open(path);
        std::unique_ptr<test::RingClient> ring;
        for (;;) {
            char step = 0;
            if (::read(m_toChild[0], &step, 1) != 1 || step == 'q') return 0;
            unsigned char answer = 0;
            DWORD returned = 0;
            TW_MEDIA_STATUS media{{0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x00}, 1};
            switch (step) {
                case 's': {
                    DWORD addr = 0x20000000;
                    std::uint64_t shared = 0;
                    if (dev && dev->DeviceIoControl(IOCTL_NDIS_FILTER_START_SHARE, &addr, 4, &shared, 8,
                                                    &returned)) {
                        ring = std::make_unique<test::RingClient>(reinterpret_cast<void*>(shared), true);
                        answer = 1;
                    }
                    break;
                }
                case 'c':
                    answer = dev && dev->DeviceIoControl(IOCTL_NDIS_FILTER_START_CAPTURE, nullptr, 0, nullptr,
                                                         0, &returned);
                    break;
                case 'x':
                    answer = dev && dev->DeviceIoControl(IOCTL_NDIS_FILTER_STOP_CAPTURE, nullptr, 0, nullptr,
                                                         0, &returned);
                    break;
                case 'm':
                    answer = dev && dev->DeviceIoControl(IOCTL_NDIS_FILTER_SET_MEDIA_STATUS, &media, 7,
                                                         nullptr, 0, &returned);
                    break;
                case 'r':
                case 'n': {
                    test::UserBlock b;
                    const int tries = step == 'r' ? 5000 : 1;
                    for (int i = 0; i < tries && ring && !ring->Read(&b); ++i) ::usleep(1000);
                    if (!b.data.empty()) answer = b.data[0];
                    break;
                }
                default: break;
            }
            if (::write(m_toParent[1], &answer, 1) != 1) return 1;
        }
    }

    int m_toChild[2] = {-1, -1};
    int m_toParent[2] = {-1, -1};
    std::thread m_thread;
    int m_exit = -1;
};

class ControlAccess : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as other users";
        ASSERT_TRUE(m_driver.running);
        ::chmod(m_dir.Path().c_str(), 0755);
        ASSERT_TRUE(m_server.Start(m_path, platform::PeerPolicy::RootOrGroup(kDeviceGroup)));
    }
    test::FakeDriver m_driver{1};
    testsupport::TempDir m_dir{"olvane-access"};
    std::string m_path = m_dir.Path() + "/ndisfilter";
    TwControlServer m_server;
};

TEST_F(ControlAccess, OnlyRootAndGroupMembersOpenTheDevice) {
    struct stat st {};
    ASSERT_EQ(::stat(m_path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    EXPECT_EQ(st.st_gid, kDeviceGroup);
    using testsupport::kNobodyGid;
    using testsupport::kNobodyUid;
    EXPECT_EQ(
        testsupport::RunAsUser(kNobodyUid, kNobodyGid, {kDeviceGroup}, [&] { return QueryVersion(m_path); }),
        0)
        << "a member";
    EXPECT_EQ(testsupport::RunAsUser(kNobodyUid, kNobodyGid, {}, [&] { return QueryVersion(m_path); }), 1)
        << "a non-member";
    // Opened to all on the file system, the device still refuses the non-member itself.
    ASSERT_EQ(::chmod(m_path.c_str(), 0666), 0);
    EXPECT_EQ(testsupport::RunAsUser(kNobodyUid, kNobodyGid, {}, [&] { return QueryVersion(m_path); }), 1)
        << "a non-member through an open socket file";
    EXPECT_GT(m_server.RefusedConnections(), 0u);
    EXPECT_EQ(m_server.RejectedRequests(), 0u) << "the refused peer's request was never read";
    EXPECT_EQ(QueryVersion(m_path), 0) << "root";
}

TEST_F(ControlAccess, OneUsersIdleHandlesLockOutNeitherOthersNorRoot) {
    int hold[2];
    ASSERT_EQ(::pipe2(hold, O_CLOEXEC), 0);
    platform::UniqueFd holdRead(hold[0]), holdWrite(hold[1]);
    std::atomic<int> opened{-2};
    std::thread attacker([&] {
        opened = testsupport::RunAsUser(
            testsupport::kNobodyUid, testsupport::kNobodyGid, {kDeviceGroup},
            [&] {
                holdWrite.Reset();
                std::vector<std::unique_ptr<platform::FilterDevice>> handles;
                int answered = 0;
                for (int i = 0; i < 80; ++i) {
                    handles.push_back(platform::FilterDevice::Open(m_path));
                    _DriverVersion v{};
                    DWORD returned = 0;
                    if (handles.back() != nullptr &&
                        handles.back()->DeviceIoControl(IOCTL_NDIS_FILTER_GET_VERSION, nullptr, 0, &v, 2,
                                                        &returned)) {
                        ++answered;
                    }
                }
                char c;
                (void)!::read(holdRead.Get(), &c, 1);  // idle until released
                return answered;
            },
            30000);
    });
    ASSERT_TRUE(testsupport::WaitFor(
        "the attacker to reach its limit",
        [&] { return m_server.RefusedConnections() >= 80 - kMaxHandlesPerUser; }, 20000));
    EXPECT_EQ(testsupport::RunAsUser(testsupport::kNobodyUid - 1, testsupport::kNobodyGid, {kDeviceGroup},
                                     [&] { return QueryVersion(m_path); }),
              0)
        << "another member";
    EXPECT_EQ(QueryVersion(m_path), 0) << "root";
    holdWrite.Reset();
    attacker.join();
    EXPECT_EQ(opened.load(), static_cast<int>(kMaxHandlesPerUser));
}

// A member that takes the ring before another user's logon: the victim's START_SHARE is refused,
// and even a victim that went on regardless (claiming its session) sends nothing into the ring the
// attacker holds. Once the attacker lets go, the victim's session works.
TEST_F(ControlAccess, ARingTakenFirstByAnotherUserGetsNothingOfTheSession) {
    const testsupport::AsUser victimUser{testsupport::kNobodyUid, testsupport::kNobodyGid, {kDeviceGroup}};
    const testsupport::AsUser outsider{testsupport::kNobodyUid - 2, testsupport::kNobodyGid, {}};
    const testsupport::AsUser member{testsupport::kNobodyUid - 1, testsupport::kNobodyGid, {kDeviceGroup}};
    {
        MemberProcess stranger(outsider, m_path);
        EXPECT_EQ(stranger.Do('s'), 0) << "a user outside the group took the ring";
    }
    auto attacker = std::make_unique<MemberProcess>(member, m_path);
    MemberProcess victim(victimUser, m_path);
    ASSERT_EQ(attacker->Do('s'), 1);
    EXPECT_EQ(victim.Do('s'), 0) << "a second START_SHARE was granted";
    // A client that ignored the refusal: its session is its own, the attacker cannot take it over.
    EXPECT_EQ(victim.Do('c'), 1);
    EXPECT_EQ(victim.Do('m'), 1);
    EXPECT_EQ(attacker->Do('c'), 0) << "the attacker took over the victim's session";
    EXPECT_EQ(attacker->Do('x'), 0) << "the attacker ended the victim's session";
    const std::shared_ptr<TwSharedRing> ring = FilterExtension()->Ring();
    ASSERT_TRUE(m_driver.Nic(0)->StackSends(std::vector<std::uint8_t>(100, 0x11)));
    ASSERT_TRUE(testsupport::WaitFor("the victim's frame to be kept from the attacker's ring",
                                     [&] { return ring->Counters().outputNotSession.load() == 1; }));
    EXPECT_EQ(ring->Counters().outputWritten.load(), 0u);
    EXPECT_EQ(attacker->Do('n'), 0) << "the attacker read a frame of the victim's session";

    // The attacker lets go: the victim's own client now shares, and its frames reach it alone.
    attacker.reset();
    ASSERT_TRUE(testsupport::WaitFor("the ring to be released",
                                     [] { return FilterExtension()->m_FileObject.load() == 0; }));
    ASSERT_EQ(victim.Do('s'), 1);
    ASSERT_EQ(victim.Do('c'), 1);
    ASSERT_TRUE(m_driver.Nic(0)->StackSends(std::vector<std::uint8_t>(100, 0x22)));
    EXPECT_EQ(victim.Do('r'), 0x22);
    // A member that takes the ring after the victim's client ended gets a fresh one: nothing the
    // victim's session left in it.
    victim.Quit();
    ASSERT_TRUE(testsupport::WaitFor("the victim's handle to close",
                                     [] { return FilterExtension()->m_FileObject.load() == 0; }));
    MemberProcess late(member, m_path);
    ASSERT_EQ(late.Do('s'), 1);
    EXPECT_EQ(late.Do('n'), 0);
}

// A session's client dies while frames still come for the adapter (routed there until the service
// restores the routes): a member that takes the ring in that window, and then connects the media
// for a session of its own, gets none of them. The user's next session works as before.
TEST_F(ControlAccess, FramesSentAfterAClientDiedReachNoLaterHolder) {
    const testsupport::AsUser user{testsupport::kNobodyUid, testsupport::kNobodyGid, {kDeviceGroup}};
    const testsupport::AsUser member{testsupport::kNobodyUid - 1, testsupport::kNobodyGid, {kDeviceGroup}};
    TwFilterExtension* ext = FilterExtension();
    auto client = std::make_unique<MemberProcess>(user, m_path);
    ASSERT_EQ(client->Do('s'), 1);
    ASSERT_EQ(client->Do('c'), 1);
    ASSERT_EQ(client->Do('m'), 1);
    ASSERT_TRUE(m_driver.Nic(0)->StackSends(std::vector<std::uint8_t>(100, 0x31)));
    ASSERT_EQ(client->Do('r'), 0x31);

    client.reset();  // the client dies: its handle closes
    ASSERT_TRUE(testsupport::WaitFor("the client's session to end", [&] {
        return ext->m_FileObject.load() == 0 && ext->m_SessionUid.load() < 0;
    }));
    const std::shared_ptr<TwSharedRing> unheld = ext->Ring();
    for (std::uint8_t fill = 0x41; fill <= 0x44; ++fill)
        ASSERT_TRUE(m_driver.Nic(0)->StackSends(std::vector<std::uint8_t>(100, fill)));
    const RingCounters& window = unheld->Counters();
    ASSERT_TRUE(testsupport::WaitFor("the frames of the window to be handled", [&] {
        return window.outputNotSession.load() + window.outputWritten.load() == 4;
    }));
    EXPECT_EQ(window.outputWritten.load(), 0u) << "frames wait for the ring's next holder";

    MemberProcess late(member, m_path);
    ASSERT_EQ(late.Do('s'), 1);
    const std::shared_ptr<TwSharedRing> held = ext->Ring();
    const RingCounters& before = held->Counters();
    const std::uint64_t queued = before.outputWritten.load();
    ASSERT_TRUE(m_driver.Nic(0)->StackSends(std::vector<std::uint8_t>(100, 0x45)));
    ASSERT_TRUE(testsupport::WaitFor("a frame sent while no session is open to be handled", [&] {
        return before.outputNotSession.load() + before.outputWritten.load() == queued + 1;
    }));
    EXPECT_EQ(before.outputWritten.load(), queued) << "a frame sent while no session is open was queued";
    ASSERT_EQ(late.Do('m'), 1);
    // The member's own session from here on: the first frame in its ring is its own, sent now.
    ASSERT_TRUE(m_driver.Nic(0)->StackSends(std::vector<std::uint8_t>(100, 0x55)));
    EXPECT_EQ(late.Do('r'), 0x55) << "the member read a frame of the dead client's window";
    late.Quit();

    // The user logs on again.
    ASSERT_TRUE(testsupport::WaitFor("the member's session to end", [&] {
        return ext->m_FileObject.load() == 0 && ext->m_SessionUid.load() < 0;
    }));
    MemberProcess again(user, m_path);
    ASSERT_EQ(again.Do('s'), 1);
    ASSERT_EQ(again.Do('c'), 1);
    ASSERT_EQ(again.Do('m'), 1);
    ASSERT_TRUE(m_driver.Nic(0)->StackSends(std::vector<std::uint8_t>(100, 0x66)));
    EXPECT_EQ(again.Do('r'), 0x66);
}

}  // namespace
}  // namespace olvane
