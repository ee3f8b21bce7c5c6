// The HTTP control server: the bounded request reader, the web logon and logoff decisions, and the
// server on a loopback port.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <fstream>
#include <future>
#include <mutex>
#include <random>

#include "platform/fake/manual_clock.h"
#include "platform/machine_root.h"
#include "platform/named_objects.h"
#include "platform/unique_fd.h"
#include "service/proxy_server.h"
#include "testsupport/as_user.h"
#include "testsupport/command.h"
#include "testsupport/net.h"
#include "testsupport/temp_dir.h"
#include "testsupport/wait.h"

namespace service {
namespace {

class RecordingLauncher final : public ClientLauncher {
public:
    bool Launch(const std::vector<std::string>& args) override {
        std::lock_guard<std::mutex> g(lock);
        launches.push_back(args);
        return succeed;
    }
    std::vector<std::vector<std::string>> Launches() {
        std::lock_guard<std::mutex> g(lock);
        return launches;
    }
    std::mutex lock;
    std::vector<std::vector<std::string>> launches;
    bool succeed = true;
};

HttpRequest Parse(const std::string& text) {
    HttpRequest r;
    std::string error;
    EXPECT_EQ(ParseHttpRequest(text, &r, &error), HttpParse::kComplete) << text << ": " << error;
    return r;
}

// The clock of the controls that do not pass their own: starts are rate-limited on it.
platform::fake::ManualClock g_clock;

WebLogonOptions Options(long registryId = 0) {
    WebLogonOptions o;
    o.registrySessionId = [registryId] { return registryId; };
    o.waitForSetup = [] {};
    o.clock = &g_clock;
    return o;
}

const char* kLogon =
    "GET /LOGON?ipaddr=10.0.0.1&port=443&sessid=77&username=bob&qelversion=3.0 HTTP/1.1\r\n"
    "Host: 127.0.0.1:48088\r\n\r\n";

std::string Logon(int sessid, const std::string& host = "127.0.0.1:48088") {
    return "GET /logon?ipaddr=10.0.0.1&port=443&sessid=" + std::to_string(sessid) +
           "&username=bob&qelversion=3.0 HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
}

std::string Logoff(int sessid) {
    return "GET /logoff?sessid=" + std::to_string(sessid) + " HTTP/1.1\r\nHost: localhost:48088\r\n\r\n";
}

// Past the interval between two starts of the client.
void NextStartAllowed() { g_clock.Advance(ServiceTiming{}.webLogonIntervalMs); }
// Past the longest time a wrong session id shuts the logoff door.
void LogoffDoorOpen() { g_clock.Advance(ServiceTiming{}.webLogoffLockMaxMs); }

TEST(HttpRequestReader, HeadBodyAndLimits) {
    HttpRequest r;
    std::string error;
    EXPECT_EQ(ParseHttpRequest("GET /logon?a=1 HTTP/1.1\r\nHost: x\r\n", &r, &error), HttpParse::kIncomplete);
    EXPECT_EQ(ParseHttpRequest("GET\r\n\r\n", &r, &error), HttpParse::kMalformed);  // one-word request line
    r = Parse("POST /x?a=1&&b&c=2=3 HTTP/1.1\r\nContent-Length: 4\r\nX:  y\r\n\r\nbodyNEXT");
    EXPECT_EQ(r.body, "body");
    EXPECT_EQ(r.consumed,
              std::string("POST /x?a=1&&b&c=2=3 HTTP/1.1\r\nContent-Length: 4\r\nX:  y\r\n\r\nbody").size());
    EXPECT_EQ(*r.Parameter("b"), "");
    EXPECT_EQ(*r.Parameter("c"), "2");  // the value ends at a further '='
    EXPECT_EQ(r.headers.at("X"), "y");
    EXPECT_EQ(ParseHttpRequest("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc", &r, &error),
              HttpParse::kIncomplete);
    for (const char* bad : {"-1", "1x", "", "99999999999", "65537"}) {
        const std::string text = std::string("POST / HTTP/1.1\r\nContent-Length: ") + bad + "\r\n\r\n";
        EXPECT_EQ(ParseHttpRequest(text, &r, &error), HttpParse::kMalformed) << bad;
    }
    EXPECT_EQ(
        ParseHttpRequest("POST / HTTP/1.1\r\nContent-Length: 1\r\ncontent-length: 1\r\n\r\nab", &r, &error),
        HttpParse::kMalformed);
    const std::string bigHead = "GET / HTTP/1.1\r\nX: " + std::string(kMaxHttpHead, 'a');
    EXPECT_EQ(ParseHttpRequest(bigHead, &r, &error), HttpParse::kMalformed);  // no end in sight within 8 KiB
    EXPECT_EQ(ParseHttpRequest(bigHead + "\r\n\r\n", &r, &error), HttpParse::kMalformed);
}

TEST(HttpRequestReader, FuzzedAndCutRequests) {
    std::mt19937 rng(48088);
    const std::string seed =
        std::string(kLogon) + "POST /logoff?sessid=9 HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc";
    for (int i = 0; i < 20000; ++i) {
        std::string text = seed.substr(rng() % seed.size());
        text.resize(rng() % (text.size() + 1));
        for (int flips = rng() % 4; flips > 0 && !text.empty(); --flips)
            text[rng() % text.size()] = static_cast<char>(rng());
        if (i % 7 == 0) text.append(rng() % 20000, static_cast<char>('a' + rng() % 3));
        HttpRequest r;
        std::string error;
        const HttpParse verdict = ParseHttpRequest(text, &r, &error);
        if (verdict == HttpParse::kComplete) {
            ASSERT_LE(r.consumed, text.size());
            ASSERT_LE(r.consumed, kMaxHttpHead + kMaxHttpBody);
        } else if (verdict == HttpParse::kIncomplete) {
            ASSERT_LT(text.size(), kMaxHttpHead + kMaxHttpBody);
        }
    }
}

TEST(WebLogon, StartsTheClientOnceWithSeparateArguments) {
    RecordingLauncher launcher;
    WebLogonControl control(launcher, Options());
    EXPECT_EQ(control.Handle(Parse(kLogon)), WebLogonControl::Outcome::kStarted);
    EXPECT_EQ(control.Handle(Parse(kLogon)), WebLogonControl::Outcome::kIgnored);  // repeated while online
    EXPECT_EQ(
        launcher.Launches(),
        (std::vector<std::vector<std::string>>{{"-browserlogon", "10.0.0.1", "443", "77", "bob", "3.0"}}));
    EXPECT_TRUE(control.Online());

    EXPECT_EQ(control.Handle(Parse(Logoff(77))), WebLogonControl::Outcome::kStarted);
    EXPECT_EQ(control.Handle(Parse(Logoff(77))), WebLogonControl::Outcome::kIgnored);
    EXPECT_FALSE(control.Online());
    EXPECT_EQ(launcher.Launches().back(), (std::vector<std::string>{"-exit"}));
    NextStartAllowed();
    EXPECT_EQ(control.Handle(Parse(kLogon)), WebLogonControl::Outcome::kStarted);  // offline again: allowed
}

TEST(WebLogon, RefusesWhatMustNotReachTheClient) {
    RecordingLauncher launcher;
    WebLogonControl control(launcher, Options(77));
    EXPECT_EQ(control.Handle(Parse(kLogon)),
              WebLogonControl::Outcome::kIgnored);  // already logged on with 77
    for (const char* bad :
         {"GET /logon?ipaddr=10.0.0.1&port=443&sessid=78&username=&qelversion=3.0 HTTP/1.1\r\n\r\n",
          "GET /logon?ipaddr=10.0.0.1&port=443&sessid=78&qelversion=3.0 HTTP/1.1\r\n\r\n",
          "GET /logon?ipaddr=10.0.0.1&port=443&sessid=78&username=-exit&qelversion=3.0 HTTP/1.1\r\n\r\n",
          "GET /logon?ipaddr=10.0.0.1&port=443&sessid=78&username=a%0a\x01&qelversion=3.0 HTTP/1.1\r\n\r\n",
          "GET /logon?ipaddr=10.0.0.1&port=443&sessid=7x&username=bob&qelversion=3.0 HTTP/1.1\r\n\r\n",
          "GET /logoff?sessid= HTTP/1.1\r\n\r\n", "GET /other HTTP/1.1\r\n\r\n"}) {
        HttpRequest r;
        std::string error;
        std::string text = bad;
        text.insert(text.size() - 2, "Host: 127.0.0.1:48088\r\n");
        if (ParseHttpRequest(text, &r, &error) != HttpParse::kComplete) continue;
        EXPECT_NE(control.Handle(r), WebLogonControl::Outcome::kStarted) << bad;
    }
    EXPECT_TRUE(launcher.Launches().empty());
    EXPECT_FALSE(ValidClientArgument(std::string(256, 'a')));
    EXPECT_TRUE(ValidClientArgument(std::string(255, 'a')));
}

TEST(WebLogon, FailedStartLetsTheSameLogonRetry) {
    RecordingLauncher launcher;
    launcher.succeed = false;
    WebLogonControl control(launcher, Options());
    EXPECT_EQ(control.Handle(Parse(kLogon)), WebLogonControl::Outcome::kStartFailed);
    EXPECT_FALSE(control.Online());
    launcher.succeed = true;
    EXPECT_EQ(control.Handle(Parse(kLogon)), WebLogonControl::Outcome::kStarted);
}

// DNS rebinding and plain cross-site requests: whatever a page makes the browser send carries the
// page's own host name, never the server's loopback name and port.
TEST(WebLogon, RefusesRequestsNotAddressedToTheServer) {
    RecordingLauncher launcher;
    WebLogonControl control(launcher, Options());
    const std::string logoff = "GET /logoff?sessid=77 HTTP/1.1\r\n";
    for (const std::string& head :
         {std::string(
              "GET /logon?ipaddr=10.0.0.1&port=443&sessid=77&username=bob&qelversion=3.0 HTTP/1.1\r\n"),
          logoff}) {
        for (const char* hosts :
             {"", "Host: evil.example:48088\r\n", "Host: 127.0.0.1\r\n", "Host: 127.0.0.1:80\r\n",
              "Host: 127.0.0.1:480880\r\n", "Host: localhost.evil.example:48088\r\n",
              "Host: 127.0.0.2:48088\r\n", "Host: [::1]:48088\r\n", "Host: \r\n",
              "Host: 127.0.0.1:48088\r\nhost: evil.example:48088\r\n"}) {
            EXPECT_EQ(control.Handle(Parse(head + hosts + "\r\n")), WebLogonControl::Outcome::kForeignHost)
                << head << hosts;
        }
    }
    EXPECT_TRUE(launcher.Launches().empty());
    EXPECT_FALSE(control.Online());

    // Random and cut-short Host values: only the two names with the port pass.
    std::mt19937 rng(5000);
    const std::string good = "localhost:48088";
    for (int i = 0; i < 5000; ++i) {
        std::string host = good.substr(0, rng() % (good.size() + 1));
        for (auto flips = static_cast<int>(rng() % 3); flips > 0 && !host.empty(); --flips)
            host[rng() % host.size()] = static_cast<char>(rng() % 256);
        HttpRequest r;
        r.headers["Host"] = host;
        const bool own = strcasecmp(host.c_str(), "localhost:48088") == 0 || host == "127.0.0.1:48088";
        ASSERT_EQ(WebLogonControl::OwnHost(r, 48088), own) << host;
    }

    control.SetPort(5000);  // the port the server listens on counts, not the usual one
    EXPECT_EQ(control.Handle(Parse(Logon(77))), WebLogonControl::Outcome::kForeignHost);
    EXPECT_EQ(control.Handle(Parse(Logon(77, "LocalHost:5000"))), WebLogonControl::Outcome::kStarted);
    EXPECT_EQ(launcher.Launches().size(), 1u);
}

// A logoff ends the session that is online, never one a page merely names.
TEST(WebLogon, LogoffOnlyForTheSessionThatIsOnline) {
    RecordingLauncher launcher;
    WebLogonControl control(launcher, Options());
    EXPECT_EQ(control.Handle(Parse(Logoff(77))), WebLogonControl::Outcome::kIgnored);  // nothing online
    LogoffDoorOpen();
    EXPECT_EQ(control.Handle(Parse(Logon(77))), WebLogonControl::Outcome::kStarted);
    EXPECT_EQ(control.Handle(Parse(Logoff(78))), WebLogonControl::Outcome::kIgnored);
    LogoffDoorOpen();
    EXPECT_EQ(control.Handle(Parse(Logoff(0))), WebLogonControl::Outcome::kIgnored);
    LogoffDoorOpen();
    EXPECT_EQ(launcher.Launches().size(), 1u);
    EXPECT_TRUE(control.Online());
    EXPECT_EQ(control.Handle(Parse(Logoff(77))), WebLogonControl::Outcome::kStarted);
    EXPECT_EQ(launcher.Launches().back(), (std::vector<std::string>{"-exit"}));
    EXPECT_EQ(control.Handle(Parse(Logoff(77))), WebLogonControl::Outcome::kIgnored);  // gone by now

    // The session the client itself says it is logged on with (a web logon of an earlier run of
    // the service).
    RecordingLauncher other;
    WebLogonControl restarted(other, Options(55));
    EXPECT_EQ(restarted.Handle(Parse(Logoff(56))), WebLogonControl::Outcome::kIgnored);
    LogoffDoorOpen();
    EXPECT_EQ(restarted.Handle(Parse(Logoff(55))), WebLogonControl::Outcome::kStarted);
    EXPECT_EQ(other.Launches().size(), 1u);
}

// Counting through session ids finds nothing: each wrong id shuts the logoff door, longer with
// each further one, and while it is shut the right id is not looked at either. The gateway
// portal's own logoff works once the door is open again.
TEST(WebLogon, CountingThroughSessionIdsIsBounded) {
    platform::fake::ManualClock clock;
    RecordingLauncher launcher;
    WebLogonOptions o = Options(4711);
    o.clock = &clock;
    WebLogonControl control(launcher, o);
    int looked = 0;
    for (int id = 1; id <= 10000; ++id)
        if (control.Handle(Parse(Logoff(id))) != WebLogonControl::Outcome::kLocked) ++looked;
    EXPECT_EQ(looked, 1) << "ids were looked at in a burst";
    // An hour of one guess a second: a dozen looked at at most.
    looked = 0;
    for (int i = 0; i < 3600; ++i) {
        clock.Advance(1000);
        if (control.Handle(Parse(Logoff(20000 + i))) != WebLogonControl::Outcome::kLocked) ++looked;
    }
    EXPECT_GE(looked, 5);
    EXPECT_LE(looked, 12);
    EXPECT_TRUE(launcher.Launches().empty()) << "the session was ended by counting";

    EXPECT_EQ(control.Handle(Parse(Logoff(4711))), WebLogonControl::Outcome::kLocked);
    clock.Advance(o.timing.webLogoffLockMaxMs);
    EXPECT_EQ(control.Handle(Parse(Logoff(4711))), WebLogonControl::Outcome::kStarted);
    EXPECT_EQ(launcher.Launches().size(), 1u);
    // The logoff that went through forgets the wrong ids: one more costs the first lock only.
    EXPECT_EQ(control.Handle(Parse(Logoff(1))), WebLogonControl::Outcome::kIgnored);
    clock.Advance(o.timing.webLogoffLockMs - 1);
    EXPECT_EQ(control.Handle(Parse(Logoff(2))), WebLogonControl::Outcome::kLocked);
    clock.Advance(1);
    EXPECT_EQ(control.Handle(Parse(Logoff(2))), WebLogonControl::Outcome::kIgnored);
}

// Forty logons with distinct session ids at once: one client start, none while it is under way,
// none again until the interval has passed.
TEST(WebLogon, ABurstOfLogonsStartsTheClientOnce) {
    class GatedLauncher final : public ClientLauncher {
    public:
        bool Launch(const std::vector<std::string>& args) override {
            std::unique_lock<std::mutex> g(lock);
            launches.push_back(args);
            entered.notify_all();
            released.wait(g, [&] { return open; });
            return true;
        }
        std::mutex lock;
        std::condition_variable entered, released;
        std::vector<std::vector<std::string>> launches;
        bool open = false;
    } launcher;
    platform::fake::ManualClock clock;
    WebLogonOptions o = Options();
    o.clock = &clock;
    WebLogonControl control(launcher, o);

    auto first = std::async(std::launch::async, [&] { return control.Handle(Parse(Logon(1000))); });
    {
        std::unique_lock<std::mutex> g(launcher.lock);
        ASSERT_TRUE(launcher.entered.wait_for(g, std::chrono::seconds(10),
                                              [&] { return !launcher.launches.empty(); }));
    }
    std::vector<std::future<WebLogonControl::Outcome>> others;
    for (int i = 1; i < 40; ++i)
        others.push_back(
            std::async(std::launch::async, [&, i] { return control.Handle(Parse(Logon(1000 + i))); }));
    for (auto& f : others) EXPECT_EQ(f.get(), WebLogonControl::Outcome::kIgnored);
    {
        std::lock_guard<std::mutex> g(launcher.lock);
        launcher.open = true;
    }
    launcher.released.notify_all();
    EXPECT_EQ(first.get(), WebLogonControl::Outcome::kStarted);

    for (int i = 40; i < 80; ++i)
        EXPECT_EQ(control.Handle(Parse(Logon(1000 + i))), WebLogonControl::Outcome::kIgnored);
    clock.Advance(o.timing.webLogonIntervalMs - 1);
    EXPECT_EQ(control.Handle(Parse(Logon(2000))), WebLogonControl::Outcome::kIgnored);
    clock.Advance(1);
    EXPECT_EQ(control.Handle(Parse(Logon(2001))), WebLogonControl::Outcome::kStarted);
    std::lock_guard<std::mutex> g(launcher.lock);
    EXPECT_EQ(launcher.launches.size(), 2u);
}

// A web logon while the setup program runs waits for it on the control's clock, for 15 s at the
// most, and goes on at the next look once the setup program has ended.
TEST(WebLogon, WaitsForTheSetupProgramOnItsClock) {
    platform::fake::ManualClock clock;
    RecordingLauncher launcher;
    WebLogonOptions o = Options();
    o.waitForSetup = nullptr;
    o.clock = &clock;
    WebLogonControl control(launcher, o);
    auto setup = platform::NamedMutex::Create("Global\\MorvaneQelCltSetupRunning");
    ASSERT_TRUE(setup);

    const std::uint64_t start = clock.TickMs();
    auto first = std::async(std::launch::async, [&] { return control.Handle(Parse(kLogon)); });
    for (int i = 0; i < 1000 && first.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready;
         ++i) {
        // The wait may have just ended by itself: then there is nobody left to wake.
        if (clock.WaitForWaiters(1, std::chrono::milliseconds(20))) clock.Advance(o.timing.setupPollMs);
    }
    ASSERT_EQ(first.wait_for(std::chrono::seconds(10)), std::future_status::ready)
        << "the logon did not end its wait for the setup program";
    const std::uint64_t waited = clock.TickMs() - start;
    EXPECT_EQ(first.get(), WebLogonControl::Outcome::kStarted);
    EXPECT_GE(waited, o.timing.setupWaitMs) << "the logon gave up on the setup program early";

    EXPECT_EQ(control.Handle(Parse(Logoff(77))), WebLogonControl::Outcome::kStarted);
    clock.Advance(o.timing.webLogonIntervalMs);
    auto second = std::async(std::launch::async, [&] { return control.Handle(Parse(kLogon)); });
    ASSERT_TRUE(clock.WaitForWaiters(1));
    setup.reset();
    clock.Advance(o.timing.setupPollMs);
    ASSERT_EQ(second.wait_for(std::chrono::seconds(10)), std::future_status::ready)
        << "the logon went on waiting after the setup program had ended";
    EXPECT_EQ(second.get(), WebLogonControl::Outcome::kStarted);
    EXPECT_EQ(launcher.Launches().size(), 3u);
}

// Reads until the server closes; false when it did not within 5 s.
bool ClosedByServer(int fd) {
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    char buf[64];
    for (;;) {
        const ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
        if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
        if (n < 0) return false;
    }
}

// logind's records of the active seat, under a /run of the test's own.
TEST(SessionUserLookup, ActiveSeatsUserWithItsDisplayAndNeverRoot) {
    testsupport::TempDir run;
    const std::string seats = run.File("systemd/seats"), sessions = run.File("systemd/sessions");
    ASSERT_TRUE(platform::MakeDirs(seats, 0755) && platform::MakeDirs(sessions, 0755));
    const auto seat = [&](const std::string& text) { std::ofstream(seats + "/seat0") << text; };
    std::ofstream(sessions + "/c2") << "UID=65534\nDISPLAY=:7\n";
    std::ofstream(sessions + "/c3") << "DISPLAY=:0;touch /tmp/x\n";
    const bool root = testsupport::IsRoot();
    if (root) {
        ASSERT_TRUE(platform::MakeDirs(run.File("user/65534"), 0700));
        ASSERT_EQ(::chown(run.File("user/65534").c_str(), 65534, 65534), 0);
    }

    SessionUser user;
    EXPECT_FALSE(FindActiveSessionUser(&user, run.Path())) << "no seat record";
    seat("ACTIVE=c2\nACTIVE_UID=65534\n");
    ASSERT_TRUE(FindActiveSessionUser(&user, run.Path()));
    EXPECT_EQ(user.uid, 65534u);
    EXPECT_EQ(user.gid, 65534u);
    EXPECT_FALSE(user.home.empty());
    std::vector<std::string> want{"DISPLAY=:7"};
    if (root) want.insert(want.begin(), "XDG_RUNTIME_DIR=" + run.File("user/65534"));
    EXPECT_EQ(user.environment, want);

    seat("ACTIVE=c3\nACTIVE_UID=65534\n");
    ASSERT_TRUE(FindActiveSessionUser(&user, run.Path()));
    EXPECT_EQ(std::count(user.environment.begin(), user.environment.end(), "DISPLAY=:0;touch /tmp/x"), 0);
    seat("ACTIVE=../../../etc/passwd\nACTIVE_UID=65534\n");
    ASSERT_TRUE(FindActiveSessionUser(&user, run.Path()));
    for (const auto& e : user.environment) EXPECT_NE(e.rfind("DISPLAY=", 0), 0u) << e;
    for (const char* bad : {"ACTIVE_UID=0\n", "ACTIVE_UID=65534x\n", "ACTIVE_UID=\n", "ACTIVE=c2\n",
                            "ACTIVE_UID=99999999999\n"}) {
        seat(bad);
        EXPECT_FALSE(FindActiveSessionUser(&user, run.Path())) << bad;
    }
}

TEST(ProxyServerLoopback, LogonInPiecesDropsTheConnectionAndStartsTheClient) {
    RecordingLauncher launcher;
    ProxyServer server(launcher, Options());
    ASSERT_TRUE(server.Start(0));
    platform::UniqueFd connection(testsupport::ConnectLoopback(server.Port()));
    const int fd = connection.Get();
    ASSERT_GE(fd, 0);
    const std::string request = Logon(77, "127.0.0.1:" + std::to_string(server.Port()));
    ASSERT_EQ(::send(fd, request.data(), 20, MSG_NOSIGNAL), 20);
    ASSERT_EQ(::send(fd, request.data() + 20, request.size() - 20, MSG_NOSIGNAL),
              static_cast<ssize_t>(request.size() - 20));
    EXPECT_TRUE(ClosedByServer(fd)) << "the server did not drop the connection of a complete logon";
    connection.Reset();
    EXPECT_TRUE(
        testsupport::WaitFor("the client to be started", [&] { return launcher.Launches().size() == 1; }));

    // Sent by a page of another site (or one rebound to 127.0.0.1): dropped, nothing started.
    platform::UniqueFd foreign(testsupport::ConnectLoopback(server.Port()));
    ASSERT_GE(foreign.Get(), 0);
    const std::string rebound = Logon(78, "evil.example:" + std::to_string(server.Port()));
    ASSERT_EQ(::send(foreign.Get(), rebound.data(), rebound.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(rebound.size()));
    EXPECT_TRUE(ClosedByServer(foreign.Get())) << "a request for another host was kept open";

    const platform::UniqueFd badConnection(testsupport::ConnectLoopback(server.Port()));
    const int bad = badConnection.Get();
    ASSERT_GE(bad, 0);
    const std::string oversized = "GET /" + std::string(kMaxHttpHead + 10, 'a');
    (void)::send(bad, oversized.data(), oversized.size(), MSG_NOSIGNAL);
    EXPECT_TRUE(ClosedByServer(bad)) << "an endless head was not cut off";
    server.Stop();
    EXPECT_EQ(launcher.Launches().size(), 1u);
}

// Another local user counts through the session ids on the server's port, one connection each
// as a page would: the session is not ended, and the portal's logoff is taken once the door is
// open again.
TEST(ProxyServerLoopback, AnotherUserCountingSessionIdsDoesNotEndTheSession) {
    if (!testsupport::IsRoot()) GTEST_SKIP() << "needs root (the attacker runs as another user)";
    RecordingLauncher launcher;
    ProxyServer server(launcher, Options(150));
    ASSERT_TRUE(server.Start(0));
    const std::string host = "127.0.0.1:" + std::to_string(server.Port());
    std::vector<std::string> guesses;
    for (int id = 1; id <= 300; ++id)
        guesses.push_back("GET /logoff?sessid=" + std::to_string(id) + " HTTP/1.1\r\nHost: " + host +
                          "\r\n\r\n");
    const std::uint16_t port = server.Port();
    const int code = testsupport::RunAsUser({}, [&] {
        for (const std::string& guess : guesses) {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(port);
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) return 2;
            if (::send(fd, guess.data(), guess.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(guess.size()))
                return 3;
            ::close(fd);
        }
        return 0;
    });
    EXPECT_EQ(code, 0);
    ASSERT_TRUE(testsupport::WaitFor("the guesses to be handled",
                                     [&] { return server.Control().HandledRequests() == guesses.size(); }));
    EXPECT_TRUE(launcher.Launches().empty()) << "the attacker's counting ended the session";

    LogoffDoorOpen();
    platform::UniqueFd portal(testsupport::ConnectLoopback(server.Port()));
    ASSERT_GE(portal.Get(), 0);
    const std::string& logoff = guesses[149];
    ASSERT_EQ(::send(portal.Get(), logoff.data(), logoff.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(logoff.size()));
    EXPECT_TRUE(testsupport::WaitFor("the portal's logoff", [&] { return launcher.Launches().size() == 1; }));
    EXPECT_EQ(launcher.Launches().back(), (std::vector<std::string>{"-exit"}));
    server.Stop();
}

}  // namespace
}  // namespace service
