// Who may use the ring and the adapter-close event: a former ring owner, another user and root,
// each as its own connection; and the daemon's main wait when poll fails.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include "control_device.h"
#include "control_server.h"
#include "filter_core.h"
#include "miniport_global.h"
#include "olvane_daemon.h"
#include "platform/filter_device.h"
#include "platform/unique_fd.h"
#include "support/fake_nic.h"
#include "support/ring_client.h"
#include "testsupport/wait.h"

namespace olvane {
namespace {

std::vector<std::uint8_t> Frame(std::uint8_t fill) {
    std::vector<std::uint8_t> f(80, fill);
    f[12] = 0x08;  // IPv4, so the stack side takes it as a frame
    f[13] = 0x00;
    return f;
}

std::uint32_t AdapterId(test::FakeDriver& driver) {
    std::uint32_t id = 0;
    Filter_AdapterToId(driver.Entry(0), &id);
    return id;
}

TEST(RingBoundary, AFormerOwnerSeesNothingOfTheNextSessionAndCannotInject) {
    test::FakeDriver driver(1);
    ASSERT_TRUE(driver.running);
    testsupport::TempRoot root;
    const std::string path = root.Path() + "/ndisfilter";
    TwControlServer server;
    ASSERT_TRUE(server.Start(path, platform::PeerPolicy::RootOrGroup(::getegid())));
    DWORD returned = 0;
    DWORD addr = 0x20000000;
    std::uint64_t shared = 0;

    // The former owner maps the block itself and keeps both the mapping and its connection.
    auto former = platform::FilterDevice::Open(path);
    ASSERT_NE(former, nullptr);
    ASSERT_TRUE(former->DeviceIoControl(IOCTL_NDIS_FILTER_START_SHARE, &addr, 4, &shared, 8, &returned));
    const std::size_t size = former->MappedSize();
    void* kept = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, former->SharedMemoryFd(), 0);
    ASSERT_NE(kept, MAP_FAILED);
    test::RingClient stale(static_cast<std::uint8_t*>(kept) + 20, true);
    ASSERT_TRUE(former->DeviceIoControl(IOCTL_NDIS_FILTER_STOP_SHARE, nullptr, 0, nullptr, 0, &returned));

    auto owner = platform::FilterDevice::Open(path);
    ASSERT_NE(owner, nullptr);
    ASSERT_TRUE(owner->DeviceIoControl(IOCTL_NDIS_FILTER_START_SHARE, &addr, 4, &shared, 8, &returned));
    ASSERT_TRUE(owner->DeviceIoControl(IOCTL_NDIS_FILTER_START_CAPTURE, nullptr, 0, nullptr, 0, &returned));
    test::RingClient ring(reinterpret_cast<void*>(shared), true);

    // Outgoing: the new owner gets the frame, the stale mapping nothing.
    const auto sent = Frame(0x51);
    ASSERT_TRUE(driver.Nic(0)->StackSends(sent));
    ASSERT_TRUE(testsupport::WaitFor("a block in the former owner's ring", [&] {
        return ring.Load(ring.OutHeader() + ring.WriteOff()) != ring.Load(ring.OutHeader() + ring.ReadOff());
    })) << "the owner's frame did not arrive";
    test::UserBlock b;
    EXPECT_FALSE(stale.Read(&b)) << "the former owner saw the next session's frame";
    ASSERT_TRUE(ring.Read(&b));
    EXPECT_EQ(b.data, sent);

    // Incoming: the former owner's block never reaches the adapter; the owner's does.
    const auto forged = Frame(0x66);
    ASSERT_TRUE(stale.Write(AdapterId(driver), PACKET_DIRECTION_INCOMING, forged.data(), 80));
    EXPECT_FALSE(former->DeviceIoControl(IOCTL_NDIS_FILTER_WRITE_SHARE, nullptr, 0, nullptr, 0, &returned));
    const auto real = Frame(0x77);
    ASSERT_TRUE(ring.Write(AdapterId(driver), PACKET_DIRECTION_INCOMING, real.data(), 80));
    ASSERT_TRUE(owner->DeviceIoControl(IOCTL_NDIS_FILTER_WRITE_SHARE, nullptr, 0, nullptr, 0, &returned));
    const auto up = driver.Nic(0)->WaitIndicated(1);
    ASSERT_EQ(up.size(), 1u);
    EXPECT_EQ(up[0][14], 0x77) << "not the owner's frame";
    // The ring thread has drained what it had been woken for; the forged block was never taken.
    EXPECT_EQ(stale.Load(stale.InHeader() + stale.ReadOff()), 0);

    ::munmap(kept, size);
    server.Stop();
}

// The dispatcher with three peers (as the connection's credentials give them).
class CloseEvents : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(driver.running); }
    DWORD Call(TwFileObject* fo, DWORD code, const void* in, DWORD inLen, DWORD outLen, int fd = -1) {
        IoRequest req;
        req.code = code;
        req.in = static_cast<const std::uint8_t*>(in);
        req.inLength = inLen;
        req.outLength = outLen;
        req.passedFd = fd;
        std::vector<std::uint8_t> out(outLen + 1);
        IoResult r = NdisFilterIoControl(fo, req, out.data());
        platform::UniqueFd(req.passedFd).Reset();
        return r.status;
    }
    DWORD SetEvent(TwFileObject* fo, const platform::Event& e) {
        const DWORD handle = static_cast<DWORD>(e.Fd());
        return Call(fo, IOCTL_SET_ADAPTER_CLOSE_EVENT, &handle, 4, 0, ::dup(e.Fd()));
    }
    test::FakeDriver driver{1};
    TwFileObject client{1, 100, 1000};
    TwFileObject otherUser{2, 200, 1001};
    TwFileObject root{3, 300, 0};
};

TEST_F(CloseEvents, AnotherUserCannotTakeAwayTheSharingClientsForcedLogoff) {
    platform::Event clientEvent(true, false), earlyEvent(true, false), lateEvent(true, false),
        rootEvent(true, false);
    // The client gives its event before it shares the ring (as it does at logon).
    ASSERT_EQ(SetEvent(&client, clientEvent), STATUS_SUCCESS);
    // Another user, while nobody shares, only fills a slot of its own.
    ASSERT_EQ(SetEvent(&otherUser, earlyEvent), STATUS_SUCCESS);
    const DWORD addr = 0x20000000;
    ASSERT_EQ(Call(&client, IOCTL_NDIS_FILTER_START_SHARE, &addr, 4, 8), STATUS_SUCCESS);
    EXPECT_EQ(SetEvent(&otherUser, lateEvent), STATUS_ACCESS_DENIED);
    EXPECT_EQ(SetEvent(&root, rootEvent), STATUS_SUCCESS);

    FilterExtension()->m_CaptureFlag.store(1);
    driver.Nic(0)->RemoveLink();
    EXPECT_EQ(clientEvent.Wait(5000), platform::kWaitObject0) << "the client's forced logoff was lost";
    EXPECT_EQ(rootEvent.Wait(5000), platform::kWaitObject0);
    EXPECT_TRUE(earlyEvent.IsSet());
    EXPECT_FALSE(lateEvent.IsSet());
    NdisFilterCleanup(&client);
}

TEST_F(CloseEvents, AUserReplacesOnlyItsOwnEvent) {
    platform::Event first(true, false), second(true, false), other(true, false);
    ASSERT_EQ(SetEvent(&client, first), STATUS_SUCCESS);
    ASSERT_EQ(SetEvent(&otherUser, other), STATUS_SUCCESS);
    TwFileObject clientAgain{4, 101, 1000};  // the same user on a new handle
    ASSERT_EQ(SetEvent(&clientAgain, second), STATUS_SUCCESS);
    FilterExtension()->m_CaptureFlag.store(1);
    driver.Nic(0)->RemoveLink();
    EXPECT_EQ(second.Wait(5000), platform::kWaitObject0);
    EXPECT_EQ(other.Wait(5000), platform::kWaitObject0);
    EXPECT_FALSE(first.IsSet()) << "a replaced event is still referenced";
}

TEST_F(CloseEvents, OnlyRootMakesADeletedAdapterAgain) {
    driver.Nic(0)->RemoveLink();
    ASSERT_TRUE(testsupport::WaitFor("the adapter to halt", [&] { return driver.Entry(0) == nullptr; }))
        << "the adapter was not halted";
    EXPECT_EQ(Call(&client, IOCTL_QEL_ENABLE_ADAPTER, nullptr, 0, 4), STATUS_ACCESS_DENIED);
    EXPECT_EQ(driver.Nic(1), nullptr);
    ASSERT_TRUE(testsupport::WaitFor("root's enable request to make the adapter", [&] {
        return Call(&root, IOCTL_QEL_ENABLE_ADAPTER, nullptr, 0, 4) == STATUS_SUCCESS &&
               driver.Nic(1) != nullptr;
    })) << "root's enable made no adapter";
    const test::FakeNic* first = driver.Nic(0);
    const test::FakeNic* again = driver.Nic(1);
    ASSERT_TRUE(first != nullptr && again != nullptr);
    EXPECT_EQ(again->IfName(), first->IfName()) << "made under another name";
    EXPECT_EQ(Call(&root, IOCTL_QEL_ENABLE_ADAPTER, nullptr, 0, 4), STATUS_SUCCESS);
    EXPECT_EQ(driver.Nic(2), nullptr) << "a live adapter was made twice";
}

// A poll stand-in: fails with the errors queued, then reports readiness of the given slot.
struct ScriptedPoll {
    static inline std::vector<int> errors;
    static inline int ready = 0;
    static inline int calls = 0;
    static int Poll(pollfd* fds, nfds_t, int) {
        ++calls;
        if (static_cast<std::size_t>(calls) <= errors.size()) {
            errno = errors[static_cast<std::size_t>(calls) - 1];
            return -1;
        }
        fds[ready].revents = POLLIN;
        return 1;
    }
    static void Reset(std::vector<int> e, int slot) {
        errors = std::move(e);
        ready = slot;
        calls = 0;
    }
};

TEST(DaemonMainWait, InterruptionsAreRetriedAndOtherPollFailuresStopInsteadOfSpinning) {
    ScriptedPoll::Reset({EINTR, EINTR, ENOMEM}, 0);
    EXPECT_EQ(WaitForTermination(5, 6, ScriptedPoll::Poll), MainWaitEnd::kPollError);
    EXPECT_EQ(ScriptedPoll::calls, 3);
    ScriptedPoll::Reset({EINTR}, 0);
    EXPECT_EQ(WaitForTermination(5, 6, ScriptedPoll::Poll), MainWaitEnd::kSignal);
    ScriptedPoll::Reset({}, 1);
    EXPECT_EQ(WaitForTermination(5, 6, ScriptedPoll::Poll), MainWaitEnd::kStopRequest);
}

}  // namespace
}  // namespace olvane
