// Every control code through the dispatcher (lengths, records, statuses), random records, and
// the device socket with the platform client: ring mapping, ownership and cleanup.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "control_device.h"
#include "control_server.h"
#include "filter_core.h"
#include "miniport_global.h"
#include "platform/errors.h"
#include "platform/filter_device.h"
#include "support/fake_nic.h"
#include "support/ring_client.h"
#include "testsupport/udp_frame.h"

namespace olvane {
namespace {

const std::uint8_t kMac0[6] = {0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x00};

struct Call {
    DWORD status;
    DWORD bytes;
    std::vector<std::uint8_t> out;
};

Call Ioctl(TwFileObject* fo, DWORD code, const void* in, DWORD inLen, DWORD outLen, int fd = -1) {
    std::vector<std::uint8_t> input(static_cast<const std::uint8_t*>(in),
                                    static_cast<const std::uint8_t*>(in) + inLen);
    IoRequest req;
    req.code = code;
    req.in = input.data();
    req.inLength = inLen;
    req.outLength = outLen;
    req.passedFd = fd;
    std::vector<std::uint8_t> out(outLen + 1, 0xEE);
    IoResult r = NdisFilterIoControl(fo, req, out.data());
    platform::UniqueFd unclaimed(req.passedFd);
    EXPECT_LE(r.bytes, outLen) << "code 0x" << std::hex << code;
    EXPECT_EQ(out[outLen], 0xEE) << "wrote past the output, code 0x" << std::hex << code;
    out.resize(outLen);
    return {r.status, r.bytes, out};
}

class ControlCodes : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(driver.running); }
    test::FakeDriver driver{1};
    TwFileObject fo{1, 100, 0};
    TwFileObject other{2, 101, 0};
    std::uint32_t Id() {
        std::uint32_t id = 0;
        Filter_AdapterToId(driver.Entry(0), &id);
        return id;
    }
};

TEST_F(ControlCodes, VersionAndSizes) {
    EXPECT_EQ(Ioctl(&fo, IOCTL_NDIS_FILTER_GET_VERSION, nullptr, 0, 1).status, STATUS_BUFFER_TOO_SMALL);
    Call c = Ioctl(&fo, IOCTL_NDIS_FILTER_GET_VERSION, nullptr, 0, 2);
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(c.bytes, 2u);
    EXPECT_EQ(c.out, (std::vector<std::uint8_t>{1, 0}));
    c = Ioctl(&fo, IOCTL_NDIS_FILTER_PUT_SHAREDMEMORYSIZE, nullptr, 0, 4);
    DWORD size;
    std::memcpy(&size, c.out.data(), 4);
    EXPECT_EQ(size, 1724520u);
    EXPECT_EQ(Ioctl(&fo, IOCTL_NDIS_FILTER_PUT_SHAREDMEMORYSIZE, nullptr, 0, 3).status,
              STATUS_BUFFER_TOO_SMALL);
}

TEST_F(ControlCodes, UnlistedAndUnsupportedCodes) {
    for (DWORD code :
         {0x80002500u, 0x800024b0u, 0x8000252cu, 0x80009999u, 0x12345678u, IOCTL_NDIS_FILTER_GET_EVENT}) {
        Call c = Ioctl(&fo, code, "abcd", 4, 16);
        EXPECT_EQ(c.status, STATUS_NOT_SUPPORTED) << std::hex << code;
        EXPECT_EQ(c.bytes, 0u);
    }
    EXPECT_EQ(Ioctl(&fo, IOCTL_NDIS_FILTER_GET_DBGFLAG, nullptr, 0, 0).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Ioctl(&fo, IOCTL_NDIS_FILTER_DUMP_DEVICE_EXTENSION, nullptr, 0, 0).status,
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Ioctl(&fo, IOCTL_NDIS_HOOK_SET_VALUE, "\x05\0\0\0", 4, 0).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Globals()->m_SetValue, 5u);
    Call info = Ioctl(&fo, IOCTL_NDIS_HOOK_GET_INFO, nullptr, 0, 4);
    EXPECT_EQ(info.status, STATUS_SUCCESS);
    EXPECT_EQ(info.bytes, 4u);
    EXPECT_EQ(info.out[0], 4);
    EXPECT_EQ(Ioctl(&fo, IOCTL_NDIS_HOOK_DUMP_GLOBAL, nullptr, 0, 0).status, STATUS_SUCCESS);
    for (DWORD code :
         {IOCTL_NDIS_FILTER_CLEAR_EVENT, IOCTL_NDIS_FILTER_START_ETHRLOG, IOCTL_NDIS_FILTER_STOP_ETHRLOG,
          IOCTL_NDIS_FILTER_ENUM_ADAPTER, IOCTL_NDIS_FILTER_BIND_ADAPTERS}) {
        EXPECT_EQ(Ioctl(&fo, code, nullptr, 0, 0).status, STATUS_SUCCESS) << std::hex << code;
    }
}

TEST_F(ControlCodes, StartShareChecksOutputThenAddressAndOwnership) {
    DWORD addr = 0x10000000;
    EXPECT_EQ(Ioctl(&fo, IOCTL_NDIS_FILTER_START_SHARE, &addr, 4, 4).status, STATUS_BUFFER_TOO_SMALL);
    DWORD zero = 0;
    EXPECT_EQ(Ioctl(&fo, IOCTL_NDIS_FILTER_START_SHARE, &zero, 4, 8).status, STATUS_INVALID_PARAMETER_2);
    EXPECT_EQ(Ioctl(&fo, IOCTL_NDIS_FILTER_START_SHARE, &addr, 2, 8).status, STATUS_BUFFER_TOO_SMALL);
    Call c = Ioctl(&fo, IOCTL_NDIS_FILTER_START_SHARE, &addr, 4, 8);
    ASSERT_EQ(c.status, STATUS_SUCCESS);
    std::uint64_t shared;
    std::memcpy(&shared, c.out.data(), 8);
    EXPECT_EQ(shared, addr + 20u);
    Call second = Ioctl(&other, IOCTL_NDIS_FILTER_START_SHARE, &addr, 4, 8);
    EXPECT_EQ(second.status, STATUS_INTERNAL_ERROR);
    EXPECT_EQ(second.bytes, 8u);
    EXPECT_EQ(second.out, std::vector<std::uint8_t>(8, 0));
    EXPECT_EQ(Ioctl(&other, IOCTL_NDIS_FILTER_READ_SHARE, nullptr, 0, 0).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Ioctl(&other, IOCTL_NDIS_FILTER_WRITE_SHARE, nullptr, 0, 0).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Ioctl(&fo, IOCTL_NDIS_FILTER_READ_SHARE, nullptr, 0, 0).status, STATUS_UNSUCCESSFUL) << "empty";
    ASSERT_EQ(Ioctl(&fo, IOCTL_NDIS_FILTER_START_CAPTURE, nullptr, 0, 0).status, STATUS_SUCCESS);
    ASSERT_TRUE(driver.Nic(0)->StackSends(std::vector<std::uint8_t>(60, 1)));
    EXPECT_TRUE(testsupport::WaitFor("the read-share request to succeed", [&] {
        return Ioctl(&fo, IOCTL_NDIS_FILTER_READ_SHARE, nullptr, 0, 0).status == 0;
    }));
    EXPECT_EQ(Ioctl(&fo, IOCTL_NDIS_FILTER_WRITE_SHARE, nullptr, 0, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(&other, IOCTL_NDIS_FILTER_STOP_SHARE, nullptr, 0, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(FilterExtension()->m_FileObject.load(), fo.id) << "a non-owner's stop changes nothing";
    EXPECT_EQ(Ioctl(&fo, IOCTL_NDIS_FILTER_STOP_SHARE, nullptr, 0, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(&other, IOCTL_NDIS_FILTER_START_SHARE, &addr, 4, 8).status, STATUS_SUCCESS);
    NdisFilterCleanup(&other);
    EXPECT_EQ(FilterExtension()->m_FileObject.load(), 0u) << "cleanup ends the sharing";
}

TEST_F(ControlCodes, TcpIpInterfaces) {
    EXPECT_EQ(Ioctl(&fo, IOCTL_NDIS_FILTER_GET_TCPIP_INTERFACES, nullptr, 0, 9027).status,
              STATUS_BUFFER_TOO_SMALL);
    Call c = Ioctl(&fo, IOCTL_NDIS_FILTER_GET_TCPIP_INTERFACES, nullptr, 0, 9028);
    ASSERT_EQ(c.status, STATUS_SUCCESS);
    ASSERT_EQ(c.bytes, 9028u);
    TW_TCPIP_INTERFACE_LIST list;
    std::memcpy(&list, c.out.data(), sizeof(list));
    ASSERT_EQ(list.count, 1u);
    EXPECT_EQ(static_cast<std::uint32_t>(list.entries[0].adapterId), Id());
    EXPECT_EQ(static_cast<int>(list.entries[0].data.mtu), 1500);
    EXPECT_EQ(std::memcmp(list.entries[0].data.currentAddress, kMac0, 6), 0);
    EXPECT_STREQ(list.entries[0].data.name, "{TEST-0}");
}

TEST(ControlCodesNoAdapter, TcpIpInterfacesWithNothingBoundAreAllZero) {
    test::FakeDriver driver(0, RingLayout::k64, false);
    TwFileObject fo{1, 1, 0};
    Call c = Ioctl(&fo, IOCTL_NDIS_FILTER_GET_TCPIP_INTERFACES, nullptr, 0, 9028);
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(c.bytes, 9028u);
    EXPECT_EQ(c.out, std::vector<std::uint8_t>(9028, 0));
}

TEST_F(ControlCodes, IpConfigRoundTripAndBounds) {
    TW_IPCONFIG_REQUEST req{};
    req.adapterId = Id();
    req.config.m_Reserved = 0xABCD;
    req.config.m_nIP = 1;
    req.config.m_IP[0].IpAddress = 0x0A641264;
    req.config.m_IP[0].Netmask = 0x00FFFFFF;
    req.config.m_nDNS = 2;
    EXPECT_EQ(Ioctl(&fo, IOCTL_NDIS_FILTER_SET_IPCONFIG, &req, 223, 0).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Ioctl(&fo, IOCTL_NDIS_FILTER_SET_IPCONFIG, &req, 224, 0).status, STATUS_SUCCESS);
    Call c = Ioctl(&fo, IOCTL_NDIS_FILTER_GET_IPCONFIG, &req.adapterId, 4, 224);
    ASSERT_EQ(c.status, STATUS_SUCCESS);
    ASSERT_EQ(c.bytes, 224u);
    TW_IPCONFIG_REQUEST back;
    std::memcpy(&back, c.out.data(), sizeof(back));
    EXPECT_EQ(static_cast<std::uint32_t>(back.adapterId), static_cast<std::uint32_t>(req.adapterId));
    EXPECT_EQ(static_cast<std::uint32_t>(back.config.m_Reserved), 0xABCDu);
    EXPECT_EQ(static_cast<std::uint32_t>(back.config.m_IP[0].Broadcast), 0xFF641264u);
    EXPECT_EQ(Ioctl(&fo, IOCTL_NDIS_FILTER_GET_IPCONFIG, &req.adapterId, 3, 224).status,
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Ioctl(&fo, IOCTL_NDIS_FILTER_GET_IPCONFIG, &req.adapterId, 4, 223).status,
              STATUS_BUFFER_TOO_SMALL);
    req.config.m_nIP = 1000;
    EXPECT_EQ(Ioctl(&fo, IOCTL_NDIS_FILTER_SET_IPCONFIG, &req, 224, 0).status, STATUS_INVALID_PARAMETER);
    req.config.m_nIP = 1;
    req.adapterId = 999;
    EXPECT_EQ(Ioctl(&fo, IOCTL_NDIS_FILTER_SET_IPCONFIG, &req, 224, 0).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Ioctl(&fo, IOCTL_NDIS_FILTER_GET_IPCONFIG, &req.adapterId, 4, 224).status,
              STATUS_INVALID_PARAMETER);
}

TEST_F(ControlCodes, MediaStatusPacketDumpAndAdapterByMac) {
    TW_MEDIA_STATUS m{};
    std::memcpy(m.mac, kMac0, 6);
    m.state = 1;
    EXPECT_EQ(Ioctl(&fo, IOCTL_NDIS_FILTER_SET_MEDIA_STATUS, &m, 6, 0).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Ioctl(&fo, IOCTL_NDIS_FILTER_SET_MEDIA_STATUS, &m, 7, 0).status, STATUS_SUCCESS);
    EXPECT_TRUE(driver.Nic(0)->Carrier());
    Call c = Ioctl(&fo, IOCTL_NDIS_FILTER_GET_MEDIA_STATUS, &m, 7, 7);
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(c.bytes, 7u);
    EXPECT_EQ(c.out[6], 1);
    m.mac[5] = 9;
    EXPECT_EQ(Ioctl(&fo, IOCTL_NDIS_FILTER_SET_MEDIA_STATUS, &m, 7, 0).status, NDIS_STATUS_ADAPTER_NOT_FOUND);
    std::memcpy(m.mac, kMac0, 6);
    EXPECT_EQ(Ioctl(&fo, IOCTL_NDIS_FILTER_SET_PACKET_DUMP, &m, 7, 0).status, STATUS_SUCCESS);
    c = Ioctl(&fo, IOCTL_NDIS_FILTER_GET_PACKET_DUMP, &m, 7, 7);
    EXPECT_EQ(c.out[6], 1);
    m.state = 0;
    Ioctl(&fo, IOCTL_NDIS_FILTER_SET_PACKET_DUMP, &m, 7, 0);
    c = Ioctl(&fo, IOCTL_NDIS_FILTER_GET_ADAPTER, kMac0, 6, 10);
    ASSERT_EQ(c.status, STATUS_SUCCESS);
    TW_ADAPTER_BY_MAC a;
    std::memcpy(&a, c.out.data(), 10);
    EXPECT_EQ(static_cast<std::uint32_t>(a.adapterId), Id());
    EXPECT_EQ(Ioctl(&fo, IOCTL_NDIS_FILTER_GET_ADAPTER, kMac0, 5, 10).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Ioctl(&fo, IOCTL_NDIS_FILTER_GET_ADAPTER, "\1\2\3\4\5\6", 6, 10).status, STATUS_INTERNAL_ERROR);
}

TEST_F(ControlCodes, CongestionCaptureAndTestCounters) {
    EXPECT_EQ(Ioctl(&fo, IOCTL_NDIS_FILTER_SET_CONGESTION_CONTROL, "\x20\0\0\0", 4, 0).status,
              STATUS_SUCCESS);
    EXPECT_EQ(FilterExtension()->InjectPacketMax.load(), 32u);
    EXPECT_EQ(Ioctl(&fo, IOCTL_NDIS_FILTER_SET_CONGESTION_CONTROL, "\x01", 1, 0).status,
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(FilterExtension()->InjectPacketMax.load(), 32u);
    EXPECT_EQ(Ioctl(&fo, IOCTL_NDIS_FILTER_START_CAPTURE, nullptr, 0, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(FilterExtension()->m_CaptureFlag.load(), 1u);
    EXPECT_EQ(Ioctl(&fo, IOCTL_NDIS_FILTER_STOP_CAPTURE, nullptr, 0, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(FilterExtension()->m_CaptureFlag.load(), 0u);

    // The counted frames travel in a session, as a client's do.
    const DWORD addr = 0x10000000;
    ASSERT_EQ(Ioctl(&fo, IOCTL_NDIS_FILTER_START_SHARE, &addr, 4, 8).status, STATUS_SUCCESS);
    ASSERT_EQ(Ioctl(&fo, IOCTL_NDIS_FILTER_START_CAPTURE, nullptr, 0, 0).status, STATUS_SUCCESS);

    const std::uint8_t far[6] = {0, 0xFF, 0xFF, 0xFF, 1, 0};
    auto frame = testsupport::UdpFrame(far, kMac0, 0x0100000A, 0x0200000A, 4433, 10);
    TW_TEST_PROXY_REQUEST t{};
    std::memcpy(&t.udpPort, frame.data() + 36, 2);
    t.resourceAddress = 0x0200000A;
    t.virtualAddress = 0x0300000A;
    EXPECT_EQ(Ioctl(&fo, IOCTL_QEL_CLIENT_TEST_PROXY_DATA, &t, 11, 0).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Ioctl(&fo, IOCTL_QEL_CLIENT_TEST_PROXY_DATA, &t, 12, 0).status, STATUS_SUCCESS);
    ASSERT_TRUE(driver.Nic(0)->StackSends(frame));
    test::RingClient client(FilterExtension()->Ring()->Mapped() + 20, true);
    test::UserBlock b;
    ASSERT_TRUE(testsupport::WaitFor("a block in the shared ring", [&] { return client.Read(&b); }));
    EXPECT_EQ(Ioctl(&fo, IOCTL_QEL_CLIENT_TEST_PROXY_END, nullptr, 0, 40).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(static_cast<std::uint32_t>(FilterExtension()->m_TestProxy.enabled), 0u)
        << "a short output still stops counting";
    Call c = Ioctl(&fo, IOCTL_QEL_CLIENT_TEST_PROXY_END, nullptr, 0, 48);
    ASSERT_EQ(c.bytes, 48u);
    TW_TEST_PROXY_DATA d;
    std::memcpy(&d, c.out.data(), 48);
    EXPECT_EQ(d.resourceCounters[0], 1u);
    EXPECT_EQ(d.resourceCounters[1], 1u);
    EXPECT_EQ(d.resourceCounters[2], 1u);
    EXPECT_EQ(d.resourceCounters[3], 0u);
    EXPECT_EQ(d.virtualCounters[0], 0u);
}

TEST_F(ControlCodes, CloseEventNeedsARealEventAndReportsFailure) {
    DWORD handle = 5;
    EXPECT_EQ(Ioctl(&fo, IOCTL_SET_ADAPTER_CLOSE_EVENT, &handle, 3, 0).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Ioctl(&fo, IOCTL_SET_ADAPTER_CLOSE_EVENT, &handle, 4, 0).status, STATUS_INVALID_HANDLE);
    int notEvent = ::dup(0);
    EXPECT_EQ(Ioctl(&fo, IOCTL_SET_ADAPTER_CLOSE_EVENT, &handle, 4, 0, notEvent).status,
              STATUS_INVALID_HANDLE);
    int ev = ::eventfd(0, EFD_CLOEXEC);
    const std::uint64_t wide = static_cast<std::uint64_t>(ev);
    Call c = Ioctl(&fo, IOCTL_SET_ADAPTER_CLOSE_EVENT, &wide, 8, 8, ev);
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(c.bytes, 0u);
}

TEST_F(ControlCodes, EndDiagReportsNoMoreThanTheBuffers) {
    std::vector<std::uint8_t> rec(64, 0);
    std::int32_t used = 1000000;
    std::memcpy(rec.data() + 28, &used, 4);
    Call c = Ioctl(&fo, IOCTL_NDIS_FILTER_END_DIAG, rec.data(), 64, 64);
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(c.bytes, 64u);
    used = 10;
    std::memcpy(rec.data() + 28, &used, 4);
    EXPECT_EQ(Ioctl(&fo, IOCTL_NDIS_FILTER_END_DIAG, rec.data(), 64, 64).bytes, 50u);
    EXPECT_EQ(Ioctl(&fo, IOCTL_NDIS_FILTER_END_DIAG, nullptr, 0, 0).bytes, 0u);
}

TEST_F(ControlCodes, RandomRecordsNeverOverrunOrCrash) {
    std::mt19937 rng(99);
    const DWORD codes[] = {0x80002000, 0x80002004, 0x80002008, 0x8000200c, 0x80002320, 0x80002328,
                           0x8000232c, 0x80002330, 0x80002334, 0x80002338, 0x8000233c, 0x80002348,
                           0x8000234c, 0x80002350, 0x80002354, 0x8000235c, 0x80002360, 0x80002364,
                           0x80002368, 0x8000237c, 0x80002384, 0x80002640, 0x80002644, 0x80002984,
                           0x80002988, 0x8000298c, 0x800024f8, 0x80002324};
    for (int i = 0; i < 4000; ++i) {
        const DWORD code = codes[rng() % (sizeof(codes) / sizeof(codes[0]))];
        std::vector<std::uint8_t> in(rng() % 300);
        for (auto& b : in) b = static_cast<std::uint8_t>(rng());
        if (!in.empty() && rng() % 2) {
            const auto id = static_cast<DWORD>(rng() % 3);
            std::memcpy(in.data(), &id, in.size() < 4 ? in.size() : 4);
        }
        const DWORD outLen = rng() % 2 ? static_cast<DWORD>(rng() % 300) : 9028;
        Ioctl(&fo, code, in.data(), static_cast<DWORD>(in.size()), outLen);
    }
    NdisFilterCleanup(&fo);
}

TEST(DeviceSocket, ClientMapsTheRingAndRunsCodesUnchanged) {
    test::FakeDriver driver(1);
    ASSERT_TRUE(driver.running);
    testsupport::TempRoot root;
    const std::string path = root.Path() + "/ndisfilter";
    TwControlServer server;
    ASSERT_TRUE(server.Start(path, platform::PeerPolicy::RootOrGroup(::getegid())));
    auto dev = platform::FilterDevice::Open(path);
    ASSERT_NE(dev, nullptr);
    _DriverVersion v{};
    DWORD returned = 0;
    ASSERT_TRUE(dev->DeviceIoControl(IOCTL_NDIS_FILTER_GET_VERSION, nullptr, 0, &v, 2, &returned));
    EXPECT_EQ(returned, 2u);
    EXPECT_EQ(v.major, 1);
    EXPECT_FALSE(dev->DeviceIoControl(0x80002500, nullptr, 0, nullptr, 0, &returned));
    EXPECT_EQ(platform::GetLastError(), 50u);
    DWORD addr = 0x20000000;
    std::uint64_t shared = 0;
    ASSERT_TRUE(dev->DeviceIoControl(IOCTL_NDIS_FILTER_START_SHARE, &addr, 4, &shared, 8, &returned));
    ASSERT_TRUE(dev->DeviceIoControl(IOCTL_NDIS_FILTER_START_CAPTURE, nullptr, 0, nullptr, 0, &returned));
    ASSERT_NE(dev->MappedBlock(), nullptr);
    EXPECT_EQ(shared, reinterpret_cast<std::uint64_t>(dev->MappedBlock()) + 20);
    test::RingClient client(reinterpret_cast<void*>(shared), true);
    auto frame = std::vector<std::uint8_t>(100, 0x42);
    ASSERT_TRUE(driver.Nic(0)->StackSends(frame));
    test::UserBlock b;
    ASSERT_TRUE(testsupport::WaitFor("a block in the shared ring", [&] { return client.Read(&b); }));
    EXPECT_EQ(b.data, frame);
    auto dev2 = platform::FilterDevice::Open(path);
    ASSERT_NE(dev2, nullptr);
    EXPECT_FALSE(dev2->DeviceIoControl(IOCTL_NDIS_FILTER_START_SHARE, &addr, 4, &shared, 8, &returned));
    dev.reset();  // closing the handle ends its sharing
    ASSERT_TRUE(testsupport::WaitFor("the control device to be released",
                                     [] { return FilterExtension()->m_FileObject.load() == 0; }));
    EXPECT_TRUE(dev2->DeviceIoControl(IOCTL_NDIS_FILTER_START_SHARE, &addr, 4, &shared, 8, &returned));
    // The close event travels as a descriptor.
    platform::UniqueFd ev(::eventfd(0, EFD_CLOEXEC));
    DWORD handle = static_cast<DWORD>(ev.Get());
    EXPECT_TRUE(dev2->DeviceIoControl(IOCTL_SET_ADAPTER_CLOSE_EVENT, &handle, 4, nullptr, 0, &returned));
    ev.Reset();
    handle = 1000;
    EXPECT_FALSE(dev2->DeviceIoControl(IOCTL_SET_ADAPTER_CLOSE_EVENT, &handle, 4, nullptr, 0, &returned));
    server.Stop();
    EXPECT_EQ(FilterExtension()->m_FileObject.load(), 0u);
}

TEST(DeviceSocket, MalformedMessagesAreRefused) {
    test::FakeDriver driver(1);
    testsupport::TempRoot root;
    const std::string path = root.Path() + "/ndisfilter";
    TwControlServer server;
    ASSERT_TRUE(server.Start(path, platform::PeerPolicy::RootOrGroup(::getegid())));
    auto dev = platform::FilterDevice::Open(path);
    ASSERT_NE(dev, nullptr);
    platform::LocalPipeClient raw = platform::LocalPipeClient::Connect(path);
    ASSERT_TRUE(raw.Connected());
    std::mt19937 rng(5);
    for (int i = 0; i < 300; ++i) {
        std::vector<std::uint8_t> msg(rng() % 64);
        for (auto& b : msg) b = static_cast<std::uint8_t>(rng());
        if (msg.size() >= 16 && rng() % 2) {
            TW_DEVICE_REQUEST r{TW_DEVICE_MAGIC, IOCTL_NDIS_FILTER_GET_VERSION, static_cast<DWORD>(rng()),
                                static_cast<DWORD>(rng())};
            std::memcpy(msg.data(), &r, 16);
        }
        if (msg.empty()) msg.push_back(0);
        ASSERT_TRUE(raw.Send(msg.data(), msg.size()));
        std::vector<std::uint8_t> reply;
        bool closed = false;
        ASSERT_TRUE(raw.Receive(64, 5000, &reply, nullptr, &closed));
        ASSERT_GE(reply.size(), 16u);
        TW_DEVICE_REPLY rep;
        std::memcpy(&rep, reply.data(), 16);
        if (rep.status == STATUS_SUCCESS) {
            EXPECT_EQ(reply.size(), 16u + rep.bytesReturned);
        }
    }
    _DriverVersion v{};
    DWORD returned = 0;
    EXPECT_TRUE(dev->DeviceIoControl(IOCTL_NDIS_FILTER_GET_VERSION, nullptr, 0, &v, 2, &returned));
    EXPECT_GT(server.RejectedRequests(), 0u);
}

}  // namespace
}  // namespace olvane

namespace olvane {
namespace {

TEST(DeviceSocket, NarrowLayoutIsMappedBelowFourGigabytes) {
    test::FakeDriver driver(1, RingLayout::k32);
    ASSERT_TRUE(driver.running);
    testsupport::TempRoot root;
    const std::string path = root.Path() + "/ndisfilter";
    TwControlServer server;
    ASSERT_TRUE(server.Start(path, platform::PeerPolicy::RootOrGroup(::getegid())));
    auto dev = platform::FilterDevice::Open(path);
    ASSERT_NE(dev, nullptr);
    DWORD shared = 0, returned = 0, size = 0;
    ASSERT_TRUE(
        dev->DeviceIoControl(IOCTL_NDIS_FILTER_PUT_SHAREDMEMORYSIZE, nullptr, 0, &size, 4, &returned));
    EXPECT_EQ(size, 1716304u);
    ASSERT_TRUE(dev->DeviceIoControl(IOCTL_NDIS_FILTER_START_SHARE, nullptr, 0, &shared, 4, &returned));
    EXPECT_EQ(returned, 4u);
    ASSERT_TRUE(dev->DeviceIoControl(IOCTL_NDIS_FILTER_START_CAPTURE, nullptr, 0, nullptr, 0, &returned));
    EXPECT_EQ(static_cast<std::uint64_t>(shared), reinterpret_cast<std::uint64_t>(dev->MappedBlock()) + 12);
    test::RingClient client(reinterpret_cast<void*>(static_cast<std::uintptr_t>(shared)), false);
    std::vector<std::uint8_t> frame(64, 0x33);
    ASSERT_TRUE(driver.Nic(0)->StackSends(frame));
    test::UserBlock b;
    ASSERT_TRUE(testsupport::WaitFor("a block in the shared ring", [&] { return client.Read(&b); }));
    EXPECT_EQ(b.data, frame);
    EXPECT_TRUE(dev->DeviceIoControl(IOCTL_NDIS_FILTER_STOP_SHARE, nullptr, 0, nullptr, 0, &returned));
    EXPECT_EQ(dev->MappedBlock(), nullptr);
}

}  // namespace
}  // namespace olvane
