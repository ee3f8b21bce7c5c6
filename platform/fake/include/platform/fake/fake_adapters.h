// In-memory adapters and their address configuration. FakeAddressConfig edits the addresses of a
// FakeAdapterList, so code that sets an address and then lists the adapters sees its change.
// Adapters a test adds are returned in index order. Thread-safe.
#pragma once
#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

#include "platform/adapter_list.h"
#include "platform/address_config.h"
#include "platform/route_table.h"

namespace platform::fake {

class FakeAdapterList final : public AdapterList {
public:
    DWORD GetAdapters(std::vector<AdapterInfo>* adapters) override {
        std::lock_guard<std::mutex> g(m_lock);
        if (readError != kErrorSuccess) return readError;
        *adapters = m_adapters;
        return kErrorSuccess;
    }
    DWORD LookupNeighbour(DWORD ip, std::array<BYTE, 6>* mac) override {
        std::lock_guard<std::mutex> g(m_lock);
        auto it = m_neighbours.find(ip);
        if (it == m_neighbours.end()) return kErrorNotFound;
        *mac = it->second;
        return kErrorSuccess;
    }

    // Adds (or replaces, by index) an adapter.
    void Put(AdapterInfo adapter) {
        std::lock_guard<std::mutex> g(m_lock);
        auto it = std::find_if(m_adapters.begin(), m_adapters.end(),
                               [&](const AdapterInfo& a) { return a.index == adapter.index; });
        if (it != m_adapters.end()) {
            *it = std::move(adapter);
        } else {
            m_adapters.push_back(std::move(adapter));
        }
        std::sort(m_adapters.begin(), m_adapters.end(),
                  [](const AdapterInfo& a, const AdapterInfo& b) { return a.index < b.index; });
    }
    // Takes the adapter with that index away, as when its device is deleted.
    void Remove(DWORD index) {
        std::lock_guard<std::mutex> g(m_lock);
        std::erase_if(m_adapters, [&](const AdapterInfo& a) { return a.index == index; });
    }
    // Runs `edit` on the adapter with that index; false when there is none.
    template <class Edit>
    bool EditAdapter(DWORD index, Edit edit) {
        std::lock_guard<std::mutex> g(m_lock);
        for (auto& a : m_adapters) {
            if (a.index == index) {
                edit(a);
                return true;
            }
        }
        return false;
    }

    DWORD readError = kErrorSuccess;

private:
    std::mutex m_lock;
    std::vector<AdapterInfo> m_adapters;
    std::map<DWORD, std::array<BYTE, 6>> m_neighbours;
};

class FakeAddressConfig final : public AddressConfig {
public:
    explicit FakeAddressConfig(FakeAdapterList& adapters) : m_adapters(adapters) {}

    DWORD AddIpv4Address(DWORD ifIndex, DWORD address, DWORD mask) override {
        if (PrefixLengthMask(MaskPrefixLength(mask)) != mask) return kErrorInvalidParameter;
        if (writeError != kErrorSuccess) return writeError;
        DWORD rc = kErrorSuccess;
        const bool found = m_adapters.EditAdapter(ifIndex, [&](AdapterInfo& a) {
            for (const auto& x : a.addresses) {
                if (x.address == address) rc = kErrorObjectAlreadyExists;
            }
            if (rc == kErrorSuccess) a.addresses.push_back(AdapterAddress{address, mask, true});
        });
        return found ? rc : kErrorNotFound;
    }
    DWORD DeleteIpv4Addresses(DWORD ifIndex) override {
        if (writeError != kErrorSuccess) return writeError;
        const bool found = m_adapters.EditAdapter(ifIndex, [](AdapterInfo& a) { a.addresses.clear(); });
        return found ? kErrorSuccess : kErrorNotFound;
    }

    DWORD writeError = kErrorSuccess;

private:
    FakeAdapterList& m_adapters;
};

}  // namespace platform::fake
