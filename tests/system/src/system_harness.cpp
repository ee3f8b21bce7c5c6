#include "system/system_harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "platform/machine_root.h"
#include "platform/process.h"
#include "platform/settings_store.h"
#include "platform/user_place.h"
#include "platform/unique_fd.h"
#include "testsupport/command.h"

extern char** environ;

namespace systemtest {

namespace {

constexpr unsigned kServeWaitMs = 15000;
// qelsc's own waits (a start until the dispatcher answers, a stop until the end) are 30 s.
constexpr unsigned kServiceControlMs = 40000;

std::vector<char*> CStrings(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// Starts argv with stdout and stderr into `logPath` (or a pipe end when logFd >= 0), standard input
// from /dev/null and, when `directory` is given, that working folder; -1 on failure.
pid_t SpawnTo(std::vector<std::string> argv, const std::vector<std::string>& env, const std::string& logPath,
              int logFd, const std::string& directory = "") {
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e) envStrings.emplace_back(*e);
    for (const auto& extra : env) {
        const std::string key = extra.substr(0, extra.find('=') + 1);
        std::erase_if(envStrings, [&](const std::string& s) { return s.rfind(key, 0) == 0; });
        envStrings.push_back(extra);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (logFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, logFd, 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    }
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (!directory.empty()) posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    auto args = CStrings(argv);
    auto envp = CStrings(envStrings);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &actions, &attr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return rc == 0 ? pid : -1;
}

bool CanConnect(const char* address, int port) {
    const platform::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return false;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, address, &sa.sin_addr);
    return ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
}

bool WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

}  // namespace

bool WaitUntil(unsigned limitMs, const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

int RunCapture(const std::vector<std::string>& argv, std::string* output, const std::vector<std::string>& env,
               unsigned limitMs) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
    platform::UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
    const pid_t pid = SpawnTo(argv, env, "", writeEnd.Get());
    writeEnd.Reset();
    if (pid < 0) return -1;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    std::string text;
    bool late = false;
    char buf[4096];
    for (;;) {
        int wait = -1;
        if (limitMs > 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            wait = static_cast<int>(std::max<long long>(0, left.count()));
        }
        pollfd p{readEnd.Get(), POLLIN, 0};
        const int ready = ::poll(&p, 1, wait);
        if (ready == 0) {
            // Its output may stay open in a child of its own; the command itself is what ends.
            late = true;
            ::kill(pid, SIGKILL);
            break;
        }
        if (ready < 0 && errno == EINTR) continue;
        const ssize_t n = ready > 0 ? ::read(readEnd.Get(), buf, sizeof buf) : -1;
        if (n > 0) {
            text.append(buf, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (late) text += "\n(" + argv[0] + " did not end within " + std::to_string(limitMs) + " ms; killed)\n";
    if (output != nullptr) *output = std::move(text);
    if (late) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

namespace {

constexpr const char* kClientUserPrefix = "qelc";
constexpr const char* kClientGroup = "qel";

// Client users of harnesses whose process is gone (a killed run).
void RemoveStaleClientUsers() {
    std::vector<std::string> stale;
    ::setpwent();
    while (const passwd* pw = ::getpwent()) {
        const std::string name = pw->pw_name;
        const std::string prefix = kClientUserPrefix;
        if (name.rfind(prefix, 0) != 0 || name.size() == prefix.size()) continue;
        const std::string digits = name.substr(prefix.size());
        if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 9) continue;
        const pid_t pid = static_cast<pid_t>(std::stol(digits));
        if (pid != ::getpid() && ::kill(pid, 0) != 0 && errno == ESRCH) stale.push_back(name);
    }
    ::endpwent();
    for (const auto& name : stale) testsupport::Run({"userdel", name});
}

}  // namespace

long ProcessUid(pid_t pid) {
    std::istringstream in(ReadText("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("Uid:", 0) == 0) return std::strtol(line.c_str() + 4, nullptr, 10);
    }
    return -1;
}

void RemoveStaleNamespaces(const std::string& prefix) {
    DIR* dir = ::opendir("/var/run/netns");
    if (dir == nullptr) return;
    std::vector<std::string> stale;
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name.rfind(prefix, 0) != 0 || name.size() == prefix.size()) continue;
        const std::string digits = name.substr(prefix.size());
        if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 9) continue;
        const pid_t pid = static_cast<pid_t>(std::stol(digits));
        if (pid != ::getpid() && ::kill(pid, 0) != 0 && errno == ESRCH) stale.push_back(name);
    }
    ::closedir(dir);
    for (const auto& name : stale) {
        // Daemons of the service layer are nobody's children: they outlive a killed run inside
        // its namespace, which they would keep alive.
        std::string pids;
        RunCapture({"ip", "netns", "pids", name}, &pids);
        std::istringstream in(pids);
        for (long pid = 0; in >> pid;) {
            if (pid > 1 && pid != ::getpid()) ::kill(static_cast<pid_t>(pid), SIGKILL);
        }
        testsupport::Run({"ip", "netns", "del", name});
    }
}

std::string PcSnapshot::Diff(const PcSnapshot& o) const {
    std::string out;
    if (routes != o.routes) out += "routes before:\n" + routes + "routes after:\n" + o.routes;
    if (addresses != o.addresses)
        out += "addresses before:\n" + addresses + "addresses after:\n" + o.addresses;
    if (resolver != o.resolver) out += "resolver before:\n" + resolver + "resolver after:\n" + o.resolver;
    return out;
}

SystemHarness::SystemHarness(HarnessOptions options)
    : m_options(std::move(options)),
      m_pcName("twpc" + std::to_string(::getpid())),
      m_gwName("twgw" + std::to_string(::getpid())),
      m_dir(std::make_unique<testsupport::TempDir>("qel-system")) {}

SystemHarness::~SystemHarness() { Stop(); }

std::string SystemHarness::Bin(const std::string& program) const {
    return (m_options.binDir.empty() ? testsupport::BinDir() : m_options.binDir) + "/" + program;
}

ScopedMachineRoot::ScopedMachineRoot(const std::string& root) {
    if (const char* old = std::getenv("QEL_ROOT")) m_old = old;
    m_had = std::getenv("QEL_ROOT") != nullptr;
    ::setenv("QEL_ROOT", root.c_str(), 1);
    platform::ResetMachineRoot();
}

ScopedMachineRoot::~ScopedMachineRoot() {
    if (m_had) {
        ::setenv("QEL_ROOT", m_old.c_str(), 1);
    } else {
        ::unsetenv("QEL_ROOT");
    }
    platform::ResetMachineRoot();
}

// Where pc's programs find their install folder.
constexpr const char* kPcClientKey = "Software\\Morvane\\QelClient";

bool SystemHarness::Start(std::string* error) {
    std::string ignored;
    if (error == nullptr) error = &ignored;
    if (!testsupport::IsRoot()) {
        *error = "needs root for network namespaces";
        return false;
    }
    RemoveStaleNamespaces("twpc");
    RemoveStaleNamespaces("twgw");
    for (const char* side : {"/pc", "/gw"}) ::mkdir((m_dir->Path() + side).c_str(), 0755);
    if (m_options.pcRootTmpfsMiB > 0 && !m_pcRootMounted) {
        const std::string size = "size=" + std::to_string(m_options.pcRootTmpfsMiB) + "m,mode=0755";
        if (testsupport::Run({"mount", "-t", "tmpfs", "-o", size, "tmpfs", PcRoot()}) != 0) {
            *error = "cannot mount a tmpfs on " + PcRoot();
            return false;
        }
        m_pcRootMounted = true;
    }
    ::mkdir((PcRoot() + "/etc").c_str(), 0755);
    if (!WriteFile(ResolverFile(), kPcResolver)) {
        *error = "cannot write " + ResolverFile();
        return false;
    }
    if (m_options.clientUser && !MakeClientUser(error)) {
        Stop();
        return false;
    }
    // pc's daemons read once, at their start, where the daily log goes: pc's install folder is
    // named before, so that their lines land beside the client's, where the tests read them.
    {
        const ScopedMachineRoot pcRoot(PcRoot());
        const std::string installDir = platform::DefaultInstallDir();
        const auto store = platform::SettingsStore::Machine();
        if (!platform::MakeDirs(installDir + "/Log", 0755) || !store ||
            store->CreateKey(kPcClientKey) != platform::kRegOk ||
            store->SetString(kPcClientKey, "InstallDir", installDir) != platform::kRegOk) {
            *error = "cannot name pc's install folder " + installDir;
            Stop();
            return false;
        }
    }
    if (BuildNetwork(error) && StartGatewaySide(error) &&
        (m_options.installScript.empty() ? StartDaemons(error) : RunInstallScript(error))) {
        return true;
    }
    Stop();
    return false;
}

bool SystemHarness::MakeClientUser(std::string* error) {
    RemoveStaleClientUsers();
    if (::getgrnam(kClientGroup) == nullptr) {
        // What scripts/install.sh makes; another run may have made it meanwhile.
        testsupport::Run({"groupadd", "--system", kClientGroup});
    }
    const group* qel = ::getgrnam(kClientGroup);
    if (qel == nullptr) {
        *error = std::string("there is no group ") + kClientGroup + " and it cannot be made";
        return false;
    }
    const gid_t qelGid = qel->gr_gid;
    const std::string name = kClientUserPrefix + std::to_string(::getpid());
    if (::getpwnam(name.c_str()) != nullptr) testsupport::Run({"userdel", name});
    // The account files are locked while another run (a harness, the install test) changes them.
    const bool made = WaitUntil(10000, [&] {
        return testsupport::Run({"useradd", "--system", "--user-group", "--no-create-home", "--home-dir",
                                 "/nonexistent", "--shell", "/usr/sbin/nologin", "--groups", kClientGroup,
                                 name}) == 0;
    });
    if (!made) {
        *error = "cannot make the client user " + name;
        return false;
    }
    m_clientUser = name;
    const passwd* pw = ::getpwnam(name.c_str());
    if (pw == nullptr) {
        *error = "the client user " + name + " cannot be looked up";
        return false;
    }
    m_clientUid = pw->pw_uid;
    m_clientGid = pw->pw_gid;
    // The user reaches pc's machine root (not gw's) and has a home and a Qt runtime folder of
    // its own; the daily log's folder is the group's, as install.sh makes it.
    const std::string home = WorkDir() + "/home";
    const std::string install = PcRoot() + "/install";
    const std::string log = install + "/Log";
    const std::string run = PcRoot() + "/run";
    bool ok = ::chmod(WorkDir().c_str(), 0755) == 0 && ::chmod(GwRoot().c_str(), 0700) == 0;
    ok = ok && ::mkdir(home.c_str(), 0700) == 0 && ::chown(home.c_str(), m_clientUid, m_clientGid) == 0;
    ok = ok && ::mkdir(install.c_str(), 0755) == 0 && ::mkdir(log.c_str(), 0770) == 0 &&
         ::chown(log.c_str(), 0, qelGid) == 0 && ::chmod(log.c_str(), 03770) == 0;
    ok = ok && ::mkdir(run.c_str(), 0755) == 0 && ::mkdir(ClientRuntimeDir().c_str(), 0700) == 0 &&
         ::chown(ClientRuntimeDir().c_str(), m_clientUid, m_clientGid) == 0;
    if (!ok) *error = "cannot prepare pc's machine root for " + name + ": " + std::strerror(errno);
    return ok;
}

void SystemHarness::RemoveClientUser() {
    if (m_clientUser.empty()) return;
    // Whatever still runs as the user (a client a failed test left) goes first, or userdel refuses.
    testsupport::Run({"pkill", "-KILL", "-u", std::to_string(m_clientUid)});
    WaitUntil(5000, [&] { return testsupport::Run({"pgrep", "-u", std::to_string(m_clientUid)}) != 0; });
    if (!WaitUntil(10000, [&] { return testsupport::Run({"userdel", m_clientUser}) == 0; }))
        std::fprintf(stderr, "harness: the client user %s could not be removed\n", m_clientUser.c_str());
    m_clientUser.clear();
}

std::string SystemHarness::ClientPlace() const {
    return m_clientUser.empty() ? std::string() : platform::UserPlaceFor("", ClientHome(), "");
}

std::vector<std::string> SystemHarness::AsClient(const std::vector<std::string>& argv) const {
    if (m_clientUser.empty()) return argv;
    std::vector<std::string> full = {"setpriv",
                                     "--reuid=" + std::to_string(m_clientUid),
                                     "--regid=" + std::to_string(m_clientGid),
                                     "--init-groups",
                                     "--inh-caps=-all",
                                     "--bounding-set=-all",
                                     "--no-new-privs",
                                     "--"};
    full.insert(full.end(), argv.begin(), argv.end());
    return full;
}

std::vector<std::string> SystemHarness::ClientEnv(std::vector<std::string> env) const {
    if (m_clientUser.empty()) return env;
    env.push_back("HOME=" + WorkDir() + "/home");
    env.push_back("USER=" + m_clientUser);
    env.push_back("LOGNAME=" + m_clientUser);
    env.push_back("XDG_RUNTIME_DIR=" + ClientRuntimeDir());
    return env;
}

pid_t SystemHarness::StartClientInPc(const std::string& name, const std::vector<std::string>& argv,
                                     std::vector<std::string> env) {
    return StartInPc(name, AsClient(argv), ClientEnv(std::move(env)));
}

int SystemHarness::RunClientInPc(const std::vector<std::string>& argv, std::string* output,
                                 std::vector<std::string> env, unsigned limitMs) const {
    return RunInPc(AsClient(argv), output, ClientEnv(std::move(env)), limitMs);
}

bool SystemHarness::RunInstallScript(std::string* error) {
    const std::string bin = m_options.binDir.empty() ? testsupport::BinDir() : m_options.binDir;
    std::vector<std::string> argv = {m_options.installScript, "--prefix", InstalledPrefix(), "--from", bin};
    if (!m_clientUser.empty()) argv.insert(argv.end(), {"--user", m_clientUser});
    std::string out;
    m_installed = true;  // whatever part of it ran is undone by Stop
    const int rc = RunInPc(argv, &out, {"QEL_ROOT=" + PcRoot()}, kServiceControlMs * 3);
    WriteFile(WorkDir() + "/install.log", out);
    if (rc != 0) {
        *error = "the install script failed (exit " + std::to_string(rc) + "): " + out;
        return false;
    }
    return true;
}

void SystemHarness::RunUninstallScript() {
    if (!m_installed) return;
    m_installed = false;
    const std::string script =
        m_options.installScript.substr(0, m_options.installScript.rfind('/') + 1) + "uninstall.sh";
    std::string out;
    if (RunInPc({script, "--prefix", InstalledPrefix()}, &out, {"QEL_ROOT=" + PcRoot()},
                kServiceControlMs * 3) != 0) {
        std::fprintf(stderr, "harness: the uninstall script failed: %s", out.c_str());
    }
    WriteFile(WorkDir() + "/uninstall.log", out);
    // What a failed uninstall left running: the services' daemons, by their pid files.
    for (const char* stem : {"lunther", "qelmini"}) {
        const long pid =
            std::strtol(ReadText(PcRoot() + "/run/services/" + stem + ".pid").c_str(), nullptr, 10);
        if (pid > 1) ::kill(static_cast<pid_t>(pid), SIGKILL);
    }
}

bool SystemHarness::BuildNetwork(std::string* error) {
    m_pc = std::make_unique<testsupport::NamedNetns>(m_pcName);
    m_gw = std::make_unique<testsupport::NamedNetns>(m_gwName);
    if (!m_pc->Ok() || !m_gw->Ok()) {
        *error = "cannot make the namespaces " + m_pcName + " and " + m_gwName;
        return false;
    }
    const std::string pcNet = std::string(kPcAddress) + "/24";
    const std::string gwNet = std::string(kGwAddress) + "/24";
    const std::string resource = std::string(kResourceAddress) + "/32";
    const std::vector<std::vector<std::string>> steps = {
        {"ip", "-n", m_pcName, "link", "add", "eth0", "type", "veth", "peer", "name", "eth0", "netns",
         m_gwName},
        {"ip", "-n", m_pcName, "addr", "add", pcNet, "dev", "eth0"},
        {"ip", "-n", m_gwName, "addr", "add", gwNet, "dev", "eth0"},
        {"ip", "-n", m_pcName, "link", "set", "eth0", "up"},
        {"ip", "-n", m_gwName, "link", "set", "eth0", "up"},
        {"ip", "-n", m_pcName, "route", "add", "default", "via", kGwAddress},
        {"ip", "-n", m_gwName, "addr", "add", resource, "dev", "lo"},
        {"ip", "netns", "exec", m_gwName, "sysctl", "-q", "-w", "net.ipv4.ip_forward=1"},
    };
    for (const auto& step : steps) {
        if (testsupport::Run(step) != 0) {
            *error = "network setup failed at: " + step[3] + " " + step[4];
            return false;
        }
    }
    if (m_options.proxy && m_options.proxyAddress != kGwAddress) {
        if (testsupport::Run(
                {"ip", "-n", m_gwName, "addr", "add", m_options.proxyAddress + "/24", "dev", "eth0"}) != 0) {
            *error = "network setup failed at: the proxy's address " + m_options.proxyAddress;
            return false;
        }
    }
    return true;
}

bool SystemHarness::StartGatewaySide(std::string* error) {
    if (m_options.resourceHost) {
        if (StartInGw("resource", {Bin("tw_resource_host"), kResourceAddress}) < 0) {
            *error = "cannot start the resource host";
            return false;
        }
        if (!WaitServing(*m_gw, kResourceAddress, kEchoPort, "resource", error)) return false;
    }
    if (m_options.proxy) {
        const std::string conf = WorkDir() + "/tinyproxy.conf";
        WriteFile(conf, "Port " + std::to_string(kProxyPort) + "\nListen " + m_options.proxyAddress +
                            "\nTimeout 600\nMaxClients 50\nAllow 198.51.100.0/24\nLogLevel Info\n");
        if (StartInGw("tinyproxy", {"tinyproxy", "-d", "-c", conf}) < 0) {
            *error = "cannot start tinyproxy";
            return false;
        }
        if (!WaitServing(*m_gw, m_options.proxyAddress.c_str(), kProxyPort, "tinyproxy", error)) return false;
    }
    if (!m_options.gatewayArgv.empty() && StartInGw("gateway", m_options.gatewayArgv) < 0) {
        *error = "cannot start the gateway " + m_options.gatewayArgv[0];
        return false;
    }
    return true;
}

bool SystemHarness::StartService(std::string* error) {
    const std::string pipe = PcRoot() + "/run/NetshsvcPipe";
    ::unlink(pipe.c_str());  // a stopped service's, or the wait below would end at once
    if (StartInPc("lunther", {Bin("Lunther"), "-t"}) < 0) {
        *error = "cannot start Lunther";
        return false;
    }
    return WaitReady("lunther", pipe, error);
}

bool SystemHarness::StartDaemons(std::string* error) {
    if (m_options.driver) {
        if (StartInPc("olvane", {Bin("Olvane"), "--protocol-delay-ms=0"}) < 0) {
            *error = "cannot start Olvane";
            return false;
        }
        if (!WaitReady("olvane", PcRoot() + "/run/ndisfilter", error)) return false;
    }
    if (m_options.service && m_options.serviceLayer) {
        return StartPcService("lunther", "Lunther", Bin("Lunther"), PcRoot() + "/run/NetshsvcPipe", error);
    }
    if (m_options.service) {
        if (StartInPc("lunther", {Bin("Lunther"), "-t"}) < 0) {
            *error = "cannot start Lunther";
            return false;
        }
        if (!WaitReady("lunther", PcRoot() + "/run/NetshsvcPipe", error)) return false;
    }
    return true;
}

// Through the service layer's control program run in pc with pc's machine root, so that the record
// lands in pc's store and the daemon the layer spawns lives in pc's namespace.
bool SystemHarness::StartPcService(const std::string& name, const std::string& service,
                                   const std::string& program, const std::string& readyPath,
                                   std::string* error) {
    const std::vector<std::string> env = {"QEL_ROOT=" + PcRoot()};
    std::string out;
    if (RunInPc({Bin("qelsc"), "create", service, program}, &out, env, kServiceControlMs) != 0) {
        *error = "cannot install the service " + service + " in pc: " + out;
        return false;
    }
    // From here on Stop removes it, whether or not it starts.
    m_processes.push_back({name, -1, service});
    if (RunInPc({Bin("qelsc"), "start", service}, &out, env, kServiceControlMs) != 0) {
        *error = "cannot start the service " + service + " in pc: " + out;
        return false;
    }
    // The layer's pid file (its name is the service's in lower case) names the daemon.
    std::string stem = service;
    for (char& c : stem) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string text = ReadText(PcRoot() + "/run/services/" + stem + ".pid");
    const long pid = std::strtol(text.c_str(), nullptr, 10);
    if (pid <= 0) {
        *error = "the service " + service + " runs without a pid file";
        return false;
    }
    m_processes.back().pid = static_cast<pid_t>(pid);
    return WaitReady(name, readyPath, error);
}

void SystemHarness::StopPcService(const Process& p) {
    std::string out;
    if (RunInPc({Bin("qelsc"), "delete", p.service}, &out, {"QEL_ROOT=" + PcRoot()}, kServiceControlMs) != 0)
        std::fprintf(stderr, "harness: removing the service %s failed: %s", p.service.c_str(), out.c_str());
    // Not our child: gone when no process of that pid is left.
    if (p.pid > 0 && WaitUntil(5000, [&] { return ::kill(p.pid, 0) != 0; })) return;
    if (p.pid > 0) ::kill(p.pid, SIGKILL);
}

// A process that died ends the wait at once instead of at the bound.
bool SystemHarness::WaitFor(const std::string& name, const std::function<bool()>& ready, std::string* error) {
    bool dead = false;
    const bool up = WaitUntil(kServeWaitMs, [&] {
        if (!Alive(name)) return dead = true;
        return ready();
    });
    if (!up || dead) {
        *error =
            name + (dead ? " ended" : " did not start serving") + " (see " + WorkDir() + "/" + name + ".log)";
        return false;
    }
    return true;
}

bool SystemHarness::WaitReady(const std::string& name, const std::string& path, std::string* error) {
    struct stat st {};
    return WaitFor(
        name, [&] { return ::stat(path.c_str(), &st) == 0; }, error);
}

bool SystemHarness::WaitServing(const testsupport::NamedNetns& ns, const char* address, int port,
                                const std::string& name, std::string* error) {
    bool up = false;
    ns.RunInside([&] {
        up = WaitFor(
            name, [&] { return CanConnect(address, port); }, error);
    });
    return up;
}

pid_t SystemHarness::StartIn(const testsupport::NamedNetns& ns, const std::string& root,
                             const std::string& name, const std::vector<std::string>& argv,
                             const std::vector<std::string>& env) {
    std::vector<std::string> full = {"ip", "netns", "exec", ns.Name()};
    full.insert(full.end(), argv.begin(), argv.end());
    std::vector<std::string> allEnv = {"QEL_ROOT=" + root};
    allEnv.insert(allEnv.end(), env.begin(), env.end());
    // In its side's machine root, so that whatever a program writes beside itself stays there.
    const pid_t pid = SpawnTo(full, allEnv, WorkDir() + "/" + name + ".log", -1, root);
    if (pid > 0) m_processes.push_back({name, pid, ""});
    return pid;
}

pid_t SystemHarness::StartInPc(const std::string& name, const std::vector<std::string>& argv,
                               const std::vector<std::string>& env) {
    return m_pc ? StartIn(*m_pc, PcRoot(), name, argv, env) : -1;
}

pid_t SystemHarness::StartInGw(const std::string& name, const std::vector<std::string>& argv,
                               const std::vector<std::string>& env) {
    return m_gw ? StartIn(*m_gw, GwRoot(), name, argv, env) : -1;
}

pid_t SystemHarness::Pid(const std::string& name) const {
    for (const auto& p : m_processes) {
        if (p.name == name) return p.pid;
    }
    return -1;
}

bool SystemHarness::Alive(const std::string& name) const {
    const pid_t pid = Pid(name);
    if (pid <= 0) return false;
    for (const auto& p : m_processes) {
        if (p.name == name && !p.service.empty()) return ::kill(pid, 0) == 0;
    }
    // Our own child: a zombie counts as gone.
    int status = 0;
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) {
        auto& self = const_cast<SystemHarness&>(*this);
        for (auto& p : self.m_processes) {
            if (p.pid == pid) p.pid = -1;
        }
        return false;
    }
    return r == 0;
}

void SystemHarness::StopProcess(const std::string& name, int signal, unsigned graceMs) {
    for (auto it = m_processes.begin(); it != m_processes.end(); ++it) {
        if (it->name != name) continue;
        if (!it->service.empty()) {
            StopPcService(*it);
        } else if (it->pid > 0) {
            testsupport::StopProcess(it->pid, signal, signal == SIGKILL ? 0 : graceMs);
        }
        m_processes.erase(it);
        return;
    }
}

void SystemHarness::Stop() {
    while (!m_processes.empty()) {
        const Process p = m_processes.back();
        m_processes.pop_back();
        if (!p.service.empty()) {
            StopPcService(p);
        } else if (p.pid > 0) {
            testsupport::StopProcess(p.pid, SIGTERM, 5000);
        }
    }
    if (m_pc) RunUninstallScript();
    m_pc.reset();
    m_gw.reset();
    if (m_pcRootMounted) {
        testsupport::Run({"umount", "-l", PcRoot()});
        m_pcRootMounted = false;
    }
    RemoveClientUser();
}

int SystemHarness::RunInPc(const std::vector<std::string>& argv, std::string* output,
                           const std::vector<std::string>& env, unsigned limitMs) const {
    std::vector<std::string> full = {"ip", "netns", "exec", m_pcName};
    full.insert(full.end(), argv.begin(), argv.end());
    return RunCapture(full, output, env, limitMs);
}

int SystemHarness::RunInGw(const std::vector<std::string>& argv, std::string* output) const {
    std::vector<std::string> full = {"ip", "netns", "exec", m_gwName};
    full.insert(full.end(), argv.begin(), argv.end());
    return RunCapture(full, output);
}

PcSnapshot SystemHarness::TakePcSnapshot() const {
    PcSnapshot s;
    std::string routes4, routes6, addresses4, addresses6;
    // A new link's IPv6 address is tentative for its first second, and its local route comes when
    // it is not any more: the look waits for pc's links to settle (bounded).
    WaitUntil(5000, [&] {
        addresses6.clear();
        RunCapture({"ip", "-n", m_pcName, "-6", "-o", "addr", "show"}, &addresses6);
        return addresses6.find(" tentative") == std::string::npos;
    });
    RunCapture({"ip", "-n", m_pcName, "-4", "route", "show", "table", "all"}, &routes4);
    RunCapture({"ip", "-n", m_pcName, "-6", "route", "show", "table", "all"}, &routes6);
    RunCapture({"ip", "-n", m_pcName, "-4", "-o", "addr", "show"}, &addresses4);
    // Lifetimes count down between two looks; they are not part of the configuration.
    static const std::regex lifetimes(R"(\s*\\?\s*valid_lft \S+ preferred_lft \S+)");
    static const std::regex expires(R"( expires \S+)");
    s.routes = routes4 + std::regex_replace(routes6, expires, "");
    s.addresses = std::regex_replace(addresses4 + addresses6, lifetimes, "");
    s.resolver = ReadText(ResolverFile());
    return s;
}

}  // namespace systemtest
