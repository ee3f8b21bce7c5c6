// The connector's small services, and the capture device object against a stand-in driver device.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>

#include "engine/capture_device.h"
#include "engine/connector_utils.h"
#include "platform/fake/manual_clock.h"
#include "platform/local_pipe.h"
#include "platform/unique_fd.h"
#include "testsupport/temp_root.h"

namespace engine {
namespace {

TEST(ConnectorNames, TablesAndAlertTexts) {
    EXPECT_STREQ(GetActionName(0x44), "ACTION_DISCARD");
    EXPECT_STREQ(GetActionName(0x1D0), "APPRULE_BYPASS") << "only the low byte names the action";
    EXPECT_STREQ(GetActionName(0x45), "Invalid");
    EXPECT_STREQ(GetProtocolName(17), "UDP");
    EXPECT_STREQ(GetProtocolName(2), "");
    EXPECT_STREQ(GetDirectionName(3), "LOOPBACK_PACKET");
    EXPECT_STREQ(GetDirectionName(-1), "");

    char text[128];
    EXPECT_STREQ(GetSslAlertText(2, 48, text, sizeof(text)), "SSL critical alert: SSL_AD_UNKNOWN_CA");
    EXPECT_STREQ(GetSslAlertText(1, 0, text, sizeof(text)), "SSL warning: SSL_AD_CLOSE_NOTIFY - Disconnect");
    EXPECT_STREQ(GetSslAlertText(2, 113, text, sizeof(text)),
                 "SSL warning: Unknown - alert type 2, alert code 113");
    char small[8];
    std::memset(small, 'x', sizeof(small));
    GetSslAlertText(2, 40, small, sizeof(small));
    EXPECT_STREQ(small, "SSL cri") << "a short buffer is cut and terminated, never overrun";
}

TEST(ConnectorResolve, DottedAddressesNeedNoLookup) {
    EXPECT_EQ(ResolveAddress("203.0.113.7"), htonl(0xCB007107));
    EXPECT_EQ(ResolveAddress(""), 0xFFFFFFFFu);
    EXPECT_EQ(ResolveAddress(nullptr), 0xFFFFFFFFu);
}

TEST(ConnectorWait, ReadableOnlyWhenDataWaits) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    const platform::UniqueFd a(pair[0]), b(pair[1]);
    EXPECT_EQ(WaitReadable(a.Get(), 0), 0);
    ASSERT_EQ(::write(b.Get(), "x", 1), 1);
    EXPECT_EQ(WaitReadable(a.Get(), 1), 1);
    EXPECT_EQ(WaitReadable(-1, 1), 0);
}

TEST(ConnectorOnlineTime, SessionsAddUp) {
    platform::fake::ManualClock clock;
    OnlineTimer timer(clock);
    EXPECT_EQ(timer.GetOnlineSeconds(), 0u);
    timer.Start();
    clock.Advance(61500);
    EXPECT_EQ(timer.GetOnlineSeconds(), 61u);
    timer.Start();  // a second start does not restart the count
    timer.Stop();
    clock.Advance(100000);
    EXPECT_EQ(timer.GetOnlineSeconds(), 61u) << "time offline was counted";
    timer.Start();
    clock.Advance(1500);
    EXPECT_EQ(timer.GetOnlineSeconds(), 63u);
}

// Both waits pause while the session is up and end with it; the sleep's pauses are bounded, the
// wait ends early on the stop flag.
TEST(ConnectorWaits, EndWithTheSessionTheStopFlagOrTheirSteps) {
    std::atomic<bool> connected{true}, stop{false};
    int pauses = 0;
    WaitWhileConnected(connected, &stop, [&] {
        if (++pauses == 3) stop = true;
    });
    EXPECT_EQ(pauses, 3);
    pauses = 0;
    stop = false;
    WaitWhileConnected(connected, nullptr, [&] {
        if (++pauses == 5) connected = false;
    });
    EXPECT_EQ(pauses, 5);
    WaitWhileConnected(connected, &stop, [&] { ++pauses; });
    EXPECT_EQ(pauses, 5) << "no session: no pause";

    connected = true;
    pauses = 0;
    SleepWhileConnected(connected, 35, 10, [&] { ++pauses; });
    EXPECT_EQ(pauses, 4) << "35 ms in 10 ms steps";
    pauses = 0;
    SleepWhileConnected(connected, 0, 10, [&] { ++pauses; });
    EXPECT_EQ(pauses, 1);
    pauses = 0;
    SleepWhileConnected(connected, 10000, 10, [&] {
        if (++pauses == 2) connected = false;
    });
    EXPECT_EQ(pauses, 2) << "the session's end ends the sleep";
    SleepWhileConnected(connected, 10000, 10, [&] { ++pauses; });
    EXPECT_EQ(pauses, 2);
}

TEST(ConnectorSocketOwner, KernelTableLines) {
    DWORD address = 0;
    WORD port = 0;
    std::uint64_t inode = 0;
    const std::string line =
        "   1: 0100007F:9BEB 0100007F:E524 06 00000000:00000000 03:000014D3 00000000     0        0 4242 3 "
        "00000000c6e76c44";
    ASSERT_TRUE(ParseProcNetLine(line, &address, &port, &inode));
    EXPECT_EQ(address, htonl(0x7F000001));
    EXPECT_EQ(port, 0x9BEB);
    EXPECT_EQ(inode, 4242u);
    EXPECT_FALSE(
        ParseProcNetLine("  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt",
                         &address, &port, &inode));
    // Every cut of a good line and random bytes are refused or read without touching memory
    // beyond the text.
    for (std::size_t n = 0; n < line.size(); ++n) {
        const std::string cut = line.substr(0, n);
        if (ParseProcNetLine(cut, &address, &port, &inode)) {
            EXPECT_GT(n, 60u) << cut;
        }
    }
    std::mt19937 random(7);
    for (int i = 0; i < 2000; ++i) {
        std::string junk(random() % 160, '\0');
        for (auto& c : junk)
            c = random() % 3 == 0 ? "0123456789ABCDEF: "[random() % 18] : static_cast<char>(random());
        ParseProcNetLine(junk, &address, &port, &inode);
    }
}

TEST(ConnectorSocketOwner, FindsThisProgramBehindItsSockets) {
    char exe[4096];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    ASSERT_GT(n, 0);
    const std::string self(exe, static_cast<std::size_t>(n));
    const std::string name = self.substr(self.rfind('/') + 1);
    for (int type : {SOCK_DGRAM, SOCK_STREAM}) {
        const platform::UniqueFd s(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::bind(s.Get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
        if (type == SOCK_STREAM) {
            ASSERT_EQ(::listen(s.Get(), 1), 0);
        }
        socklen_t len = sizeof(a);
        ASSERT_EQ(::getsockname(s.Get(), reinterpret_cast<sockaddr*>(&a), &len), 0);
        TW_SESSION_OWNER_QUERY query;
        query.protocol = type == SOCK_STREAM ? 6 : 17;
        query.localAddress = a.sin_addr.s_addr;
        query.localPort = ntohs(a.sin_port);
        EXPECT_TRUE(MapSessionToProcess(&query)) << "protocol " << int(query.protocol);
        EXPECT_EQ(std::string(query.module), name);
    }
    TW_SESSION_OWNER_QUERY icmp;
    icmp.protocol = 1;
    EXPECT_FALSE(MapSessionToProcess(&icmp));
    // A port nobody holds any more has no owner.
    TW_SESSION_OWNER_QUERY gone;
    gone.protocol = 17;
    gone.localAddress = htonl(INADDR_LOOPBACK);
    {
        const platform::UniqueFd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::bind(s.Get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
        socklen_t len = sizeof(a);
        ASSERT_EQ(::getsockname(s.Get(), reinterpret_cast<sockaddr*>(&a), &len), 0);
        gone.localPort = ntohs(a.sin_port);
    }
    EXPECT_FALSE(MapSessionToProcess(&gone));
}

// The driver's control device as far as the capture start and stop go: one adapter (00-FF-FF-FF-
// 00-00, id 3) and a record of the codes sent.
class FakeDevice final : public platform::LocalPipeServer::Handler {
public:
    void OnRequest(platform::PipeRequest& request, platform::PipeReply* reply) override {
        TW_DEVICE_REQUEST head{};
        if (request.data.size() < sizeof(head)) return;
        std::memcpy(&head, request.data.data(), sizeof(head));
        const std::uint8_t* in = request.data.data() + sizeof(head);
        TW_DEVICE_REPLY answer{TW_DEVICE_MAGIC, STATUS_SUCCESS, 0, 0};
        std::vector<std::uint8_t> out;
        {
            std::lock_guard<std::mutex> g(lock);
            codes.push_back(head.code);
            if (head.code == IOCTL_NDIS_FILTER_GET_ADAPTER) {
                TW_ADAPTER_BY_MAC rec{};
                std::memcpy(&rec, in, sizeof(rec));
                if (std::memcmp(rec.mac, kVirtualAdapterMac, 6) == 0) {
                    rec.adapterId = 3;
                    out.assign(reinterpret_cast<std::uint8_t*>(&rec),
                               reinterpret_cast<std::uint8_t*>(&rec) + sizeof(rec));
                } else {
                    answer.status = NDIS_STATUS_ADAPTER_NOT_FOUND;
                }
            } else if (head.code == IOCTL_NDIS_FILTER_START_CAPTURE && head.inLength == sizeof(capture)) {
                std::memcpy(&capture, in, sizeof(capture));
            }
        }
        answer.bytesReturned = static_cast<DWORD>(out.size());
        reply->data.assign(reinterpret_cast<std::uint8_t*>(&answer),
                           reinterpret_cast<std::uint8_t*>(&answer) + sizeof(answer));
        reply->data.insert(reply->data.end(), out.begin(), out.end());
    }
    std::vector<DWORD> Codes() {
        std::lock_guard<std::mutex> g(lock);
        return codes;
    }

    std::mutex lock;
    std::vector<DWORD> codes;
    TW_CAPTURE_START capture{};
};

TEST(CaptureDevice, StartsOnlyOnAKnownAdapterWithTheSessionsRecord) {
    testsupport::TempRoot root;
    FakeDevice device;
    platform::LocalPipeServer server(device, platform::PeerPolicy::RootOrSelf());
    ASSERT_TRUE(server.Start(platform::FilterDevicePath()));
    CFilterAPI filter;
    ASSERT_EQ(filter.OpenFilterHandler(), 1);
    ASSERT_EQ(filter.IsDriverLoaded(), 1);

    CaptureStart session;
    session.virtualIp = 0xC6120002;  // 198.18.0.2
    session.netmask = 0xFFFFFF00;
    session.localAddress = 0xCB007105;
    session.peerAddress = 0xC633640A;
    session.cipherSelector = 3;
    session.key.assign(48, 0xA5);
    const BYTE unknown[6] = {0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x07};
    void* handle = reinterpret_cast<void*>(std::uintptr_t{9});
    DWORD second = 9;
    EXPECT_EQ(filter.StartCapture(unknown, session, &handle, &second), 0);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(second, 0u);
    auto codes = device.Codes();
    EXPECT_EQ(std::count(codes.begin(), codes.end(), IOCTL_NDIS_FILTER_START_CAPTURE), 0)
        << "a capture was asked for on an adapter the driver does not know";

    EXPECT_EQ(filter.StartCapture(kVirtualAdapterMac, session, &handle), 1);
    EXPECT_EQ(handle, reinterpret_cast<void*>(std::uintptr_t{3}));
    EXPECT_FALSE(filter.StopReadEvent()->IsSet()) << "a reader would stop at once";
    EXPECT_EQ(std::memcmp(device.capture.mac, kVirtualAdapterMac, 6), 0);
    EXPECT_EQ(device.capture.virtualIp, htonl(0xC6120002));
    EXPECT_EQ(device.capture.peerAddress, htonl(0xC633640A));
    EXPECT_EQ(device.capture.keyLength, 48u);
    EXPECT_EQ(device.capture.key[47], 0xA5);

    // A key that does not fit the record is refused before anything is sent.
    session.key.assign(sizeof(TW_CAPTURE_START::key) + 1, 1);
    const auto before = device.Codes().size();
    EXPECT_EQ(filter.StartCapture(kVirtualAdapterMac, session, &handle), 0);
    codes = device.Codes();
    EXPECT_EQ(
        std::count(codes.begin() + static_cast<long>(before), codes.end(), IOCTL_NDIS_FILTER_START_CAPTURE),
        0);

    EXPECT_EQ(filter.StopCapture(), 1);
    EXPECT_TRUE(filter.StopReadEvent()->IsSet());
    EXPECT_EQ(device.Codes().back(), IOCTL_NDIS_FILTER_STOP_CAPTURE);
    filter.CloseFilterHandler();
    server.Stop();
}

}  // namespace
}  // namespace engine
