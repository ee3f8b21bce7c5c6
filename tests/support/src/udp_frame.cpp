#include "testsupport/udp_frame.h"

#include <cstring>

namespace testsupport {

namespace {

void PutBe16(std::uint8_t* at, std::size_t value) {
    at[0] = static_cast<std::uint8_t>(value >> 8);
    at[1] = static_cast<std::uint8_t>(value);
}

}  // namespace

std::vector<std::uint8_t> UdpFrame(const std::uint8_t dstMac[6], const std::uint8_t srcMac[6],
                                   std::uint32_t srcIp, std::uint32_t dstIp, std::uint16_t dstPort,
                                   std::size_t payload, std::optional<std::uint8_t> fill) {
    std::vector<std::uint8_t> f(14 + 20 + 8 + payload, 0);
    std::memcpy(f.data(), dstMac, 6);
    std::memcpy(f.data() + 6, srcMac, 6);
    f[12] = 0x08;
    f[13] = 0x00;
    std::uint8_t* ip = f.data() + 14;
    ip[0] = 0x45;
    PutBe16(ip + 2, 20 + 8 + payload);
    ip[8] = 64;
    ip[9] = 17;
    std::memcpy(ip + 12, &srcIp, 4);
    std::memcpy(ip + 16, &dstIp, 4);
    std::uint8_t* udp = ip + 20;
    PutBe16(udp, 12345);
    PutBe16(udp + 2, dstPort);
    PutBe16(udp + 4, 8 + payload);
    for (std::size_t i = 0; i < payload; ++i) udp[8 + i] = fill ? *fill : static_cast<std::uint8_t>(i);
    std::uint32_t sum = 0;
    for (int i = 0; i < 20; i += 2) sum += static_cast<std::uint32_t>((ip[i] << 8) | ip[i + 1]);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    PutBe16(ip + 10, static_cast<std::uint16_t>(~sum));
    return f;
}

}  // namespace testsupport
