// The suite on two network namespaces, for system tests, the demo and the benchmark.
//
//   pc namespace                                   gw namespace
//   Olvane (driver daemon), Lunther (service),     test gateway (when given), tinyproxy,
//   the client program                             the resource host (TCP echo and sink; ping)
//   eth0 198.51.100.2/24  <------- veth ------->   eth0 198.51.100.1/24
//   default route via 198.51.100.1                 lo 203.0.113.10/32 (the resource host)
//
// Each side has its own machine root (QEL_ROOT) under a temporary folder; pc's resolver file is
// <pc root>/etc/resolv.conf. Namespace names carry the process id, so several harnesses run side
// by side; namespaces left by a process that died are removed by the next Start. Stop (also run by
// the destructor, so a failing test tears down too) stops every process it started, in reverse
// order, and removes both namespaces. Needs root.
//
// Thread-safety: one thread drives a harness.
#pragma once
#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "testsupport/netns.h"
#include "testsupport/temp_dir.h"

namespace systemtest {

constexpr const char* kPcAddress = "198.51.100.2";
constexpr const char* kGwAddress = "198.51.100.1";
constexpr const char* kResourceAddress = "203.0.113.10";
constexpr const char* kResourceNetwork = "203.0.113.0/24";
constexpr int kProxyPort = 8888;
constexpr int kEchoPort = 7;
constexpr int kSinkPort = 9;
// The resolver file pc starts with.
constexpr const char* kPcResolver = "nameserver 198.51.100.53\nsearch pc.example\n";

struct HarnessOptions {
    // The test gateway's command line (program path first), run in gw with gw's machine root;
    // empty: no gateway.
    std::vector<std::string> gatewayArgv;
    bool proxy = true;  // tinyproxy on 198.51.100.1:8888, CONNECT allowed to any port
    // The address tinyproxy listens on; another than the gateway's is added to gw's eth0 (on pc's
    // subnet, so the proxy is a neighbour of pc's as the gateway is).
    std::string proxyAddress = kGwAddress;
    bool resourceHost = true;  // our echo (port 7) and sink (port 9) on 203.0.113.10
    bool driver = true;        // Olvane in pc
    bool service = true;       // Lunther in pc (console mode)
    // Lunther installed and started through the service layer of pc's machine root instead, as
    // the GUI client expects to find it (it asks the service layer whether the service runs);
    // stopped and removed again by Stop. Needs qelsc in binDir.
    bool serviceLayer = false;
    std::string binDir;  // where Olvane, Lunther and the resource host are; empty: BinDir()
    // The clients run as an unprivileged member of the client group "qel", as on a machine set up
    // by scripts/install.sh: the harness makes a system user of its own ("qelc" + pid, in "qel",
    // which it creates when missing and keeps), gives it a home and Qt runtime folder, makes pc's
    // machine root reachable for it and the install folder's Log folder writable for the group
    // (0770 + setgid + sticky, root:qel), and removes the user in Stop; a user a killed run left
    // is removed by the next Start.
    bool clientUser = false;
    // Non-empty: pc is set up by this install script (scripts/install.sh) instead, run in pc with
    // pc's machine root into the prefix InstalledPrefix(), from binDir, with the client user (when
    // there is one) as its --user; Stop runs the uninstall script next to it. Olvane and Lunther
    // then run as the services the install registered and started.
    std::string installScript;
    // > 0: pc's machine root is a tmpfs of this many MiB, a disk that a test can fill.
    unsigned pcRootTmpfsMiB = 0;
};

// What of pc's network state a session may change and must put back.
struct PcSnapshot {
    std::string routes;     // `ip -4 route show table all`, then `ip -6 route show table all`
    std::string addresses;  // one line per IPv4 address, then per IPv6 address, lifetimes left out
    std::string resolver;   // the resolver file's bytes
    bool operator==(const PcSnapshot& o) const {
        return routes == o.routes && addresses == o.addresses && resolver == o.resolver;
    }
    // The parts that differ, for a failure message.
    std::string Diff(const PcSnapshot& other) const;
};

// This process's machine root switched to another one for the lifetime of the object: the
// settings store of the other machine opens as that machine's own programs open it. One thread
// drives a harness, and nothing else of this process reads the machine root meanwhile.
class ScopedMachineRoot {
public:
    explicit ScopedMachineRoot(const std::string& root);
    ~ScopedMachineRoot();
    ScopedMachineRoot(const ScopedMachineRoot&) = delete;
    ScopedMachineRoot& operator=(const ScopedMachineRoot&) = delete;

private:
    std::string m_old;
    bool m_had = false;
};

class SystemHarness {
public:
    explicit SystemHarness(HarnessOptions options = {});
    ~SystemHarness();
    SystemHarness(const SystemHarness&) = delete;
    SystemHarness& operator=(const SystemHarness&) = delete;

    // Builds the namespaces and starts the processes, each waited for until it serves. False with
    // the reason in *error; what was started is stopped again.
    bool Start(std::string* error);
    // Stops everything and removes the namespaces. Safe to call twice.
    void Stop();

    // Starts a program in pc (with pc's machine root) or gw; the harness stops it in Stop. -1 on
    // failure.
    pid_t StartInPc(const std::string& name, const std::vector<std::string>& argv,
                    const std::vector<std::string>& env = {});
    pid_t StartInGw(const std::string& name, const std::vector<std::string>& argv,
                    const std::vector<std::string>& env = {});
    // Stops one started process (SIGTERM, then SIGKILL after `graceMs`), or kills it with `signal`
    // at once when `signal` is SIGKILL. Unknown names are ignored.
    void StopProcess(const std::string& name, int signal = 15, unsigned graceMs = 5000);
    bool Alive(const std::string& name) const;
    // Starts the service Lunther again in console mode after StopProcess("lunther"), waited for
    // until its pipe is there. False with the reason in *error.
    bool StartService(std::string* error);
    pid_t Pid(const std::string& name) const;

    // Clients: started in pc as the client user when the options ask for one (see clientUser),
    // else as root like StartInPc and RunInPc. Their environment gets HOME and XDG_RUNTIME_DIR
    // of the client user.
    pid_t StartClientInPc(const std::string& name, const std::vector<std::string>& argv,
                          std::vector<std::string> env = {});
    int RunClientInPc(const std::vector<std::string>& argv, std::string* output = nullptr,
                      std::vector<std::string> env = {}, unsigned limitMs = 0) const;
    // The client user's name; empty when the clients run as root.
    const std::string& ClientUser() const { return m_clientUser; }
    // Where installScript installs the programs.
    std::string InstalledPrefix() const { return PcRoot() + "/opt"; }
    // The uid clients run as (0: root).
    uid_t ClientUid() const { return m_clientUser.empty() ? 0 : m_clientUid; }
    gid_t ClientGid() const { return m_clientUser.empty() ? 0 : m_clientGid; }
    // The client user's home (HOME of its clients) and its own place in it (where its settings,
    // history, crash reports and route file go); empty when the clients run as root.
    std::string ClientHome() const { return m_clientUser.empty() ? std::string() : WorkDir() + "/home"; }
    std::string ClientPlace() const;
    // The folder the GUI client's Qt runtime goes to (owned by the client's user).
    std::string ClientRuntimeDir() const { return PcRoot() + "/run/gui-runtime"; }

    // Runs a command to its end inside a namespace, with `env` ("NAME=value") added to ours; its
    // exit code (-1 when it could not run, or was killed after `limitMs` when that is not 0).
    int RunInPc(const std::vector<std::string>& argv, std::string* output = nullptr,
                const std::vector<std::string>& env = {}, unsigned limitMs = 0) const;
    int RunInGw(const std::vector<std::string>& argv, std::string* output = nullptr) const;

    PcSnapshot TakePcSnapshot() const;

    // Runs `fn` on a thread inside pc's or gw's namespace (sockets it makes stay there).
    bool RunInsidePc(const std::function<void()>& fn) const { return m_pc && m_pc->RunInside(fn); }
    bool RunInsideGw(const std::function<void()>& fn) const { return m_gw && m_gw->RunInside(fn); }

    const std::string& PcNs() const { return m_pcName; }
    const std::string& GwNs() const { return m_gwName; }
    std::string PcRoot() const { return m_dir->Path() + "/pc"; }
    std::string GwRoot() const { return m_dir->Path() + "/gw"; }
    std::string WorkDir() const { return m_dir->Path(); }
    std::string ResolverFile() const { return PcRoot() + "/etc/resolv.conf"; }

    const HarnessOptions& Options() const { return m_options; }

private:
    struct Process {
        std::string name;
        pid_t pid;
        std::string service;  // non-empty: a service of pc's service layer, not our child
    };
    bool BuildNetwork(std::string* error);
    bool StartDaemons(std::string* error);
    bool StartPcService(const std::string& name, const std::string& service, const std::string& program,
                        const std::string& readyPath, std::string* error);
    void StopPcService(const Process& p);
    bool StartGatewaySide(std::string* error);
    bool MakeClientUser(std::string* error);
    bool RunInstallScript(std::string* error);
    void RunUninstallScript();
    void RemoveClientUser();
    std::vector<std::string> AsClient(const std::vector<std::string>& argv) const;
    std::vector<std::string> ClientEnv(std::vector<std::string> env) const;
    pid_t StartIn(const testsupport::NamedNetns& ns, const std::string& root, const std::string& name,
                  const std::vector<std::string>& argv, const std::vector<std::string>& env);
    bool WaitFor(const std::string& name, const std::function<bool()>& ready, std::string* error);
    bool WaitReady(const std::string& name, const std::string& path, std::string* error);
    bool WaitServing(const testsupport::NamedNetns& ns, const char* address, int port,
                     const std::string& name, std::string* error);
    std::string Bin(const std::string& program) const;

    HarnessOptions m_options;
    bool m_pcRootMounted = false;
    std::string m_pcName, m_gwName;
    std::unique_ptr<testsupport::TempDir> m_dir;
    std::unique_ptr<testsupport::NamedNetns> m_pc, m_gw;
    std::vector<Process> m_processes;
    bool m_installed = false;  // installScript ran: Stop runs the uninstall
    std::string m_clientUser;  // made by this harness; empty: none
    uid_t m_clientUid = 0;
    gid_t m_clientGid = 0;
};

// Runs argv (no shell) to its end and returns its exit code, with its standard output (and
// error) in *output when given. `env` ("NAME=value") is added to our environment. -1 when it could
// not run, or when it ran longer than `limitMs` (0: no bound) and was killed (*output says so).
int RunCapture(const std::vector<std::string>& argv, std::string* output,
               const std::vector<std::string>& env = {}, unsigned limitMs = 0);

// Removes namespaces named by `prefix` + pid whose process is gone (left by a killed run).
void RemoveStaleNamespaces(const std::string& prefix);

// Polls `done` every 20 ms until it holds or `limitMs` passed; its last answer.
bool WaitUntil(unsigned limitMs, const std::function<bool()>& done);
// The real uid of process `pid` (from /proc), -1 when it cannot be read.
long ProcessUid(pid_t pid);
// Bytes of a file, empty when it cannot be read.
std::string ReadText(const std::string& path);

}  // namespace systemtest
