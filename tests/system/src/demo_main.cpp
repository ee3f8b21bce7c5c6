// tw_demo: one working tunnel, shown step by step (scripts/demo.sh builds and runs it as root).
//
//   tw_demo [--client=gui|engine] [--bytes=N]
//
// Builds the pc and gw namespaces through the harness, starts the test gateway, tinyproxy, the
// resource host, the driver daemon and the service, logs on through the client, shows the virtual
// address, the routes, a ping and a transfer through the tunnel, logs off, shows that pc's routes,
// addresses and resolver are as before, and tears everything down, also after SIGINT or SIGTERM.
// The client is the GUI client by default: its window on the display when there is one ($DISPLAY
// or $WAYLAND_DISPLAY), else offscreen, logging on by itself ("-autologon") with the settings the
// harness saved for it, and logging off when a second start asks it to ("-exit"); its state
// changes are shown as it prints them. "--client=engine" logs on through the engine driver program.
// Exit codes: 0 the whole demo ran, 1 a step failed, 2 usage or no root, 3 no client program yet,
// 130 interrupted.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "system/tunnel_rig.h"
#include "testsupport/command.h"

namespace {

std::atomic<bool> g_interrupted{false};

void OnSignal(int) { g_interrupted = true; }

void Step(const char* text) {
    std::printf("\n== %s\n", text);
    std::fflush(stdout);
}

void Show(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    if (!text.empty() && text.back() != '\n') std::fputc('\n', stdout);
    std::fflush(stdout);
}

// The client's output since the last call, each line marked as the client's.
class ClientLines {
public:
    explicit ClientLines(const systemtest::TunnelRig& rig) : m_rig(rig) {}
    void ShowNew() {
        const std::string log = m_rig.ClientLog();
        while (m_shown < log.size()) {
            const auto end = log.find('\n', m_shown);
            if (end == std::string::npos) break;  // a line still being written
            const std::string line = log.substr(m_shown, end - m_shown);
            m_shown = end + 1;
            // The offscreen platform's notes on what it cannot do to a window.
            if (line.rfind("This plugin does not support", 0) == 0) continue;
            std::printf("  client | %s\n", line.c_str());
            m_seen += line + "\n";
        }
        std::fflush(stdout);
    }

    bool Seen(const std::string& text) const { return m_seen.find(text) != std::string::npos; }

private:
    const systemtest::TunnelRig& m_rig;
    std::size_t m_shown = 0;
    std::string m_seen;
};

// Until the session is up (and the client said so in `line`, when given), the client ended, the
// bound passed or an interrupt came; the client's lines shown meanwhile.
bool WaitOnlineShowing(systemtest::TunnelRig& rig, ClientLines& lines, const std::string& line,
                       unsigned limitMs, std::string* error) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    for (;;) {
        lines.ShowNew();
        if (rig.Online() && (line.empty() || lines.Seen(line))) return true;
        if (!rig.Harness().Alive("client")) {
            *error = "the client ended before the session was up";
            return false;
        }
        if (g_interrupted) {
            *error = "interrupted";
            return false;
        }
        if (std::chrono::steady_clock::now() >= end) {
            *error = "no session after " + std::to_string(limitMs) + " ms";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

int Run(systemtest::TunnelRig& rig, const systemtest::ClientSetup& client, std::uint64_t bytes) {
    using namespace systemtest;
    SystemHarness& h = rig.Harness();
    std::string error, out;

    Step("pc and gw: namespaces, gateway, tinyproxy, resource host, driver daemon, service");
    if (!rig.Start(&error)) {
        std::fprintf(stderr, "tw_demo: %s\n", error.c_str());
        return 1;
    }
    std::printf("pc namespace %s (eth0 %s), gw namespace %s (eth0 %s, resource host %s)\n", h.PcNs().c_str(),
                kPcAddress, h.GwNs().c_str(), kGwAddress, kResourceAddress);
    std::printf("test gateway on %s:%d, tinyproxy on %s:%d, logs in %s\n", rig.Gateway().listen.c_str(),
                kGatewayPort, kGwAddress, kProxyPort, h.WorkDir().c_str());
    const PcSnapshot before = h.TakePcSnapshot();
    Step("pc before the logon: routes and resolver");
    Show(before.routes);
    Show(before.resolver);

    Step(!client.gui     ? "logon through the engine driver program"
         : client.window ? "logon through the GUI client (its window, -autologon)"
                         : "logon through the GUI client (offscreen, -autologon)");
    const std::string program = rig.ClientProgram(client);
    if (program.empty()) {
        std::printf(
            "The %s is not built yet: it comes with the connection engine's connector. Everything up\n"
            "to the logon is running; the demo stops here and tears everything down.\n",
            client.gui ? "GUI client VornClient" : "engine driver program qel_engine_client");
        return 3;
    }
    if (rig.StartClient(client) < 0) {
        std::fprintf(stderr, "tw_demo: cannot start %s\n", program.c_str());
        return 1;
    }
    ClientLines lines(rig);
    // Offscreen the client prints its state changes; its window shows them instead.
    const std::string onlineLine = client.gui && !client.window ? "state: online" : "";
    if (!WaitOnlineShowing(rig, lines, onlineLine, 60000, &error)) {
        lines.ShowNew();
        std::fprintf(stderr, "tw_demo: %s (logs in %s)\n", error.c_str(), h.WorkDir().c_str());
        return g_interrupted ? 130 : 1;
    }
    Step("online: the virtual address");
    h.RunInPc({"ip", "-4", "addr", "show", "dev", kTapName}, &out);
    Show(out);
    std::printf("virtual address %s\n", rig.VirtualAddress().c_str());
    Step("pc's routes and resolver during the session");
    h.RunInPc({"ip", "-4", "route", "show"}, &out);
    Show(out);
    Show(ReadText(h.ResolverFile()));
    std::printf("%s is routed through %s\n", kResourceAddress, rig.RouteDevice(kResourceAddress).c_str());
    if (g_interrupted) return 130;

    Step("ping through the tunnel");
    const int ping = rig.Ping(3, &out);
    Show(out);
    if (g_interrupted) return 130;

    Step("a short transfer through the tunnel");
    const Transfer echo = rig.EchoTransfer(4 << 20);
    std::printf("echo: %llu bytes there and back, every byte compared: %s\n",
                static_cast<unsigned long long>(echo.bytes), echo.ok ? "all equal" : echo.error.c_str());
    const Transfer sink = rig.SinkTransfer(bytes);
    if (sink.ok) {
        std::printf("sink: %.1f MiB in %.3f s, %.2f Gbit/s\n", static_cast<double>(sink.bytes) / (1 << 20),
                    sink.seconds, sink.Gbits());
    } else {
        std::printf("sink: failed: %s\n", sink.error.c_str());
    }
    if (g_interrupted) return 130;

    bool loggedOff = true;
    if (client.gui) {
        Step("logoff through the GUI client (a second start with -exit)");
        loggedOff = rig.GuiLogoff(client, &error) && rig.WaitOffline(30000, &error);
        lines.ShowNew();
        if (!loggedOff) std::printf("logoff: %s\n", error.c_str());
        Step("the GUI client quits");
        if (!rig.GuiQuit(30000, &error)) {
            std::printf("%s\n", error.c_str());
            loggedOff = false;
        }
        lines.ShowNew();
    } else {
        Step("logoff");
        h.StopProcess("client", SIGTERM, 30000);
        if (!rig.WaitOffline(15000, &error)) std::printf("%s\n", error.c_str());
    }
    const PcSnapshot after = h.TakePcSnapshot();
    Step("pc after the logoff: routes and resolver");
    Show(after.routes);
    Show(after.resolver);
    const bool same = after == before;
    std::printf("%s\n", same ? "routes, addresses and resolver are exactly as before the logon"
                             : "pc differs from before the logon:");
    if (!same) Show(before.Diff(after));
    return ping == 0 && echo.ok && sink.ok && same && loggedOff ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    systemtest::ClientSetup client;
    client.gui = true;
    std::uint64_t bytes = 256ull << 20;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--client=engine") {
            client.gui = false;
        } else if (arg == "--client=gui") {
            client.gui = true;
        } else if (arg.rfind("--bytes=", 0) == 0 && std::strtoull(arg.c_str() + 8, nullptr, 10) > 0) {
            bytes = std::strtoull(arg.c_str() + 8, nullptr, 10);
        } else {
            std::fprintf(stderr, "usage: tw_demo [--client=gui|engine] [--bytes=N]\n");
            return 2;
        }
    }
    if (!testsupport::IsRoot()) {
        std::fprintf(stderr, "tw_demo: needs root (network namespaces, TAP and TUN devices, routes)\n");
        return 2;
    }
    // The harness's programs are beside this one unless QEL_BIN_DIR names another folder.
    if (std::getenv("QEL_BIN_DIR") == nullptr) {
        char self[4096] = "";
        const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
        if (n > 0) {
            std::string dir(self, static_cast<std::size_t>(n));
            ::setenv("QEL_BIN_DIR", dir.substr(0, dir.rfind('/')).c_str(), 1);
        }
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    client.window =
        client.gui && (std::getenv("DISPLAY") != nullptr || std::getenv("WAYLAND_DISPLAY") != nullptr);
    systemtest::HarnessOptions harness;
    // The GUI client asks the service layer whether the network service runs.
    harness.serviceLayer = client.gui;
    int code = 0;
    {
        systemtest::TunnelRig rig({}, harness);
        code = Run(rig, client, bytes);
        if (g_interrupted) code = 130;
        Step(g_interrupted ? "interrupted: tearing everything down" : "tearing everything down");
    }
    std::printf("namespaces removed, every process stopped\n");
    return code;
}
