// Frames per second and MB/s through the driver's data path against a raw TAP device, in a
// network namespace of our own (needs root):
//   out:  stack -> TAP -> driver -> output ring -> client      vs  stack -> raw TAP read
//   in:   client -> input ring -> driver -> TAP -> stack       vs  raw TAP write -> stack
// The stack side is an AF_PACKET socket on the interface, using the local experimental
// EtherType 0x88B5 so that nothing else is counted.
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "nic_backend.h"
#include "olvane_daemon.h"
#include "platform/filter_device.h"
#include "platform/unique_fd.h"
#include "support/ring_client.h"
#include "testsupport/command.h"
#include "testsupport/netns.h"
#include "testsupport/temp_root.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint16_t kEtherType = 0x88B5;
const std::uint8_t kMac0[6] = {0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x00};

struct Result {
    double fps = 0;
    double mbps = 0;
    std::size_t received = 0;
    std::size_t sent = 0;
};

std::vector<std::uint8_t> Frame(std::size_t size) {
    std::vector<std::uint8_t> f(size < 14 ? 14 : size, 0x5A);
    std::memcpy(f.data(), kMac0, 6);
    const std::uint8_t src[6] = {0x02, 0, 0, 0, 0, 9};
    std::memcpy(f.data() + 6, src, 6);
    f[12] = kEtherType >> 8;
    f[13] = kEtherType & 0xFF;
    return f;
}

int PacketSocket(const char* ifName) {
    int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(kEtherType));
    sockaddr_ll ll{};
    ll.sll_family = AF_PACKET;
    ll.sll_protocol = htons(kEtherType);
    ll.sll_ifindex = static_cast<int>(if_nametoindex(ifName));
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&ll), sizeof(ll)) != 0) return -1;
    int big = 8 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof(big));
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &big, sizeof(big));
    timeval tv{0, 200000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    return fd;
}

Result Finish(Clock::time_point start, Clock::time_point end, std::size_t received, std::size_t sent,
              std::size_t size) {
    Result r;
    const double s = std::chrono::duration<double>(end - start).count();
    r.received = received;
    r.sent = sent;
    r.fps = s > 0 ? static_cast<double>(received) / s : 0;
    r.mbps = r.fps * static_cast<double>(size) / 1e6;
    return r;
}

// Sends `count` frames on the packet socket while `receive` counts what arrives on the other side.
template <class Receive>
Result Measure(int sendFd, std::size_t count, std::size_t size, Receive receive) {
    const auto frame = Frame(size);
    std::atomic<bool> done{false};
    std::size_t received = 0;
    Clock::time_point last;
    std::thread rx([&] {
        auto idleSince = Clock::now();
        while (received < count) {
            if (receive()) {
                ++received;
                last = Clock::now();
                idleSince = last;
            } else if (done.load() && Clock::now() - idleSince > std::chrono::milliseconds(300)) {
                break;
            }
        }
    });
    const auto start = Clock::now();
    std::size_t sent = 0;
    for (; sent < count; ++sent) {
        while (::send(sendFd, frame.data(), frame.size(), 0) < 0) std::this_thread::yield();
    }
    done.store(true);
    rx.join();
    return Finish(start, last, received, sent, size);
}

void Print(const char* what, std::size_t size, const Result& r) {
    std::printf("%-34s %5zu B  %10.0f frames/s  %8.1f MB/s  (%zu of %zu)\n", what, size, r.fps, r.mbps,
                r.received, r.sent);
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t count = argc > 1 ? static_cast<std::size_t>(std::atoll(argv[1])) : 200000;
    if (!testsupport::IsRoot()) {
        std::fprintf(stderr, "olvane_bench: needs root (a network namespace of its own)\n");
        return 1;
    }
    testsupport::NetnsScope netns;
    if (!netns.Ok()) {
        std::fprintf(stderr, "olvane_bench: needs root (a network namespace of its own)\n");
        return 1;
    }
    testsupport::TempRoot root{"olvane-bench"};

    olvane::TwOlvaneDaemon daemon;
    olvane::DaemonOptions options;
    options.driver.timing = olvane::ProtocolTiming{0, 0, 0};
    options.listRealAdapters = false;
    std::string error;
    if (!daemon.Start(options, &error)) {
        std::fprintf(stderr, "olvane_bench: %s\n", error.c_str());
        return 1;
    }
    auto dev = platform::FilterDevice::Open();
    DWORD returned = 0;
    TW_ADAPTER_BY_MAC a{};
    for (int i = 0;
         i < 500 && !dev->DeviceIoControl(IOCTL_NDIS_FILTER_GET_ADAPTER, kMac0, 6, &a, 10, &returned); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    DWORD addr = 0x40000000;
    std::uint64_t shared = 0;
    TW_MEDIA_STATUS m{{0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x00}, 1};
    if (!dev->DeviceIoControl(IOCTL_NDIS_FILTER_START_SHARE, &addr, 4, &shared, 8, &returned) ||
        !dev->DeviceIoControl(IOCTL_NDIS_FILTER_SET_MEDIA_STATUS, &m, 7, nullptr, 0, &returned)) {
        std::fprintf(stderr, "olvane_bench: the driver did not come up\n");
        return 1;
    }
    olvane::test::RingClient ring(reinterpret_cast<void*>(shared), true);
    std::string tapError;
    const std::uint8_t rawMac[6] = {0x02, 0, 0, 0, 0, 1};
    auto raw = olvane::OpenTapDevice("qelraw0", rawMac, 1500, &tapError);
    if (!raw) {
        std::fprintf(stderr, "olvane_bench: %s\n", tapError.c_str());
        return 1;
    }
    raw->SetCarrier(true);
    platform::UniqueFd drvOwner(PacketSocket("qelmini0"));
    platform::UniqueFd rawOwner(PacketSocket("qelraw0"));
    const int drvSock = drvOwner.Get(), rawSock = rawOwner.Get();
    std::printf("olvane_bench: %zu frames per run\n", count);
    for (std::size_t size : {std::size_t{1514}, std::size_t{64}}) {
        olvane::test::UserBlock b;
        std::vector<std::uint8_t> buf(2048);
        // Out: stack -> ring -> client, against stack -> raw TAP read.
        Print("out: stack->TAP->ring->client", size,
              Measure(drvSock, count, size, [&] { return ring.Read(&b); }));
        int flags = ::fcntl(raw->Fd(), F_GETFL);
        ::fcntl(raw->Fd(), F_SETFL, flags | O_NONBLOCK);
        Print("out: stack->raw TAP read", size,
              Measure(rawSock, count, size, [&] { return ::read(raw->Fd(), buf.data(), buf.size()) > 0; }));
        // In: client -> ring -> stack (one WRITE_SHARE per frame, as the client sends it), against
        // raw TAP write -> stack.
        const auto frame = Frame(size);
        for (int batch : {1, 64}) {
            std::atomic<bool> go{true};
            std::size_t received = 0, sent = 0;
            Clock::time_point last;
            std::thread rx([&] {
                std::uint8_t f[2048];
                while (received < count && go.load()) {
                    if (::recv(drvSock, f, sizeof(f), 0) > 0) {
                        ++received;
                        last = Clock::now();
                    }
                }
            });
            const auto start = Clock::now();
            for (; sent < count; ++sent) {
                while (!ring.Write(a.adapterId, PACKET_DIRECTION_OUTGOING, frame.data(),
                                   static_cast<std::uint32_t>(size))) {
                    dev->DeviceIoControl(IOCTL_NDIS_FILTER_WRITE_SHARE, nullptr, 0, nullptr, 0, &returned);
                }
                if ((sent + 1) % static_cast<std::size_t>(batch) == 0) {
                    dev->DeviceIoControl(IOCTL_NDIS_FILTER_WRITE_SHARE, nullptr, 0, nullptr, 0, &returned);
                }
            }
            dev->DeviceIoControl(IOCTL_NDIS_FILTER_WRITE_SHARE, nullptr, 0, nullptr, 0, &returned);
            const auto deadline = Clock::now() + std::chrono::seconds(2);
            while (received < count && Clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            go.store(false);
            rx.join();
            Print(batch == 1 ? "in: client->ring->TAP->stack (1)" : "in: client->ring->TAP->stack (64)", size,
                  Finish(start, last, received, sent, size));
        }
        Print("in: raw TAP write->stack", size, [&] {
            std::atomic<bool> go{true};
            std::size_t received = 0;
            Clock::time_point last;
            std::thread rx([&] {
                std::uint8_t f[2048];
                while (received < count && go.load()) {
                    if (::recv(rawSock, f, sizeof(f), 0) > 0) {
                        ++received;
                        last = Clock::now();
                    }
                }
            });
            auto rawFrame = frame;
            std::memcpy(rawFrame.data(), rawMac, 6);
            const auto start = Clock::now();
            for (std::size_t i = 0; i < count; ++i) raw->Write(rawFrame.data(), rawFrame.size());
            const auto deadline = Clock::now() + std::chrono::seconds(2);
            while (received < count && Clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            go.store(false);
            rx.join();
            return Finish(start, last, received, count, size);
        }());
    }
    drvOwner.Reset();
    rawOwner.Reset();
    raw.reset();
    dev.reset();
    daemon.Stop();
    return 0;
}
