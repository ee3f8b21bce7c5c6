#include "platform/client_settings.h"
#include "system/tunnel_rig.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/machine_root.h"
#include "platform/settings_store.h"
#include "platform/unique_fd.h"
#include "tamberk/ssl_certificate_manager.h"
#include "testsupport/command.h"
#include "testsupport/net.h"

namespace systemtest {

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// The byte at `offset` of the echo pattern: cheap, and a shifted or repeated block shows.
inline unsigned char PatternByte(std::uint64_t offset) {
    std::uint64_t x = offset / 8 * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull;
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 32;
    return static_cast<unsigned char>(x >> (8 * (offset % 8)));
}

void FillPattern(std::uint64_t offset, unsigned char* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = PatternByte(offset + i);
}

// A TCP connection from pc to to:port with TCP_NODELAY and time-outs of `limitMs`.
platform::UniqueFd ConnectFromPc(const SystemHarness& h, const std::string& to, int port, unsigned limitMs,
                                 std::string* error) {
    platform::UniqueFd fd;
    h.RunInsidePc([&] { fd.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)); });
    if (!fd) {
        *error = "no socket in pc";
        return fd;
    }
    const int on = 1;
    ::setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    timeval tv{static_cast<time_t>(limitMs / 1000), static_cast<suseconds_t>(limitMs % 1000 * 1000)};
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    if (inet_pton(AF_INET, to.c_str(), &sa.sin_addr) != 1 ||
        ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        *error = "cannot connect to " + to + ":" + std::to_string(port) + ": " + std::strerror(errno);
        fd.Reset();
    }
    return fd;
}

using platform::client_settings::kClientKey;
// A second start hands its request over and ends; the running client answers within seconds.
constexpr unsigned kSecondStartMs = 20000;

std::string Scrambled(const std::string& plain) {
    char* s = TwSslCertificateManager::Encrypt(plain.c_str());
    if (s == nullptr) return {};
    std::string out(s);
    delete[] s;
    return out;
}

bool CopyProgram(const std::string& from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    out << in.rdbuf();
    out.close();
    return in.good() && out.good() && ::chmod(to.c_str(), 0755) == 0;
}

}  // namespace

double ProcessCpuSeconds(pid_t pid) {
    if (pid <= 0) return 0;
    const std::string stat = ReadText("/proc/" + std::to_string(pid) + "/stat");
    // "pid (comm) state ppid ...": fields after the comm's closing parenthesis; utime and stime are
    // the 14th and 15th fields of the line.
    const auto close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream in(stat.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

TunnelRig::TunnelRig(GatewaySetup gateway, HarnessOptions harness)
    : m_gateway(std::move(gateway)), m_harness(std::move(harness)) {}

TunnelRig::~TunnelRig() { Stop(); }

bool TunnelRig::Start(std::string* error) {
    std::string ignored;
    if (error == nullptr) error = &ignored;
    if (!m_harness.Start(error)) return false;
    if (m_gateway.listen != kGwAddress &&
        m_harness.RunInGw({"ip", "addr", "add", m_gateway.listen + "/32", "dev", "lo"}) != 0) {
        *error = "cannot put the gateway's address " + m_gateway.listen + " on gw";
    } else if (StartGateway(error)) {
        return true;
    }
    m_harness.Stop();
    return false;
}

bool TunnelRig::WriteGatewayConfig(std::string* error) {
    std::ostringstream ini;
    ini << "[gateway]\n"
        << "listen = " << m_gateway.listen << "\nport = " << kGatewayPort << "\n"
        << "state_dir = " << m_harness.GwRoot() << "/gateway-state\n"
        << "dns1 = " << kTunnelDns
        << "\n"
        // Through the gateway's device address: the client answers ARP only inside the virtual
        // subnet, so a route without a next hop would leave pc asking for the resource host itself.
        << "route = " << (m_gateway.fullTunnel ? "0.0.0.0/0.0.0.0" : "203.0.113.0/255.255.255.0") << " via "
        << kGwDeviceAddress << "\n"
        << "policy = policy allow out all 0 0 0.0.0.0/0.0.0.0 x y\n"
        << "device = tun:" << kGwDevice << "\n"
        << "device_address = " << kGwDeviceAddress << "/255.254.0.0\n"
        << "keepalive_interval = " << m_gateway.keepAliveSeconds << "\n"
        << "keepalive_answer = " << (m_gateway.answerKeepAlive ? "yes" : "no") << "\n"
        << "forced_logoff_after = " << m_gateway.forcedLogoffAfter << "\n";
    for (const auto& line : m_gateway.extra) ini << line << "\n";
    ini << "[user " << kUser << "]\npassword = " << kPassword << "\n";
    if (!m_gateway.fixedIp.empty()) ini << "ip = " << m_gateway.fixedIp << "\n";
    const std::string path = m_harness.WorkDir() + "/gateway.ini";
    std::ofstream out(path, std::ios::trunc);
    out << ini.str();
    if (!out) *error = "cannot write " + path;
    ::chmod(path.c_str(), 0600);
    return static_cast<bool>(out);
}

bool TunnelRig::StartGateway(std::string* error) {
    if (!WriteGatewayConfig(error)) return false;
    const std::string program = testsupport::BinDir() + "/qel_test_gateway";
    if (!FileExists(program)) {
        *error = program + " is not built";
        return false;
    }
    // Each start logs into a file of its own, so a wait reads only this start's lines.
    const std::string name = "gateway";
    const std::string log = m_harness.WorkDir() + "/" + name + ".log";
    if (FileExists(log)) ::rename(log.c_str(), (log + "." + std::to_string(m_gatewayStarts)).c_str());
    ++m_gatewayStarts;
    if (m_harness.StartInGw(name, {program, "--config=" + m_harness.WorkDir() + "/gateway.ini"}) < 0) {
        *error = "cannot start " + program;
        return false;
    }
    return WaitLogLine(name, "listening on", 15000, error);
}

bool TunnelRig::RestartGateway(const GatewaySetup& gateway, std::string* error) {
    std::string ignored;
    if (error == nullptr) error = &ignored;
    m_harness.StopProcess("gateway");
    m_gateway = gateway;
    return StartGateway(error);
}

bool TunnelRig::WaitLogLine(const std::string& name, const std::string& text, unsigned limitMs,
                            std::string* error) {
    const std::string log = m_harness.WorkDir() + "/" + name + ".log";
    bool dead = false;
    const bool seen = WaitUntil(limitMs, [&] {
        if (ReadText(log).find(text) != std::string::npos) return true;
        if (!m_harness.Alive(name)) return dead = true;
        return false;
    });
    if (seen && !dead) return true;
    *error = name + (dead ? " ended" : " did not print \"" + text + "\"") + " (see " + log + ")";
    return false;
}

std::string TunnelRig::ClientProgram(const ClientSetup& client) const {
    const std::string program =
        !client.program.empty() ? client.program
                                : testsupport::BinDir() + (client.gui ? "/VornClient" : "/qel_engine_client");
    return FileExists(program) ? program : "";
}

pid_t TunnelRig::StartClient(const ClientSetup& client) {
    std::string program = ClientProgram(client);
    if (program.empty()) return -1;
    if (!client.processName.empty()) {
        // A hard link or a copy, not a symbolic link: process lists name a program by the file
        // its /proc/<pid>/exe resolves to.
        const std::string named = m_harness.WorkDir() + "/" + client.processName;
        ::unlink(named.c_str());
        if (::link(program.c_str(), named.c_str()) != 0 && !CopyProgram(program, named)) return -1;
        program = named;
    }
    if (client.gui) {
        std::string error;
        if (!WriteGuiSettings(client, &error)) {
            std::fprintf(stderr, "rig: %s\n", error.c_str());
            return -1;
        }
        m_guiProgram = program;
        std::vector<std::string> argv = {program, "-autologon"};
        argv.insert(argv.end(), client.extraArgs.begin(), client.extraArgs.end());
        std::vector<std::string> env;
        if (!client.window) env.push_back("QT_QPA_PLATFORM=offscreen");
        if (m_harness.ClientUser().empty() && (!client.window || std::getenv("XDG_RUNTIME_DIR") == nullptr)) {
            // Qt's runtime folder inside pc's machine root, not one of its own in /tmp (a display's
            // session folder stays, as a Wayland display lives in it). The client user's is the
            // harness's.
            const std::string runtime = m_harness.ClientRuntimeDir();
            ::mkdir(runtime.c_str(), 0700);
            env.push_back("XDG_RUNTIME_DIR=" + runtime);
        }
        return m_harness.StartClientInPc("client", argv, env);
    }
    if (!m_harness.ClientUser().empty()) {
        // InstallDir is root's value (install.sh sets it): a user's client cannot name it itself,
        // and its daily log goes there.
        const ScopedMachineRoot pcRoot(m_harness.PcRoot());
        const std::shared_ptr<platform::SettingsStore> store = platform::SettingsStore::Machine();
        std::string installDir;
        if (store->GetString(kClientKey, platform::client_settings::kInstallDir, &installDir) !=
                platform::kRegOk &&
            store->SetString(kClientKey, platform::client_settings::kInstallDir,
                             platform::DefaultInstallDir()) != platform::kRegOk) {
            std::fprintf(stderr, "rig: InstallDir cannot be set in %s\n", m_harness.PcRoot().c_str());
            return -1;
        }
    }
    std::vector<std::string> argv = {
        program, "-server", m_gateway.listen, "-port", std::to_string(kGatewayPort), "-user", kUser};
    if (client.viaProxy) {
        argv.insert(argv.end(),
                    {"-proxy", m_harness.Options().proxyAddress + ":" + std::to_string(kProxyPort)});
    }
    if (!client.timing.empty()) argv.insert(argv.end(), {"-timing", client.timing});
    argv.insert(argv.end(), client.extraArgs.begin(), client.extraArgs.end());
    return m_harness.StartClientInPc("client", argv, {std::string("QEL_CLIENT_PASSWORD=") + kPassword});
}

bool TunnelRig::WriteGuiSettings(const ClientSetup& client, std::string* error) {
    const std::string scrambled = Scrambled(kPassword);
    if (scrambled.empty()) {
        *error = "the password cannot be scrambled";
        return false;
    }
    const ScopedMachineRoot pcRoot(m_harness.PcRoot());
    const std::shared_ptr<platform::SettingsStore> store = platform::SettingsStore::Machine();
    // The install folder holds the gateway's accepted certificate and the daily log's folder; an
    // install (scripts/install.sh) named its own.
    std::string installDir;
    bool ok = store->CreateKey(kClientKey) == platform::kRegOk;
    if (store->GetString(kClientKey, platform::client_settings::kInstallDir, &installDir) !=
            platform::kRegOk ||
        installDir.empty()) {
        installDir = platform::DefaultInstallDir();
        platform::MakeDirs(installDir + "/Log", 0755);
        ok &= store->SetString(kClientKey, platform::client_settings::kInstallDir, installDir) ==
              platform::kRegOk;
    }
    // What the logon form saves for a gateway, a user with a remembered password and automatic
    // logon, and the proxy page without or with the proxy: root's client's in the machine's store,
    // a member's in its own part (where its client would have saved them).
    const auto writeValues = [&](platform::SettingsStore& to, bool secrets) {
        bool done = to.CreateKey(kClientKey) == platform::kRegOk;
        done &= to.SetString(kClientKey, platform::client_settings::kServerAddr, m_gateway.listen) ==
                platform::kRegOk;
        done &= to.SetDword(kClientKey, platform::client_settings::kServerPortNum, kGatewayPort) ==
                platform::kRegOk;
        done &= to.SetDword(kClientKey, platform::client_settings::kIsServerAddr, 1) == platform::kRegOk;
        done &= to.SetDword(kClientKey, platform::client_settings::kUseStatic, 1) == platform::kRegOk;
        done &= to.SetDword(kClientKey, platform::client_settings::kNoResourcePage, 1) == platform::kRegOk;
        done &= to.SetString(kClientKey, platform::client_settings::kQelUsername, kUser) == platform::kRegOk;
        done &= to.SetDword(kClientKey, platform::client_settings::kRemID, 1) == platform::kRegOk;
        done &= to.SetDword(kClientKey, platform::client_settings::kAutoLogon, 1) == platform::kRegOk;
        done &= to.SetString(kClientKey, platform::client_settings::kUseProxy,
                             client.viaProxy ? "Yes" : "No") == platform::kRegOk;
        done &= to.SetString(kClientKey, platform::client_settings::kProxyAddr,
                             client.viaProxy ? m_harness.Options().proxyAddress : std::string("0.0.0.0")) ==
                platform::kRegOk;
        done &= to.SetString(kClientKey, platform::client_settings::kProxyPort,
                             client.viaProxy ? std::to_string(kProxyPort) : "0") == platform::kRegOk;
        done &= to.SetString(kClientKey, platform::client_settings::kUseProxyAuth, "No") == platform::kRegOk;
        done &= to.SetString(kClientKey, platform::client_settings::kProxyUser, "") == platform::kRegOk;
        if (secrets) {
            done &= to.SetString(kClientKey, platform::client_settings::kQelPassword, scrambled) ==
                    platform::kRegOk;
            done &= to.SetString(kClientKey, platform::client_settings::kProxyPass, "") == platform::kRegOk;
        }
        return done;
    };
    ok &= store->SetString(kClientKey, platform::client_settings::kUpdateServerAddr, m_gateway.listen) ==
          platform::kRegOk;
    ok &= store->SetDword(kClientKey, platform::client_settings::kUpdateServerPort, kGatewayPort) ==
          platform::kRegOk;
    ok &= store->SetDword(kClientKey, platform::client_settings::kSessionId, 0) == platform::kRegOk;
    ok &= writeValues(*store, m_harness.ClientUid() == 0);
    if (m_harness.ClientUid() != 0) ok &= WriteClientUsersPart(writeValues);
    if (!ok) *error = "the GUI client's settings cannot be written into " + m_harness.PcRoot();
    return ok;
}

// A member's values live in that member's own part of the store, in its own place (a 0700 folder
// of its own), which its client would have made itself: made here as root, then given to the user.
bool TunnelRig::WriteClientUsersPart(const std::function<bool(platform::SettingsStore&, bool)>& writeValues) {
    const std::string place = m_harness.ClientPlace();
    const std::string home = m_harness.ClientHome();
    const uid_t uid = m_harness.ClientUid();
    const gid_t gid = m_harness.ClientGid();
    bool ok = true;
    for (const std::string& dir : {home + "/.local", home + "/.local/state", place}) {
        if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
        ok &= ::chown(dir.c_str(), uid, gid) == 0;
    }
    const std::string path = place + "/" + platform::kUserSettingsFileName;
    {
        platform::SettingsStore own(path);
        ok &= writeValues(own, true);
    }
    for (const char* suffix : {"", "-wal", "-shm"}) {
        const std::string file = path + suffix;
        if (::access(file.c_str(), F_OK) == 0)
            ok &= ::chown(file.c_str(), uid, gid) == 0 && ::chmod(file.c_str(), 0600) == 0;
    }
    return ok;
}

bool TunnelRig::GuiLogoff(const ClientSetup& client, std::string* error) {
    const std::string program = m_guiProgram.empty() ? ClientProgram(client) : m_guiProgram;
    std::string out;
    // Offscreen even beside a window: a second start that cannot reach the first prints its box.
    const std::vector<std::string> env = {"QEL_ROOT=" + m_harness.PcRoot(), "QT_QPA_PLATFORM=offscreen"};
    const int rc = m_harness.RunClientInPc({program, "-exit"}, &out, env, kSecondStartMs);
    // The second start reports a client it could not reach in a message of its own.
    if (rc == 0 && out.find("message:") == std::string::npos) return true;
    *error = "\"" + program + " -exit\" did not reach the client (exit " + std::to_string(rc) + "): " + out;
    return false;
}

bool TunnelRig::GuiQuit(unsigned limitMs, std::string* error) {
    const pid_t pid = m_harness.Pid("client");
    if (pid <= 0) return true;
    ::kill(pid, SIGTERM);
    if (WaitUntil(limitMs, [&] { return !m_harness.Alive("client"); })) {
        m_harness.StopProcess("client");
        return true;
    }
    *error = "the GUI client did not end within " + std::to_string(limitMs) + " ms of its quit";
    m_harness.StopProcess("client", SIGKILL);
    return false;
}

std::string TunnelRig::ClientLog() const { return ReadText(m_harness.WorkDir() + "/client.log"); }

std::string TunnelRig::VirtualAddress() const {
    std::string out;
    m_harness.RunInPc({"ip", "-4", "-o", "addr", "show", "dev", kTapName}, &out);
    const auto inet = out.find(" inet ");
    if (inet == std::string::npos) return "";
    const auto begin = inet + 6;
    return out.substr(begin, out.find('/', begin) - begin);
}

std::string TunnelRig::RouteDevice(const std::string& address) const {
    std::string out;
    if (m_harness.RunInPc({"ip", "-4", "-o", "route", "get", address}, &out) != 0) return "";
    const auto dev = out.find(" dev ");
    if (dev == std::string::npos) return "";
    std::istringstream in(out.substr(dev + 5));
    std::string name;
    in >> name;
    return name;
}

bool TunnelRig::Online() const {
    return !VirtualAddress().empty() && RouteDevice(kResourceAddress) == kTapName;
}

bool TunnelRig::WaitOnline(unsigned limitMs, std::string* error) {
    bool ended = false;
    const bool up = WaitUntil(limitMs, [&] {
        if (Online()) return true;
        return ended = !m_harness.Alive("client");
    });
    if (up && !ended) return true;
    *error = ended ? "the client ended before the session was up"
                   : "no session after " + std::to_string(limitMs) + " ms";
    *error += " (see " + m_harness.WorkDir() + "/client.log and gateway.log)";
    return false;
}

bool TunnelRig::WaitOffline(unsigned limitMs, std::string* error) {
    if (WaitUntil(limitMs,
                  [&] { return VirtualAddress().empty() && RouteDevice(kResourceAddress) != kTapName; }))
        return true;
    *error = "the session's address or routes were still there after " + std::to_string(limitMs) + " ms";
    return false;
}

namespace {
std::vector<std::string> GatewayConnections(const SystemHarness& h, const std::string& gateway) {
    std::string out;
    h.RunInPc({"ss", "-tnH", "state", "established", "dst", gateway + ":" + std::to_string(kGatewayPort)},
              &out);
    std::vector<std::string> local;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        // "Recv-Q Send-Q Local Peer" once the state is filtered.
        std::istringstream fields(line);
        std::string recvQ, sendQ, self;
        if (fields >> recvQ >> sendQ >> self) local.push_back(self);
    }
    return local;
}
}  // namespace

std::vector<std::string> TunnelRig::TunnelConnections() const {
    return GatewayConnections(m_harness, m_gateway.listen);
}

bool TunnelRig::PcLogContains(const std::string& text) const {
    return RunCapture({"grep", "-rqF", "--", text, m_harness.PcRoot() + "/install/Log",
                       m_harness.InstalledPrefix() + "/Log"},
                      nullptr) == 0;
}

std::string TunnelRig::PcMainRoutes() const {
    std::string out;
    m_harness.RunInPc({"ip", "-4", "route", "show", "table", "main"}, &out);
    return out;
}

int TunnelRig::Ping(int count, std::string* output, const std::string& to) const {
    return m_harness.RunInPc({"ping", "-n", "-c", std::to_string(count), "-i", "0.2", "-W", "2", to}, output);
}

Transfer TunnelRig::EchoTransfer(std::uint64_t bytes, unsigned limitMs, const std::string& to) const {
    Transfer t;
    const platform::UniqueFd fd = ConnectFromPc(m_harness, to, kEchoPort, limitMs, &t.error);
    if (!fd) return t;
    const auto start = Clock::now();
    bool sent = false;
    std::thread sender([&] {
        std::vector<unsigned char> block(64 * 1024);
        std::uint64_t offset = 0;
        while (offset < bytes) {
            const std::size_t n =
                static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), bytes - offset));
            FillPattern(offset, block.data(), n);
            if (!testsupport::SendAll(fd.Get(), block.data(), n)) return;
            offset += n;
        }
        sent = true;
    });
    std::vector<unsigned char> got(64 * 1024), want(64 * 1024);
    std::uint64_t offset = 0;
    while (offset < bytes) {
        const ssize_t n = ::recv(fd.Get(), got.data(), got.size(), 0);
        if (n <= 0) {
            t.error = n == 0 ? "the echo closed early" : std::string("echo receive: ") + std::strerror(errno);
            break;
        }
        FillPattern(offset, want.data(), static_cast<std::size_t>(n));
        if (std::memcmp(got.data(), want.data(), static_cast<std::size_t>(n)) != 0) {
            std::size_t i = 0;
            while (got[i] == want[i]) ++i;
            t.error = "byte " + std::to_string(offset + i) + " came back changed";
            break;
        }
        offset += static_cast<std::uint64_t>(n);
    }
    ::shutdown(fd.Get(), SHUT_RDWR);
    sender.join();
    t.bytes = offset;
    t.seconds = Since(start);
    t.ok = t.error.empty() && sent && offset == bytes;
    if (t.error.empty() && !t.ok) t.error = "the send ended early";
    return t;
}

Transfer TunnelRig::SinkTransfer(std::uint64_t bytes, unsigned limitMs, const std::string& to) const {
    Transfer t;
    constexpr std::uint64_t kAckEvery = 64 * 1024;  // the sink's acknowledgement step
    bytes = (bytes + kAckEvery - 1) / kAckEvery * kAckEvery;
    const platform::UniqueFd fd = ConnectFromPc(m_harness, to, kSinkPort, limitMs, &t.error);
    if (!fd) return t;
    const auto start = Clock::now();
    std::thread sender([&] {
        std::vector<unsigned char> block(kAckEvery);
        FillPattern(0, block.data(), block.size());
        for (std::uint64_t offset = 0; offset < bytes; offset += block.size()) {
            if (!testsupport::SendAll(fd.Get(), block.data(), block.size())) return;
        }
    });
    std::uint64_t acks = 0;
    char buf[4096];
    while (acks < bytes / kAckEvery) {
        const ssize_t n = ::recv(fd.Get(), buf, sizeof buf, 0);
        if (n <= 0) {
            t.error = n == 0 ? "the sink closed early" : std::string("sink receive: ") + std::strerror(errno);
            break;
        }
        acks += static_cast<std::uint64_t>(n);
    }
    t.seconds = Since(start);
    ::shutdown(fd.Get(), SHUT_RDWR);
    sender.join();
    t.bytes = acks * kAckEvery;
    t.ok = t.error.empty();
    return t;
}

double TunnelRig::CpuSeconds(const std::vector<std::string>& names) const {
    double sum = 0;
    for (const auto& name : names) {
        if (m_harness.Alive(name)) sum += ProcessCpuSeconds(m_harness.Pid(name));
    }
    return sum;
}

}  // namespace systemtest
