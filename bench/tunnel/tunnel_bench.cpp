// tunnel_bench: the whole suite end to end against the bare veth between the same namespaces, in
// one run. For each path: iperf3 single stream pc -> gw and gw -> pc, a TCP round-trip probe
// (TCP_NODELAY, 64-byte messages, p50/p99/max over the samples) and the CPU seconds the suite's
// processes (gateway, driver daemon, service, client) used meanwhile; then an idle tunnel's CPU
// share and the ratios. Needs root; the tunnel half needs the client program.
//
//   tunnel_bench [--seconds=N] [--samples=N] [--sparse=N] [--idle-seconds=N] [--veth-only]
//                [--round-trips-only] [--perf]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"
#include "system/tunnel_rig.h"
#include "testsupport/command.h"

namespace {

using namespace systemtest;
using Clock = std::chrono::steady_clock;

constexpr int kProbePort = 7007;
constexpr int kIperfPort = 5201;
constexpr std::size_t kProbeMessage = 64;
const std::vector<std::string> kSuite = {"gateway", "olvane", "lunther", "client"};

struct Options {
    int seconds = 5;
    int samples = 3000;
    int idleSeconds = 5;
    bool vethOnly = false;
    bool perf = false;  // per-thread system calls and context switches per frame (perf stat)
    int sparse = 500;   // round trips of the sparse ping-pong
    bool roundTripsOnly = false;
};

// The machine's load when a figure was taken (the bench shares its machine).
std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five;
    in >> one >> five;
    return one + " " + five;
}

// User + system CPU of this process (the probe and its echo) so far.
double SelfCpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Rtt {
    bool ok = false;
    double p50 = 0, p99 = 0, max = 0;  // microseconds
    long over1ms = 0;                  // round trips above 1 ms
    long trips = 0;                    // all round trips made, the warm-up's too
    std::string error;
};

// A device's packet, byte and drop counters (`ip -s -j link`) in one namespace, and its MTU.
struct LinkCounters {
    long rxPackets = 0, txPackets = 0, rxBytes = 0, txBytes = 0, rxDropped = 0, txDropped = 0, mtu = 0;
    bool ok = false;
};

// The data frames that `packets` of `bytes` carried through a device whose packets have `link`
// bytes of link header: the devices take and hand up TCP super-frames (one packet for dozens of
// frames), so frames are counted as the payload over the tunnel's MSS (IPv4 and TCP with
// timestamps, 52 bytes of headers a frame), which counts a plain frame once and a super-frame as
// the frames it carries, either way.
long DataFrames(long packets, long bytes, long link, long mtu) {
    constexpr long kHeaders = 20 + 32;
    if (mtu <= kHeaders) return packets;
    const long payload = bytes - packets * (link + kHeaders);
    return payload > 0 ? (payload + (mtu - kHeaders) / 2) / (mtu - kHeaders) : 0;
}

long JsonNumber(const std::string& json, std::size_t from, const char* key) {
    const auto at = json.find(std::string("\"") + key + "\"", from);
    return at == std::string::npos ? 0 : std::strtol(json.c_str() + json.find(':', at) + 1, nullptr, 10);
}

LinkCounters ReadLink(const SystemHarness& h, bool inPc, const std::string& device) {
    LinkCounters c;
    std::string out;
    const std::vector<std::string> argv = {"ip", "-s", "-j", "link", "show", "dev", device};
    if ((inPc ? h.RunInPc(argv, &out) : h.RunInGw(argv, &out)) != 0) return c;
    const auto rx = out.find("\"rx\"");
    const auto tx = out.find("\"tx\"");
    if (rx == std::string::npos || tx == std::string::npos) return c;
    c.rxPackets = JsonNumber(out, rx, "packets");
    c.rxBytes = JsonNumber(out, rx, "bytes");
    c.rxDropped = JsonNumber(out, rx, "dropped");
    c.txPackets = JsonNumber(out, tx, "packets");
    c.txBytes = JsonNumber(out, tx, "bytes");
    c.txDropped = JsonNumber(out, tx, "dropped");
    c.mtu = JsonNumber(out, 0, "mtu");
    c.ok = true;
    return c;
}

// Frames lost inside the tunnel during one transfer: what pc's adapter took from the kernel
// (tx) against what the gateway's device handed to gw's kernel (rx), and back; a lost frame is
// one the inner TCP sends again. The devices' own drops are the kernel's queues overflowing.
struct TunnelLoss {
    long sent = 0, arrived = 0, sourceDropped = 0, sinkDropped = 0;
    bool ok = false;
};

struct LinkPair {
    LinkCounters tap, gw;
};

LinkPair ReadLinks(const SystemHarness& h) {
    return {ReadLink(h, true, kTapName), ReadLink(h, false, kGwDevice)};
}

TunnelLoss LossBetween(const LinkPair& a, const LinkPair& b, bool up) {
    TunnelLoss l;
    l.ok = a.tap.ok && a.gw.ok && b.tap.ok && b.gw.ok;
    const long mtu = b.tap.mtu;
    // The adapter (a TAP) carries Ethernet frames, the gateway's TUN bare IP packets.
    const long tapSent =
        DataFrames(b.tap.txPackets - a.tap.txPackets, b.tap.txBytes - a.tap.txBytes, 14, mtu);
    const long tapGot = DataFrames(b.tap.rxPackets - a.tap.rxPackets, b.tap.rxBytes - a.tap.rxBytes, 14, mtu);
    const long gwSent = DataFrames(b.gw.txPackets - a.gw.txPackets, b.gw.txBytes - a.gw.txBytes, 0, mtu);
    const long gwGot = DataFrames(b.gw.rxPackets - a.gw.rxPackets, b.gw.rxBytes - a.gw.rxBytes, 0, mtu);
    if (up) {
        l.sent = tapSent;
        l.arrived = gwGot;
        l.sourceDropped = b.tap.txDropped - a.tap.txDropped;
        l.sinkDropped = b.gw.rxDropped - a.gw.rxDropped;
    } else {
        l.sent = gwSent;
        l.arrived = tapGot;
        l.sourceDropped = b.gw.txDropped - a.gw.txDropped;
        l.sinkDropped = b.tap.rxDropped - a.tap.rxDropped;
    }
    return l;
}

void PrintLoss(const char* direction, const TunnelLoss& l, long retransmits) {
    if (!l.ok) {
        std::printf("  %s: device counters unreadable\n", direction);
        return;
    }
    std::printf(
        "  %s: %ld data frames into the tunnel, %ld out, lost inside %ld (%.3f %%); kernel queue drops "
        "%ld at the entry, %ld at the exit; inner TCP retransmits %ld\n",
        direction, l.sent, l.arrived, l.sent - l.arrived,
        l.sent > 0 ? 100.0 * static_cast<double>(l.sent - l.arrived) / static_cast<double>(l.sent) : 0.0,
        l.sourceDropped, l.sinkDropped, retransmits);
}

// An echo server on 0.0.0.0:kProbePort inside gw, serving one connection at a time until Stop.
class ProbeEcho {
public:
    bool Start(const SystemHarness& h) {
        h.RunInsideGw([&] { m_listen.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)); });
        if (!m_listen) return false;
        const int on = 1;
        ::setsockopt(m_listen.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(kProbePort);
        if (::bind(m_listen.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
            ::listen(m_listen.Get(), 4) != 0)
            return false;
        m_thread = std::thread([this] {
            pthread_setname_np(pthread_self(), "rtt-echo");
            Serve();
        });
        return true;
    }
    void Stop() {
        if (!m_thread.joinable()) return;
        ::shutdown(m_listen.Get(), SHUT_RDWR);  // wakes the accept
        m_thread.join();
    }
    ~ProbeEcho() { Stop(); }

private:
    void Serve() {
        for (;;) {
            const platform::UniqueFd c(::accept4(m_listen.Get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!c) return;
            const int on = 1;
            ::setsockopt(c.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            char buf[4096];
            for (;;) {
                const ssize_t n = ::recv(c.Get(), buf, sizeof buf, 0);
                if (n <= 0 || ::send(c.Get(), buf, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) break;
            }
        }
    }
    platform::UniqueFd m_listen;
    std::thread m_thread;
};

// `gap`: the pause between round trips (zero: back to back; a sparse ping-pong's pause lies
// beyond the busy-poll's window, so every frame finds its readers asleep).
Rtt ProbeRtt(const SystemHarness& h, const std::string& to, int samples,
             std::chrono::microseconds gap = std::chrono::microseconds(0)) {
    Rtt r;
    platform::UniqueFd fd;
    h.RunInsidePc([&] { fd.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)); });
    const int on = 1;
    ::setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    timeval tv{5, 0};
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(kProbePort);
    inet_pton(AF_INET, to.c_str(), &sa.sin_addr);
    if (!fd || ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        r.error = "cannot connect to the probe's echo at " + to + ": " + std::strerror(errno);
        return r;
    }
    char out[kProbeMessage], in[kProbeMessage];
    std::memset(out, 'p', sizeof out);
    std::vector<double> us;
    us.reserve(static_cast<std::size_t>(samples));
    constexpr int kWarmUp = 100;  // connection start, slow start, first ARP
    for (int i = 0; i < samples + kWarmUp; ++i) {
        if (gap.count() > 0) std::this_thread::sleep_for(gap);
        const auto start = Clock::now();
        if (::send(fd.Get(), out, sizeof out, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof out)) {
            r.error = "probe send failed";
            return r;
        }
        std::size_t got = 0;
        while (got < sizeof in) {
            const ssize_t n = ::recv(fd.Get(), in + got, sizeof in - got, 0);
            if (n <= 0) {
                r.error = "probe receive failed after " + std::to_string(i) + " samples";
                return r;
            }
            got += static_cast<std::size_t>(n);
        }
        ++r.trips;
        if (i >= kWarmUp)
            us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::sort(us.begin(), us.end());
    r.p50 = us[us.size() / 2];
    r.p99 = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    r.max = us.back();
    r.over1ms = std::count_if(us.begin(), us.end(), [](double v) { return v > 1000; });
    r.ok = true;
    return r;
}

// bits_per_second of the JSON object named `section` in iperf3's -J output; 0 when absent.
double IperfBits(const std::string& json, const std::string& section) {
    const auto at = json.find("\"" + section + "\"");
    if (at == std::string::npos) return 0;
    const auto bits = json.find("\"bits_per_second\"", at);
    if (bits == std::string::npos) return 0;
    return std::strtod(json.c_str() + json.find(':', bits) + 1, nullptr);
}

// One single-stream iperf3 run from pc to `to`; `reverse` sends gw -> pc. Gbit/s, 0 on failure.
// The sender's TCP retransmissions in iperf3's -J output (losses on the path make them); -1 absent.
long IperfRetransmits(const std::string& json) {
    const auto at = json.find("\"sum_sent\"");
    if (at == std::string::npos) return -1;
    const auto key = json.find("\"retransmits\"", at);
    if (key == std::string::npos) return -1;
    return std::strtol(json.c_str() + json.find(':', key) + 1, nullptr, 10);
}

double Iperf(const SystemHarness& h, const std::string& to, int seconds, bool reverse, long* retransmits) {
    std::vector<std::string> argv = {
        "iperf3", "-c", to, "-p", std::to_string(kIperfPort), "-t", std::to_string(seconds), "-O", "1", "-J"};
    if (reverse) argv.push_back("-R");
    std::string out;
    if (h.RunInPc(argv, &out) != 0) {
        std::fprintf(stderr, "iperf3 to %s failed:\n%s\n", to.c_str(), out.substr(0, 2000).c_str());
        return 0;
    }
    *retransmits = IperfRetransmits(out);
    return IperfBits(out, "sum_received") / 1e9;
}

// Per thread (perf's comm-tid): system calls, context switches and CPU time. A thread's context
// switches are its sleeps and preemptions, so each of its wake-ups counts once.
struct ThreadCount {
    std::string name;
    double calls = 0, switches = 0, cpuMs = 0;
};

// perf stat's -x, output of raw_syscalls:sys_enter, context-switches and task-clock, per thread.
std::vector<ThreadCount> ParsePerfFile(const std::string& file) {
    std::ifstream in(file);
    std::string line;
    std::vector<ThreadCount> threads;
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::size_t at = 0;
        for (std::size_t comma; (comma = line.find(',', at)) != std::string::npos; at = comma + 1)
            f.push_back(line.substr(at, comma - at));
        if (f.size() < 4 || f[0].empty() || f[0][0] == '#') continue;
        auto it = std::find_if(threads.begin(), threads.end(), [&](const auto& t) { return t.name == f[0]; });
        if (it == threads.end()) it = threads.insert(threads.end(), ThreadCount{f[0]});
        const double v = std::strtod(f[1].c_str(), nullptr);
        if (f[3].find("sys_enter") != std::string::npos)
            it->calls += v;
        else if (f[3].find("task-clock") != std::string::npos)
            it->cpuMs += v;
        else
            it->switches += v;
    }
    ::unlink(file.c_str());
    return threads;
}

// Starts `perf stat --per-thread` over `pids` into a temporary file; with `seconds` it ends by
// itself, otherwise at an interrupt. The pid of perf, -1 when it could not start.
pid_t StartPerf(const std::vector<pid_t>& pids, int seconds, std::string* file) {
    std::string list;
    for (const pid_t pid : pids)
        if (pid > 0) list += (list.empty() ? "" : ",") + std::to_string(pid);
    char path[] = "/tmp/tunnel-bench-perf-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0 || list.empty()) return -1;
    ::close(fd);
    *file = path;
    std::vector<std::string> args = {
        "perf", "stat", "--per-thread", "-x,",
        "-o",   *file,  "-e",           "raw_syscalls:sys_enter,context-switches,task-clock",
        "-p",   list};
    if (seconds > 0) {
        args.push_back("--");
        args.push_back("sleep");
        args.push_back(std::to_string(seconds));
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    return ::posix_spawnp(&pid, "perf", nullptr, nullptr, argv.data(), environ) == 0 ? pid : -1;
}

// perf stat over the suite's data-path processes while one transfer runs: per thread, system
// calls and context switches. Started before the transfer, read after it.
class PerThreadCounts {
public:
    bool Start(const TunnelRig& rig, int seconds) {
        std::vector<pid_t> pids;
        for (const char* name : {"gateway", "olvane", "client"}) pids.push_back(rig.Harness().Pid(name));
        m_pid = StartPerf(pids, seconds, &m_file);
        m_seconds = seconds;
        return m_pid > 0;
    }
    // Per thread: the two counts divided by `frames`, printed when either is notable, and the
    // share of the transfer the thread was on a CPU: a stage of the pipeline near 100 % bounds it.
    void Print(const char* direction, long frames) {
        if (m_pid <= 0) return;
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        const std::vector<ThreadCount> threads = ParsePerfFile(m_file);
        if (frames <= 0 || threads.empty()) {
            std::printf("  %s per thread: no perf figures\n", direction);
            return;
        }
        std::printf("  %s per thread and frame (system calls / context switches, busy):", direction);
        for (const auto& t : threads) {
            const double calls = t.calls / static_cast<double>(frames);
            const double switches = t.switches / static_cast<double>(frames);
            if (calls >= 0.01 || switches >= 0.01)
                std::printf(" %s %.2f/%.3f %.0f%%", t.name.c_str(), calls, switches,
                            t.cpuMs / (10.0 * std::max(1, m_seconds)));
        }
        std::printf("\n");
    }

private:
    pid_t m_pid = -1;
    int m_seconds = 0;
    std::string m_file;
};

// One ping-pong's figures per round trip: every thread of the suite's data path and of the
// probe (this process: the probe and its echo), and the CPU they all spent.
struct TripFigures {
    Rtt rtt;
    std::vector<ThreadCount> threads;  // per round trip
    double calls = 0, wakeUps = 0;     // all threads, per round trip
    double cpuUs = 0;                  // suite and probe, per round trip
    bool counted = false;              // perf ran
};

TripFigures MeasureTrips(TunnelRig& rig, const std::string& to, int samples, std::chrono::microseconds gap,
                         bool perf) {
    TripFigures t;
    std::vector<pid_t> pids = {::getpid()};
    for (const char* name : {"gateway", "olvane", "client"})
        if (rig.Harness().Alive(name)) pids.push_back(rig.Harness().Pid(name));
    std::string file;
    const pid_t perfPid = perf ? StartPerf(pids, 0, &file) : -1;
    // perf attaches to every thread before it counts; a round trip made meanwhile would be lost.
    if (perfPid > 0) std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const double cpu0 = rig.CpuSeconds(kSuite) + SelfCpuSeconds();
    t.rtt = ProbeRtt(rig.Harness(), to, samples, gap);
    const double cpu = rig.CpuSeconds(kSuite) + SelfCpuSeconds() - cpu0;
    const auto trips = static_cast<double>(std::max(1L, t.rtt.trips));
    t.cpuUs = cpu * 1e6 / trips;
    if (perfPid > 0) {
        ::kill(perfPid, SIGINT);
        int status = 0;
        ::waitpid(perfPid, &status, 0);
        for (ThreadCount c : ParsePerfFile(file)) {
            c.calls /= trips;
            c.switches /= trips;
            t.calls += c.calls;
            t.wakeUps += c.switches;
            if (c.calls >= 0.05 || c.switches >= 0.05) t.threads.push_back(c);
        }
        t.counted = !t.threads.empty();
    }
    return t;
}

struct PathFigures {
    std::string name;
    double upGbits = 0, downGbits = 0;  // pc -> gw, gw -> pc
    long upRetransmits = -1, downRetransmits = -1;
    Rtt rtt;
    double cpuSeconds = 0;        // the suite's processes during this path's measurements
    std::vector<double> cpuEach;  // the same per process of kSuite
    bool measured = false;
    TunnelLoss upLoss, downLoss;
    TripFigures dense, sparse;  // back-to-back and sparse ping-pong
};

void PrintTrips(const char* what, const TripFigures& t) {
    if (!t.rtt.ok) {
        std::printf("  %s: %s\n", what, t.rtt.error.c_str());
        return;
    }
    std::printf("  %s: p50 %.1f us, p99 %.1f us, %ld over 1 ms; CPU %.1f us per round trip", what, t.rtt.p50,
                t.rtt.p99, t.rtt.over1ms, t.cpuUs);
    if (t.counted) {
        std::printf(", %.1f system calls and %.2f wake-ups per round trip; per thread (calls/wake-ups):",
                    t.calls, t.wakeUps);
        for (const auto& c : t.threads) std::printf(" %s %.2f/%.2f", c.name.c_str(), c.calls, c.switches);
    }
    std::printf("\n");
}

// Context switches (voluntary and not) of all threads of `pid` so far: its wake-ups, near enough.
long ContextSwitches(pid_t pid) {
    if (pid <= 0) return 0;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = ::opendir(tasks.c_str());
    if (dir == nullptr) return 0;
    long sum = 0;
    while (const dirent* e = ::readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream in(tasks + "/" + e->d_name + "/status");
        std::string line;
        while (std::getline(in, line))
            if (line.find("ctxt_switches:") != std::string::npos)
                sum += std::atol(line.c_str() + line.find(':') + 1);
    }
    ::closedir(dir);
    return sum;
}

std::vector<long> SwitchesEach(const TunnelRig& rig) {
    std::vector<long> each;
    for (const auto& name : kSuite) each.push_back(ContextSwitches(rig.Harness().Pid(name)));
    return each;
}

std::vector<double> CpuEach(const TunnelRig& rig) {
    std::vector<double> each;
    for (const auto& name : kSuite) each.push_back(rig.CpuSeconds({name}));
    return each;
}

PathFigures MeasurePath(TunnelRig& rig, const std::string& name, const std::string& to, const Options& o) {
    PathFigures f;
    f.name = name;
    const double cpu0 = rig.CpuSeconds(kSuite);
    const std::vector<double> each0 = CpuEach(rig);
    const bool tunnel = to == kResourceAddress;
    const bool perf = tunnel && o.perf;
    PerThreadCounts upThreads, downThreads;
    const LinkPair links0 = tunnel ? ReadLinks(rig.Harness()) : LinkPair{};
    if (perf) upThreads.Start(rig, o.seconds);
    if (!o.roundTripsOnly) f.upGbits = Iperf(rig.Harness(), to, o.seconds, false, &f.upRetransmits);
    const LinkPair links1 = tunnel ? ReadLinks(rig.Harness()) : LinkPair{};
    if (perf) downThreads.Start(rig, o.seconds);
    if (!o.roundTripsOnly) f.downGbits = Iperf(rig.Harness(), to, o.seconds, true, &f.downRetransmits);
    const LinkPair links2 = tunnel ? ReadLinks(rig.Harness()) : LinkPair{};
    const std::vector<double> each1 = CpuEach(rig);
    if (tunnel) {
        f.upLoss = LossBetween(links0, links1, true);
        f.downLoss = LossBetween(links1, links2, false);
    }
    const std::string load = LoadAverage();
    f.dense = MeasureTrips(rig, to, o.samples, std::chrono::microseconds(0), true);
    f.rtt = f.dense.rtt;
    f.cpuSeconds = rig.CpuSeconds(kSuite) - cpu0;
    f.cpuEach = CpuEach(rig);
    for (std::size_t i = 0; i < f.cpuEach.size(); ++i) f.cpuEach[i] -= each0[i];
    f.measured = true;
    std::printf("%-7s pc->gw %6.2f Gbit/s (%ld retr)  gw->pc %6.2f Gbit/s (%ld retr)  ", name.c_str(),
                f.upGbits, f.upRetransmits, f.downGbits, f.downRetransmits);
    if (f.rtt.ok) {
        std::printf("RTT p50 %7.1f us  p99 %7.1f us  max %8.1f us (%ld over 1 ms)", f.rtt.p50, f.rtt.p99,
                    f.rtt.max, f.rtt.over1ms);
    } else {
        std::printf("RTT: %s", f.rtt.error.c_str());
    }
    std::printf("  suite CPU %.2f s (", f.cpuSeconds);
    for (std::size_t i = 0; i < kSuite.size(); ++i)
        std::printf("%s%s %.2f", i == 0 ? "" : ", ", kSuite[i].c_str(), f.cpuEach[i]);
    std::printf(")\n");
    // Beyond the busy-poll's window: every frame finds its readers asleep.
    f.sparse = MeasureTrips(rig, to, o.sparse, std::chrono::microseconds(3000), true);
    std::printf("  round trips (load %s, then %s):\n", load.c_str(), LoadAverage().c_str());
    PrintTrips("back to back", f.dense);
    PrintTrips("sparse (3 ms apart)", f.sparse);
    if (tunnel && !o.roundTripsOnly) {
        PrintLoss("pc->gw", f.upLoss, f.upRetransmits);
        PrintLoss("gw->pc", f.downLoss, f.downRetransmits);
        // Per frame carried either way during the two transfers (the probe's CPU left out).
        const long frames = f.upLoss.sent + f.downLoss.sent;
        if (frames > 0) {
            std::printf("  CPU per frame during the transfers:");
            double total = 0;
            for (std::size_t i = 0; i < kSuite.size(); ++i) {
                const double us = (each1[i] - each0[i]) * 1e6 / static_cast<double>(frames);
                total += us;
                std::printf("%s %s %.2f us", i == 0 ? "" : ",", kSuite[i].c_str(), us);
            }
            std::printf("; together %.2f us over %ld frames\n", total, frames);
        }
        // perf counted about one transfer's length (iperf3 adds its omitted first second).
        upThreads.Print("pc->gw", f.upLoss.sent);
        downThreads.Print("gw->pc", f.downLoss.sent);
    }
    std::fflush(stdout);
    return f;
}

bool ParseInt(const std::string& arg, const char* prefix, int* out) {
    const std::size_t n = std::strlen(prefix);
    if (arg.compare(0, n, prefix) != 0) return false;
    *out = std::atoi(arg.c_str() + n);
    return *out > 0;
}

int Run(const Options& o) {
    pthread_setname_np(pthread_self(), "rtt-probe");
    TunnelRig rig;
    std::string error;
    if (!rig.Start(&error)) {
        std::fprintf(stderr, "tunnel_bench: %s\n", error.c_str());
        return 1;
    }
    SystemHarness& h = rig.Harness();
    if (h.StartInGw("iperf3", {"iperf3", "-s", "-p", std::to_string(kIperfPort)}) < 0) {
        std::fprintf(stderr, "tunnel_bench: cannot start iperf3 (scripts/install-deps.sh installs it)\n");
        return 1;
    }
    ProbeEcho echo;
    if (!echo.Start(h)) {
        std::fprintf(stderr, "tunnel_bench: cannot start the probe's echo in gw\n");
        return 1;
    }
    // iperf3's port answering is the sign that it is ready.
    bool listening = false;
    for (int i = 0; i < 100 && !listening; ++i) {
        h.RunInsidePc([&] {
            const platform::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_port = htons(kIperfPort);
            inet_pton(AF_INET, kGwAddress, &sa.sin_addr);
            listening = ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
        });
        if (!listening) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }

    std::printf("%d s per iperf3 direction, %d round trips of %zu bytes (%d sparse), %u cores, load %s\n",
                o.seconds, o.samples, kProbeMessage, o.sparse, std::thread::hardware_concurrency(),
                LoadAverage().c_str());
    const PathFigures veth = MeasurePath(rig, "veth", kGwAddress, o);

    PathFigures tunnel;
    double idleShare = -1;
    const ClientSetup client;
    if (o.vethOnly) {
        std::printf("tunnel: left out (--veth-only)\n");
    } else if (rig.ClientProgram(client).empty()) {
        std::printf("tunnel: left out: the client program qel_engine_client is not built\n");
    } else if (rig.StartClient(client) < 0 || !rig.WaitOnline(60000, &error)) {
        std::fprintf(stderr, "tunnel_bench: no session: %s\n", error.c_str());
        return 1;
    } else {
        tunnel = MeasurePath(rig, "tunnel", kResourceAddress, o);
        // Then idle, after what the transfers left in flight has drained.
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const double cpu0 = rig.CpuSeconds(kSuite);
        const std::vector<double> each0 = CpuEach(rig);
        const std::vector<long> switches0 = SwitchesEach(rig);
        std::this_thread::sleep_for(std::chrono::seconds(o.idleSeconds));
        idleShare = (rig.CpuSeconds(kSuite) - cpu0) / o.idleSeconds * 100;
        const std::vector<double> each1 = CpuEach(rig);
        const std::vector<long> switches1 = SwitchesEach(rig);
        std::printf("idle tunnel: %.2f %% of one core over %d s (", idleShare, o.idleSeconds);
        for (std::size_t i = 0; i < kSuite.size(); ++i)
            std::printf("%s%s %.2f %%", i == 0 ? "" : ", ", kSuite[i].c_str(),
                        (each1[i] - each0[i]) / o.idleSeconds * 100);
        std::printf(")\nidle wake-ups per second:");
        for (std::size_t i = 0; i < kSuite.size(); ++i)
            std::printf("%s %s %.0f", i == 0 ? "" : ",", kSuite[i].c_str(),
                        static_cast<double>(switches1[i] - switches0[i]) / o.idleSeconds);
        std::printf("\n");
        std::string ping;
        std::printf("after the idle time: %s\n", rig.Ping(2, &ping) == 0 ? "the tunnel still carries a ping"
                                                                         : "no ping through the tunnel");
        // The probe's echo listens on every address of gw, the resource host's too.
    }
    echo.Stop();

    if (tunnel.measured && veth.measured) {
        auto ratio = [](double a, double b) { return b > 0 ? a / b : 0; };
        std::printf("side by side, per round trip      %10s %10s\n", "veth", "tunnel");
        auto row = [](const char* what, double a, double b, int decimals) {
            std::printf("  %-32s %10.*f %10.*f\n", what, decimals, a, decimals, b);
        };
        row("RTT p50 (us)", veth.dense.rtt.p50, tunnel.dense.rtt.p50, 1);
        row("RTT p99 (us)", veth.dense.rtt.p99, tunnel.dense.rtt.p99, 1);
        row("round trips over 1 ms", static_cast<double>(veth.dense.rtt.over1ms),
            static_cast<double>(tunnel.dense.rtt.over1ms), 0);
        row("system calls, back to back", veth.dense.calls, tunnel.dense.calls, 1);
        row("wake-ups, back to back", veth.dense.wakeUps, tunnel.dense.wakeUps, 2);
        row("CPU (us), back to back", veth.dense.cpuUs, tunnel.dense.cpuUs, 1);
        row("RTT p50 (us), sparse", veth.sparse.rtt.p50, tunnel.sparse.rtt.p50, 1);
        row("system calls, sparse", veth.sparse.calls, tunnel.sparse.calls, 1);
        row("wake-ups, sparse", veth.sparse.wakeUps, tunnel.sparse.wakeUps, 2);
        row("CPU (us), sparse", veth.sparse.cpuUs, tunnel.sparse.cpuUs, 1);
        if (!o.roundTripsOnly) {
            std::printf("ratios tunnel/veth: pc->gw %.3f, gw->pc %.3f", ratio(tunnel.upGbits, veth.upGbits),
                        ratio(tunnel.downGbits, veth.downGbits));
        }
        if (tunnel.rtt.ok && veth.rtt.ok) {
            std::printf("%sRTT p50 %+.1f us, p99 %+.1f us, max %.1f us against %.1f us",
                        o.roundTripsOnly ? "tunnel against veth: " : ", ", tunnel.rtt.p50 - veth.rtt.p50,
                        tunnel.rtt.p99 - veth.rtt.p99, tunnel.rtt.max, veth.rtt.max);
        }
        const bool throughput = o.roundTripsOnly || std::min(tunnel.upGbits, tunnel.downGbits) >= 8;
        std::printf(
            "\ngoal: >= 8 Gbit/s each way, p50 within 60 us of the veth's, no more round trips over 1 ms "
            "than the veth's, a sparse round trip's CPU at most 100 us, idle under 1 %% of a core: %s\n",
            throughput && tunnel.rtt.ok && veth.rtt.ok && tunnel.rtt.p50 - veth.rtt.p50 <= 60 &&
                    tunnel.rtt.over1ms <= veth.rtt.over1ms && tunnel.sparse.rtt.ok &&
                    tunnel.sparse.cpuUs <= 100 && idleShare < 1
                ? "met"
                : "not met");
    }
    std::printf("load average at the end: %s\n", LoadAverage().c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--veth-only") {
            o.vethOnly = true;
        } else if (arg == "--perf") {
            o.perf = true;
        } else if (arg == "--round-trips-only") {
            o.roundTripsOnly = true;
        } else if (!ParseInt(arg, "--seconds=", &o.seconds) && !ParseInt(arg, "--samples=", &o.samples) &&
                   !ParseInt(arg, "--idle-seconds=", &o.idleSeconds) &&
                   !ParseInt(arg, "--sparse=", &o.sparse)) {
            std::fprintf(stderr,
                         "usage: tunnel_bench [--seconds=N] [--samples=N] [--sparse=N] [--idle-seconds=N] "
                         "[--veth-only] [--round-trips-only] [--perf]\n");
            return 2;
        }
    }
    if (!testsupport::IsRoot()) {
        std::fprintf(stderr, "tunnel_bench: needs root (network namespaces, TAP and TUN devices)\n");
        return 2;
    }
    return Run(o);
}
