// An in-memory resolver: one list of name servers, the first change backs it up and Restore puts
// it back, as the machine's resolver does. `calls` records each change ("set tun0 2", "add tun0",
// "remove tun0", "restore"); `changeError` makes changes fail. Thread-safe.
#pragma once
#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "platform/resolver.h"

namespace platform::fake {

class FakeResolver final : public Resolver {
public:
    DWORD GetNameServers(std::vector<DWORD>* servers) override {
        std::lock_guard<std::mutex> g(m_lock);
        *servers = m_servers;
        return kErrorSuccess;
    }
    DWORD SetNameServers(const std::string& iface, const std::vector<DWORD>& servers) override {
        std::lock_guard<std::mutex> g(m_lock);
        m_calls.push_back("set " + iface + " " + std::to_string(servers.size()));
        if (!BeginChange(iface, servers)) return m_rc;
        m_servers = servers;
        return kErrorSuccess;
    }
    DWORD AddNameServer(const std::string& iface, DWORD server) override {
        std::lock_guard<std::mutex> g(m_lock);
        m_calls.push_back("add " + iface);
        if (!BeginChange(iface, {server})) return m_rc;
        if (std::find(m_servers.begin(), m_servers.end(), server) == m_servers.end())
            m_servers.push_back(server);
        return kErrorSuccess;
    }
    DWORD RemoveNameServer(const std::string& iface, DWORD server) override {
        std::lock_guard<std::mutex> g(m_lock);
        m_calls.push_back("remove " + iface);
        if (!BeginChange(iface, {server})) return m_rc;
        m_servers.erase(std::remove(m_servers.begin(), m_servers.end(), server), m_servers.end());
        return kErrorSuccess;
    }
    DWORD Restore() override {
        std::lock_guard<std::mutex> g(m_lock);
        m_calls.push_back("restore");
        if (m_restoreRc != kErrorSuccess) return m_restoreRc;
        if (m_backedUp) m_servers = m_backup;
        m_backedUp = false;
        return kErrorSuccess;
    }

    void SetMachineServers(std::vector<DWORD> servers) {
        std::lock_guard<std::mutex> g(m_lock);
        m_servers = std::move(servers);
    }
    std::vector<std::string> Calls() const {
        std::lock_guard<std::mutex> g(m_lock);
        return m_calls;
    }
    bool Changed() const {
        std::lock_guard<std::mutex> g(m_lock);
        return m_backedUp;
    }
    void FailChanges(DWORD rc) {
        std::lock_guard<std::mutex> g(m_lock);
        m_failRc = rc;
    }
    // Restore answers `rc` and changes nothing while it is not success.
    void FailRestore(DWORD rc) {
        std::lock_guard<std::mutex> g(m_lock);
        m_restoreRc = rc;
    }

private:
    bool BeginChange(const std::string& iface, const std::vector<DWORD>& servers) {
        m_rc = m_failRc;
        if (m_rc == kErrorSuccess && (!ValidInterfaceName(iface) || servers.size() > kMaxNameServers ||
                                      std::count(servers.begin(), servers.end(), 0u) > 0)) {
            m_rc = kErrorInvalidParameter;
        }
        if (m_rc != kErrorSuccess) return false;
        if (!m_backedUp) m_backup = m_servers;
        m_backedUp = true;
        return true;
    }

    mutable std::mutex m_lock;
    std::vector<DWORD> m_servers, m_backup;
    bool m_backedUp = false;
    DWORD m_failRc = kErrorSuccess, m_rc = kErrorSuccess;
    DWORD m_restoreRc = kErrorSuccess;
    std::vector<std::string> m_calls;
};

}  // namespace platform::fake
