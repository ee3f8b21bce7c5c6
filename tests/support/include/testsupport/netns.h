// Network namespaces for tests, so that links, addresses and routes stay out of the machine's own.
#pragma once
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/unique_fd.h"

namespace testsupport {

// Moves the calling thread (and what it starts afterwards) into a fresh, unnamed namespace with
// lo up; the destructor moves it back and the namespace disappears with its interfaces.
class NetnsScope {
public:
    NetnsScope();
    ~NetnsScope();
    NetnsScope(const NetnsScope&) = delete;
    NetnsScope& operator=(const NetnsScope&) = delete;
    bool Ok() const { return m_ok; }

private:
    platform::UniqueFd m_orig;
    bool m_ok = false;
};

// A named namespace ("ip netns add"), lo up, deleted by the destructor.
class NamedNetns {
public:
    explicit NamedNetns(std::string name);
    ~NamedNetns();
    NamedNetns(const NamedNetns&) = delete;
    NamedNetns& operator=(const NamedNetns&) = delete;
    bool Ok() const { return m_ok; }
    const std::string& Name() const { return m_name; }
    // Starts argv inside the namespace ("ip netns exec").
    pid_t Spawn(const std::vector<std::string>& argv, const platform::SpawnOptions& options = {}) const;
    // Runs `fn` on a thread that joined the namespace (sockets made there stay in it); false when
    // the thread could not join it.
    bool RunInside(const std::function<void()>& fn) const;

private:
    std::string m_name;
    bool m_ok = false;
};

// The Olvane daemon started with `args` (after "--protocol-delay-ms=0") in a fresh namespace the
// calling thread enters first; the destructor stops the daemon, then leaves the namespace.
class OlvaneInNetns {
public:
    // Why the daemon cannot run here (not root, or not built), for the test's skip; empty when it can.
    static std::string Unavailable();
    explicit OlvaneInNetns(const std::vector<std::string>& args);
    ~OlvaneInNetns();
    OlvaneInNetns(const OlvaneInNetns&) = delete;
    OlvaneInNetns& operator=(const OlvaneInNetns&) = delete;
    bool NamespaceOk() const { return m_ns.Ok(); }
    // The daemon's pid; <= 0 when it did not start (or the namespace failed).
    pid_t Pid() const { return m_pid; }

private:
    NetnsScope m_ns;
    pid_t m_pid = -1;
};

}  // namespace testsupport
