#include "testsupport/netns.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <thread>

#include "testsupport/command.h"

namespace testsupport {

NetnsScope::NetnsScope() {
    m_orig.Reset(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC));
    m_ok = m_orig.Valid() && ::unshare(CLONE_NEWNET) == 0;
    if (m_ok) Run({"ip", "link", "set", "lo", "up"});
}

NetnsScope::~NetnsScope() {
    if (m_ok) ::setns(m_orig.Get(), CLONE_NEWNET);
}

NamedNetns::NamedNetns(std::string name) : m_name(std::move(name)) {
    m_ok = Run({"ip", "netns", "add", m_name}) == 0;
    if (m_ok) Run({"ip", "-n", m_name, "link", "set", "lo", "up"});
}

NamedNetns::~NamedNetns() {
    if (m_ok) Run({"ip", "netns", "del", m_name});
}

pid_t NamedNetns::Spawn(const std::vector<std::string>& argv, const platform::SpawnOptions& options) const {
    std::vector<std::string> full = {"ip", "netns", "exec", m_name};
    full.insert(full.end(), argv.begin(), argv.end());
    return platform::Spawn(full, options);
}

bool NamedNetns::RunInside(const std::function<void()>& fn) const {
    bool joined = false;
    std::thread t([&] {
        const platform::UniqueFd fd(::open(("/var/run/netns/" + m_name).c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd) return;
        joined = ::setns(fd.Get(), CLONE_NEWNET) == 0;
        if (joined) fn();
    });
    t.join();
    return joined;
}

std::string OlvaneInNetns::Unavailable() {
    if (!IsRoot()) return "needs root for a network namespace and a TAP device";
    if (::access((BinDir() + "/Olvane").c_str(), X_OK) != 0) return "the Olvane daemon is not built";
    return {};
}

OlvaneInNetns::OlvaneInNetns(const std::vector<std::string>& args) {
    if (!m_ns.Ok()) return;
    std::vector<std::string> argv = {BinDir() + "/Olvane", "--protocol-delay-ms=0"};
    argv.insert(argv.end(), args.begin(), args.end());
    m_pid = platform::Spawn(argv, platform::SpawnOptions{});
}

OlvaneInNetns::~OlvaneInNetns() { StopProcess(m_pid); }

}  // namespace testsupport
