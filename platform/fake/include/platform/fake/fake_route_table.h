// An in-memory forwarding table with the rules of the machine's (route_table.h): a route is
// identified by destination, mask, interface and next hop; creating a second route with the same
// prefix and metric is refused. Tests fill `rows` directly or through the calls, and make reads or
// writes fail with `readError` / `writeError` / `deleteError`. Thread-safe.
#pragma once
#include <algorithm>
#include <mutex>
#include <vector>

#include "platform/route_table.h"

namespace platform::fake {

class FakeRouteTable final : public RouteTable {
public:
    DWORD ReadForwardRows(std::vector<MIB_IPFORWARDROW>* rows) override {
        std::lock_guard<std::mutex> g(m_lock);
        if (readError != kErrorSuccess) return readError;
        *rows = m_rows;
        return kErrorSuccess;
    }
    DWORD CreateIpForwardEntry(const MIB_IPFORWARDROW* row) override {
        std::lock_guard<std::mutex> g(m_lock);
        if (row == nullptr || !ValidMask(row->dwForwardMask)) return kErrorInvalidParameter;
        if (writeError != kErrorSuccess) return writeError;
        for (const auto& r : m_rows) {
            if (r.dwForwardDest == row->dwForwardDest && r.dwForwardMask == row->dwForwardMask &&
                r.dwForwardMetric1 == row->dwForwardMetric1) {
                return kErrorObjectAlreadyExists;
            }
        }
        m_rows.push_back(*row);
        return kErrorSuccess;
    }
    DWORD DeleteIpForwardEntry(const MIB_IPFORWARDROW* row) override {
        std::lock_guard<std::mutex> g(m_lock);
        if (row == nullptr || !ValidMask(row->dwForwardMask)) return kErrorInvalidParameter;
        if (writeError != kErrorSuccess) return writeError;
        if (deleteError != kErrorSuccess) return deleteError;
        return EraseLocked(*row);
    }
    DWORD SetIpForwardEntry(const MIB_IPFORWARDROW* row) override {
        {
            std::lock_guard<std::mutex> g(m_lock);
            if (row == nullptr || !ValidMask(row->dwForwardMask)) return kErrorInvalidParameter;
            if (writeError != kErrorSuccess) return writeError;
            if (row->dwForwardType == MIB_IPROUTE_TYPE_INVALID) return EraseLocked(*row);
            auto it = FindLocked(*row);
            if (it != m_rows.end()) {
                it->dwForwardMetric1 = row->dwForwardMetric1;
                return kErrorSuccess;
            }
        }
        return CreateIpForwardEntry(row);
    }

    std::vector<MIB_IPFORWARDROW> Rows() const {
        std::lock_guard<std::mutex> g(m_lock);
        return m_rows;
    }
    void SetRows(std::vector<MIB_IPFORWARDROW> rows) {
        std::lock_guard<std::mutex> g(m_lock);
        m_rows = std::move(rows);
    }

    DWORD readError = kErrorSuccess;
    DWORD writeError = kErrorSuccess;
    DWORD deleteError = kErrorSuccess;  // deletes only; writing a row as invalid still works

private:
    static bool ValidMask(DWORD mask) { return PrefixLengthMask(MaskPrefixLength(mask)) == mask; }
    std::vector<MIB_IPFORWARDROW>::iterator FindLocked(const MIB_IPFORWARDROW& row) {
        return std::find_if(m_rows.begin(), m_rows.end(), [&](const MIB_IPFORWARDROW& r) {
            return r.dwForwardDest == row.dwForwardDest && r.dwForwardMask == row.dwForwardMask &&
                   r.dwForwardIfIndex == row.dwForwardIfIndex && r.dwForwardNextHop == row.dwForwardNextHop;
        });
    }
    DWORD EraseLocked(const MIB_IPFORWARDROW& row) {
        auto it = FindLocked(row);
        if (it == m_rows.end()) return kErrorNotFound;
        m_rows.erase(it);
        return kErrorSuccess;
    }

    mutable std::mutex m_lock;
    std::vector<MIB_IPFORWARDROW> m_rows;
};

}  // namespace platform::fake
