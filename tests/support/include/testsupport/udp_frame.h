// Test frames: Ethernet + IPv4 + UDP, with a valid IPv4 header checksum and no UDP checksum.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace testsupport {

// Addresses in network order; source port 12345. The payload holds `fill` in every byte, or
// 0, 1, 2, ... (mod 256) without it.
std::vector<std::uint8_t> UdpFrame(const std::uint8_t dstMac[6], const std::uint8_t srcMac[6],
                                   std::uint32_t srcIp, std::uint32_t dstIp, std::uint16_t dstPort,
                                   std::size_t payload, std::optional<std::uint8_t> fill = std::nullopt);

}  // namespace testsupport
