// Adapter lookups by hardware address.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "dailylog/shared_daily_log.h"
#include "engine/client_route_manager.h"

namespace engine {
namespace {

const platform::AdapterInfo* FindByMac(const std::vector<platform::AdapterInfo>& adapters,
                                       const BYTE mac[6]) {
    for (const auto& a : adapters) {
        std::printf("%s\n", a.name.c_str());
        if (a.macLength == 6 && std::equal(mac, mac + 6, a.mac.begin())) return &a;
    }
    return nullptr;
}

bool ReadAdapters(platform::AdapterList& list, std::vector<platform::AdapterInfo>* adapters) {
    const DWORD rc = list.GetAdapters(adapters);
    if (rc == platform::kErrorSuccess) return true;
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[GetIfNameByMacAddr] 第二次GetAdaptersInfo 返回%d, lasterror=0x%x",
           static_cast<int>(rc), static_cast<unsigned>(rc));
    return false;
}

}  // namespace

int GetIfNameByMacAddr(platform::AdapterList& list, const BYTE mac[6], char* name, unsigned size) {
    if (mac == nullptr || name == nullptr || size == 0) return 0;
    std::vector<platform::AdapterInfo> adapters;
    if (!ReadAdapters(list, &adapters)) return 0;
    const platform::AdapterInfo* found = FindByMac(adapters, mac);
    if (found == nullptr || found->name.size() >= size) return 0;
    std::memcpy(name, found->name.c_str(), found->name.size() + 1);
    return 1;
}

int GetIfIndexByMacAddr(platform::AdapterList& list, const BYTE mac[6], int* index) {
    if (mac == nullptr || index == nullptr) return 0;
    std::vector<platform::AdapterInfo> adapters;
    if (!ReadAdapters(list, &adapters)) return 0;
    const platform::AdapterInfo* found = FindByMac(adapters, mac);
    if (found == nullptr) return 0;
    *index = static_cast<int>(found->index);
    return 1;
}

}  // namespace engine
