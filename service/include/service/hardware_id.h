// The machine's fingerprint: "<md5 hex of disk serial+cpu id>|<computer name>|<first Ethernet MAC>".
// Every part has a fallback (empty serial, empty name, zero MAC), so the result is always a whole
// text of at most 127 characters. Thread-safe.
#pragma once
#include <string>
#include <vector>

#include "platform/adapter_list.h"

namespace service {

constexpr std::size_t kMaxHardwareIdLength = 127;

struct HardwareFacts {
    std::string diskSerial;  // trailing blanks already removed
    std::string cpuId;       // "<vendor>:<feature flags>"
    std::string computerName;
    std::string mac;  // "xx-xx-xx-xx-xx-xx"
};

// MD5 of the bytes as 32 lower-case hexadecimal digits.
std::string Md5Hex(const std::string& bytes);
// "%s|%s|%s" of MD5("<serial>+<cpu id>"), name and MAC, cut at 127 characters.
std::string FormatHardwareFingerprint(const HardwareFacts& facts);
// The first Ethernet adapter (6-byte address, not loopback, not the suite's own virtual adapter)
// whose name contains none of the words that mark virtual adapters; "00-00-00-00-00-00" when none.
std::string FirstEthernetMac(const std::vector<platform::AdapterInfo>& adapters);
// "<12-character vendor>:<leaf 1 EDX as unsigned decimal>" from cpuid; ":0" where there is none.
std::string GetCPUId();
// The first disk's serial number from the machine identity of the utility library, without
// trailing blanks; empty when no disk reports one.
std::string GetDiskSerial();
// The whole fingerprint of this machine, adapters from `adapters`.
std::string GetHardwareID(platform::AdapterList& adapters);

}  // namespace service
