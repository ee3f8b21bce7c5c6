// The HTTP control server: the bounded request reader, the web logon and logoff decisions, and the
// server on a loopback port.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <future>
#include <mutex>
#include <random>

#include "platform/fake/manual_clock.h"
#include "platform/machine_root.h"
#include "platform/named_objects.h"
#include "platform/unique_fd.h"
#include "service/proxy_server.h"
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

WebLogonOptions Options(long registryId = 0) {
    WebLogonOptions o;
    o.registrySessionId = [registryId] { return registryId; };
    o.waitForSetup = [] {};
    return o;
}

const char* kLogon =
    "GET /LOGON?ipaddr=10.0.0.1&port=443&sessid=77&username=bob&qelversion=3.0 HTTP/1.1\r\n\r\n";

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

    EXPECT_EQ(control.Handle(Parse("GET /logoff?sessid=77 HTTP/1.1\r\n\r\n")),
              WebLogonControl::Outcome::kStarted);
    EXPECT_EQ(control.Handle(Parse("GET /logoff?sessid=77 HTTP/1.1\r\n\r\n")),
              WebLogonControl::Outcome::kIgnored);
    EXPECT_FALSE(control.Online());
    EXPECT_EQ(launcher.Launches().back(), (std::vector<std::string>{"-exit"}));
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
        if (ParseHttpRequest(bad, &r, &error) != HttpParse::kComplete) continue;
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

    EXPECT_EQ(control.Handle(Parse("GET /logoff?sessid=77 HTTP/1.1\r\n\r\n")),
              WebLogonControl::Outcome::kStarted);
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
    const std::string request = kLogon;
    ASSERT_EQ(::send(fd, request.data(), 20, MSG_NOSIGNAL), 20);
    ASSERT_EQ(::send(fd, request.data() + 20, request.size() - 20, MSG_NOSIGNAL),
              static_cast<ssize_t>(request.size() - 20));
    EXPECT_TRUE(ClosedByServer(fd)) << "the server did not drop the connection of a complete logon";
    connection.Reset();
    EXPECT_TRUE(
        testsupport::WaitFor("the client to be started", [&] { return launcher.Launches().size() == 1; }));

    const platform::UniqueFd badConnection(testsupport::ConnectLoopback(server.Port()));
    const int bad = badConnection.Get();
    ASSERT_GE(bad, 0);
    const std::string oversized = "GET /" + std::string(kMaxHttpHead + 10, 'a');
    (void)::send(bad, oversized.data(), oversized.size(), MSG_NOSIGNAL);
    EXPECT_TRUE(ClosedByServer(bad)) << "an endless head was not cut off";
    server.Stop();
    EXPECT_EQ(launcher.Launches().size(), 1u);
}

}  // namespace
}  // namespace service
