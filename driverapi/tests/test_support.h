// Test helpers: a private network namespace for the calling thread (and the processes and
// threads it starts), a private machine root, bounded polling and a UDP frame builder.
#pragma once
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/process.h"

namespace morbeck_test {

inline int Run(const std::vector<std::string>& argv) {
    platform::SpawnOptions o;
    o.quietOutput = true;
    return platform::RunAndWait(argv, o);
}

class NetnsScope {
public:
    NetnsScope() {
        m_orig = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        m_ok = m_orig >= 0 && ::unshare(CLONE_NEWNET) == 0;
        if (m_ok) Run({"ip", "link", "set", "lo", "up"});
    }
    ~NetnsScope() {
        if (m_ok) ::setns(m_orig, CLONE_NEWNET);
        if (m_orig >= 0) ::close(m_orig);
    }
    bool Ok() const { return m_ok; }

private:
    int m_orig = -1;
    bool m_ok = false;
};

class MachineRootScope {
public:
    MachineRootScope() {
        char tmpl[] = "/tmp/morbeck-test-XXXXXX";
        const char* dir = ::mkdtemp(tmpl);
        m_path = dir != nullptr ? dir : "";
        ::setenv("QEL_ROOT", m_path.c_str(), 1);
    }
    ~MachineRootScope() {
        ::unsetenv("QEL_ROOT");
        if (!m_path.empty()) Run({"rm", "-rf", m_path});
    }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

inline bool WaitFor(const std::function<bool()>& done, int timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Ethernet + IPv4 + UDP with `payload` bytes of 0x5A; addresses in network order.
inline std::vector<std::uint8_t> UdpFrame(const std::uint8_t dstMac[6], const std::uint8_t srcMac[6], std::uint32_t src,
                                          std::uint32_t dst, std::uint16_t dstPort, std::size_t payload) {
    std::vector<std::uint8_t> f(14 + 20 + 8 + payload, 0x5A);
    std::memcpy(f.data(), dstMac, 6);
    std::memcpy(f.data() + 6, srcMac, 6);
    f[12] = 0x08;
    f[13] = 0x00;
    std::uint8_t* ip = f.data() + 14;
    const std::size_t total = 20 + 8 + payload;
    ip[0] = 0x45;
    ip[1] = 0;
    ip[2] = static_cast<std::uint8_t>(total >> 8);
    ip[3] = static_cast<std::uint8_t>(total);
    ip[4] = ip[5] = ip[6] = ip[7] = 0;
    ip[8] = 64;
    ip[9] = 17;
    ip[10] = ip[11] = 0;
    std::memcpy(ip + 12, &src, 4);
    std::memcpy(ip + 16, &dst, 4);
    std::uint32_t sum = 0;
    for (int i = 0; i < 20; i += 2) sum += static_cast<std::uint32_t>((ip[i] << 8) | ip[i + 1]);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    const std::uint16_t check = static_cast<std::uint16_t>(~sum);
    ip[10] = static_cast<std::uint8_t>(check >> 8);
    ip[11] = static_cast<std::uint8_t>(check);
    std::uint8_t* udp = ip + 20;
    udp[0] = 0x30;
    udp[1] = 0x39;
    udp[2] = static_cast<std::uint8_t>(dstPort >> 8);
    udp[3] = static_cast<std::uint8_t>(dstPort);
    udp[4] = static_cast<std::uint8_t>((8 + payload) >> 8);
    udp[5] = static_cast<std::uint8_t>(8 + payload);
    udp[6] = udp[7] = 0;  // no UDP checksum
    return f;
}

}  // namespace morbeck_test
