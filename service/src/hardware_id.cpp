// The machine fingerprint from disk serial, processor id, host name and Ethernet address.
#include "service/hardware_id.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "fennix/fennix.h"
#include "util/machine_identity.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#endif

namespace service {
namespace {

// The suite's own virtual adapter carries this address; it is a miniport, not a machine's card.
constexpr BYTE kVirtualMac[6] = {0x00, 0xff, 0xff, 0xff, 0x00, 0x00};

}  // namespace

std::string Md5Hex(const std::string& bytes) {
    alignas(4) unsigned char storage[sizeof(std::uint32_t) + FENNIX_MD5_LENGTH] = {};
    auto* record = reinterpret_cast<fennix_digest_record*>(storage);
    record->size = FENNIX_MD5_LENGTH;
    if (bytes.empty() || fennix_MD5Digest(reinterpret_cast<const unsigned char*>(bytes.data()),
                                          static_cast<int>(bytes.size()), record) != FENNIX_OK) {
        return std::string();
    }
    std::string hex;
    char two[3];
    for (int i = 0; i < FENNIX_MD5_LENGTH; ++i) {
        std::snprintf(two, sizeof(two), "%02x", record->bytes[i]);
        hex += two;
    }
    return hex;
}

std::string FormatHardwareFingerprint(const HardwareFacts& facts) {
    std::string text =
        Md5Hex(facts.diskSerial + "+" + facts.cpuId) + "|" + facts.computerName + "|" + facts.mac;
    if (text.size() > kMaxHardwareIdLength) text.resize(kMaxHardwareIdLength);
    return text;
}

std::string FirstEthernetMac(const std::vector<platform::AdapterInfo>& adapters) {
    static const char* const kVirtualWords[] = {"Sangfor", "Cisco",      "VMware",
                                                "Virtual", "TeamViewer", "Miniport"};
    for (const auto& a : adapters) {
        // Bridges, veths and TAPs (docker0, virbr0, a container's link) carry none of the words
        // in their names: Linux marks them by the missing device instead.
        if (a.loopback || a.virtualLink || a.macLength != 6 || std::memcmp(a.mac.data(), kVirtualMac, 6) == 0)
            continue;
        bool excluded = false;
        for (const char* word : kVirtualWords) excluded = excluded || a.name.find(word) != std::string::npos;
        if (excluded) continue;
        char text[18];
        std::snprintf(text, sizeof(text), "%02x-%02x-%02x-%02x-%02x-%02x", a.mac[0], a.mac[1], a.mac[2],
                      a.mac[3], a.mac[4], a.mac[5]);
        return text;
    }
    return "00-00-00-00-00-00";
}

std::string GetCPUId() {
    char vendor[13] = {};
    unsigned features = 0;
#if defined(__i386__) || defined(__x86_64__)
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(0, &eax, &ebx, &ecx, &edx) != 0) {
        std::memcpy(vendor, &ebx, 4);
        std::memcpy(vendor + 4, &edx, 4);
        std::memcpy(vendor + 8, &ecx, 4);
    }
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0) features = edx;
#endif
    return std::string(vendor) + ":" + std::to_string(features);
}

std::string GetDiskSerial() {
    getHardDriveComputerID();
    std::string serial, model;
    LastHardDriveIdentity(&serial, &model);
    while (!serial.empty() && serial.back() == ' ') serial.pop_back();
    return serial;
}

std::string GetHardwareID(platform::AdapterList& adapters) {
    HardwareFacts facts;
    std::vector<platform::AdapterInfo> list;
    if (adapters.GetAdapters(&list) == platform::kErrorSuccess) facts.mac = FirstEthernetMac(list);
    if (facts.mac.empty()) facts.mac = "00-00-00-00-00-00";
    char name[257] = {};
    if (gethostname(name, sizeof(name) - 1) == 0) facts.computerName = name;
    facts.diskSerial = GetDiskSerial();
    facts.cpuId = GetCPUId();
    return FormatHardwareFingerprint(facts);
}

}  // namespace service
