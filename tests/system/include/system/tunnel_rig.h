// A tunnel on top of the harness: the test gateway in gw with a TUN device of its own, the client
// in pc, and what the system tests, the demo and the benchmark do with them (wait for the session,
// read the virtual address, ping, carry bytes through the tunnel, read CPU times).
//
//   pc: client --TLS over TCP--> gw: qel_test_gateway (198.51.100.1:4433) -- TUN gw0 198.18.0.1/15
//   pc: qelmini0 (virtual address from 198.18.0.0/15) ... tunnel ... gw kernel -> 203.0.113.10
//
// The gateway reads an INI file the rig writes into the harness's folder, so the account's password
// is on no command line; the client is given its password in its environment.
//
// Thread-safety: one thread drives a rig (the harness's rule).
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/settings_store.h"
#include "system/system_harness.h"

namespace systemtest {

constexpr const char* kTapName = "qelmini0";  // Olvane's first adapter in pc
constexpr const char* kGwDevice = "gw0";      // the gateway's TUN device in gw
constexpr const char* kGwDeviceAddress = "198.18.0.1";
constexpr int kGatewayPort = 4433;
constexpr const char* kUser = "alice";
constexpr const char* kPassword = "tunnel-demo-pw";
constexpr const char* kFirstVirtualAddress = "198.18.0.100";
constexpr const char* kTunnelDns = "198.18.0.53";

struct GatewaySetup {
    std::string listen = kGwAddress;             // the address the gateway listens on (in gw)
    std::string fixedIp = kFirstVirtualAddress;  // the account's virtual address; empty: the pool's
    bool fullTunnel = false;                     // the route list is the default route, not 203.0.113.0/24
    int keepAliveSeconds = 0;                    // the gateway's own keep-alive requests (0: none)
    bool answerKeepAlive = true;
    int forcedLogoffAfter = 0;       // seconds online before a forced logoff (0: never)
    std::vector<std::string> extra;  // more "key = value" lines for [gateway]
};

// The client's switches. The engine driver program (tests/qel_engine_client) takes them as options;
// the GUI client reads them from pc's settings store, written beforehand the way its logon form
// saves them (the remembered password scrambled), and is started with "-autologon". The GUI client
// needs the harness's `serviceLayer` (it asks the service layer for the network service).
struct ClientSetup {
    bool gui = false;         // the GUI client VornClient, "-autologon"
    bool window = false;      // GUI: on the display this process has, not offscreen
    std::string program;      // empty: qel_engine_client (or VornClient) in the program folder
    bool viaProxy = false;    // through tinyproxy (the harness's proxy address, port 8888)
    std::string timing;       // the engine's timing profile, "name=ms,..." (empty: the real one)
    std::string processName;  // non-empty: started as a program file of this name (the watchdog
                              // recognises the GUI client by its program name)
    std::vector<std::string> extraArgs;
};

// Outcome of carrying bytes through a TCP connection.
struct Transfer {
    bool ok = false;
    std::uint64_t bytes = 0;
    double seconds = 0;
    std::string error;
    double Gbits() const { return seconds > 0 ? static_cast<double>(bytes) * 8 / seconds / 1e9 : 0; }
};

class TunnelRig {
public:
    explicit TunnelRig(GatewaySetup gateway = {}, HarnessOptions harness = {});
    ~TunnelRig();
    TunnelRig(const TunnelRig&) = delete;
    TunnelRig& operator=(const TunnelRig&) = delete;

    // The harness's processes, then the gateway (waited for until it listens). On failure what was
    // started is stopped again; the logs stay in WorkDir until the rig goes.
    bool Start(std::string* error);
    void Stop() { m_harness.Stop(); }
    SystemHarness& Harness() { return m_harness; }
    const SystemHarness& Harness() const { return m_harness; }

    // Starts the gateway again (after a kill) with `gateway`, on the same state folder, so its
    // certificate stays the one the client saw.
    bool RestartGateway(const GatewaySetup& gateway, std::string* error);
    bool StartGateway(std::string* error);
    const GatewaySetup& Gateway() const { return m_gateway; }

    // The engine driver program, or empty when it is not built (yet).
    std::string ClientProgram(const ClientSetup& client) const;
    pid_t StartClient(const ClientSetup& client = {});
    std::string ClientLog() const;
    // The GUI client's settings in pc's store for this rig's gateway (StartClient writes them).
    bool WriteGuiSettings(const ClientSetup& client, std::string* error);
    bool WriteClientUsersPart(const std::function<bool(platform::SettingsStore&, bool)>& writeValues);
    // The GUI client's own logoff, asked for by a second start with "-exit" (the running client
    // gets "needlogoff" with data 1 and logs off, staying up); false with the reason when the
    // second start failed.
    bool GuiLogoff(const ClientSetup& client, std::string* error);
    // Ends the GUI client the way its own quit does on SIGTERM (a logoff first when online), and
    // waits up to `limitMs` for its end; false when it had to be killed.
    bool GuiQuit(unsigned limitMs, std::string* error);

    // The session is up when pc's adapter holds a virtual address and the resource host is routed
    // through it; down when neither holds. Both end early when the client ended.
    bool WaitOnline(unsigned limitMs, std::string* error);
    bool WaitOffline(unsigned limitMs, std::string* error);
    bool Online() const;
    // pc's adapter's IPv4 address, empty when it has none.
    std::string VirtualAddress() const;
    // The device pc routes `address` through (`ip route get`).
    std::string RouteDevice(const std::string& address) const;

    // pc's established TCP connections to the gateway's port, as "address:port" of pc's end.
    std::vector<std::string> TunnelConnections() const;
    // True when pc's daily log (the client's install folder's Log, under pc's machine root) holds
    // `text`.
    bool PcLogContains(const std::string& text) const;
    // pc's main routing table (`ip -4 route show table main`).
    std::string PcMainRoutes() const;

    // `count` pings from pc to the resource host; ping's exit code and its output in *output.
    int Ping(int count, std::string* output = nullptr, const std::string& to = kResourceAddress) const;
    // `bytes` of a pseudo-random pattern to the resource host's echo and back, every byte compared.
    Transfer EchoTransfer(std::uint64_t bytes, unsigned limitMs = 20000,
                          const std::string& to = kResourceAddress) const;
    // `bytes` into the resource host's sink, timed until its last acknowledgement came back.
    Transfer SinkTransfer(std::uint64_t bytes, unsigned limitMs = 20000,
                          const std::string& to = kResourceAddress) const;

    // CPU seconds (user + system) of the processes the harness started under these names (the
    // gateway, olvane, lunther, client); a name that is not running counts 0.
    double CpuSeconds(const std::vector<std::string>& names) const;

private:
    bool WriteGatewayConfig(std::string* error);
    bool WaitLogLine(const std::string& name, const std::string& text, unsigned limitMs, std::string* error);

    GatewaySetup m_gateway;
    SystemHarness m_harness;
    std::string m_guiProgram;  // the GUI client's program file as last started
    unsigned m_gatewayStarts = 0;
};

// CPU seconds (user + system, all threads) that process `pid` used so far; 0 when it is gone.
double ProcessCpuSeconds(pid_t pid);

}  // namespace systemtest
