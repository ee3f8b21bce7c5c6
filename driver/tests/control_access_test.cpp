// Who may open the control device: root and the members of its group, each user within a
// limit of handles that never locks out another user or root.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "control_server.h"
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

}  // namespace
}  // namespace olvane
