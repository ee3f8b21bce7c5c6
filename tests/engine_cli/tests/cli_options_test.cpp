// The options of qel_engine_client: command line, file and environment, and what is refused.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <random>

#include "cli_options.h"
#include "testsupport/temp_dir.h"

namespace qelcli {
namespace {

struct Env {
    Env() {
        unsetenv("QEL_CLIENT_PASSWORD");
        unsetenv("QEL_PROXY_PASSWORD");
    }
    ~Env() {
        unsetenv("QEL_CLIENT_PASSWORD");
        unsetenv("QEL_PROXY_PASSWORD");
    }
};

bool Parse(const std::vector<std::string>& args, CliOptions* o, std::string* error) {
    std::vector<const char*> argv(args.size() + 1, "qel_engine_client");
    for (std::size_t i = 0; i < args.size(); ++i) argv[i + 1] = args[i].c_str();
    return ParseCommandLine(static_cast<int>(argv.size()), argv.data(), o, error);
}

TEST(CliOptionsTest, CommandLineWithThePasswordFromTheEnvironment) {
    Env env;
    setenv("QEL_CLIENT_PASSWORD", "secret", 1);
    setenv("QEL_PROXY_PASSWORD", "pp", 1);
    CliOptions o;
    std::string error;
    ASSERT_TRUE(
        Parse({"-server", "198.51.100.1", "-port", "4433", "-user", "alice", "-proxy", "198.51.100.1:8888",
               "-proxy-user", "pu", "-timing", "lossMs=1500, keepAliveMs=250", "-logoff-after", "3"},
              &o, &error))
        << error;
    EXPECT_EQ(o.server, "198.51.100.1");
    EXPECT_EQ(o.port, 4433);
    EXPECT_EQ(o.user, "alice");
    EXPECT_EQ(o.password, "secret");
    EXPECT_EQ(o.proxyHost, "198.51.100.1");
    EXPECT_EQ(o.proxyPort, 8888);
    EXPECT_EQ(o.proxyUser, "pu");
    EXPECT_EQ(o.proxyPassword, "pp");
    EXPECT_EQ(o.timing.lossMs, 1500u);
    EXPECT_EQ(o.timing.keepAliveMs, 250u);
    EXPECT_EQ(o.timing.tlsHandshakeMs, 60000u) << "the rest keeps the real values";
    EXPECT_EQ(o.logoffAfterSeconds, 3);
}

TEST(CliOptionsTest, FileGivesEverythingAndItsPasswordWins) {
    Env env;
    setenv("QEL_CLIENT_PASSWORD", "from-env", 1);
    testsupport::TempDir dir("qel-cli");
    const std::string path = dir.Path() + "/client.conf";
    std::ofstream(path) << "# a session\nserver = gw.example\nport=443\nuser = bob\npassword = from-file\n"
                           "; proxy\nproxy = 203.0.113.7:3128\nproxy_user = p\nproxy_password = q\n"
                           "timing = relogonFastMs=100\nlogoff_after = 10\n";
    CliOptions o;
    std::string error;
    ASSERT_TRUE(Parse({"-config", path, "-port", "8443"}, &o, &error)) << error;
    EXPECT_EQ(o.server, "gw.example");
    EXPECT_EQ(o.port, 8443) << "later settings win";
    EXPECT_EQ(o.password, "from-file");
    EXPECT_EQ(o.proxyPassword, "q");
    EXPECT_EQ(o.timing.relogonFastMs, 100u);
    EXPECT_EQ(o.logoffAfterSeconds, 10);
}

TEST(CliOptionsTest, RefusalsNameWhatIsWrong) {
    Env env;
    setenv("QEL_CLIENT_PASSWORD", "secret", 1);
    struct Case {
        std::vector<std::string> args;
        const char* says;
    };
    const Case cases[] = {
        {{"-server", "a", "-user", "u", "-password", "x"}, "passwords are not taken from the command line"},
        {{"-server", "a"}, "-server and -user are required"},
        {{"-server", "a", "-user", "u", "-port", "70000"}, "port"},
        {{"-server", "a", "-user", "u", "-port"}, "missing value"},
        {{"-server", "a", "-user", "u", "-proxy", "gw:80"}, "proxy"},
        {{"-server", "a", "-user", "u", "-timing", "lossMs"}, "NAME=MS"},
        {{"-server", "a", "-user", "u", "-timing", "nosuchMs=5"}, "unknown name"},
        {{"-server", "a", "-user", "u", "-timing", "lossMs=-5"}, "milliseconds"},
        {{"-server", "a", "-user", "u", "-frobnicate", "1"}, "unknown setting"},
        {{"-server", "a", "-user", "u", "stray"}, "unexpected argument"},
        {{"-server", "a", "-user", "u", "-config", "/nonexistent/file"}, "cannot read"},
    };
    for (const Case& c : cases) {
        CliOptions o;
        std::string error;
        EXPECT_FALSE(Parse(c.args, &o, &error)) << c.says;
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
    }
    unsetenv("QEL_CLIENT_PASSWORD");
    CliOptions o;
    std::string error;
    EXPECT_FALSE(Parse({"-server", "a", "-user", "u"}, &o, &error));
    EXPECT_NE(error.find("no password"), std::string::npos);
    std::string lineError;
    EXPECT_FALSE(ParseConfigText("server = a\nthis is not a setting\n", &o, &lineError));
    EXPECT_EQ(lineError, "line 2: not a key = value line");
}

TEST(CliOptionsTest, RandomAndTruncatedFilesAreReadOrRefusedWithAReason) {
    const std::string sample =
        "server = gw\nport = 443\nuser = u\ntiming = lossMs=10,keepAliveMs=5\nproxy = 1.2.3.4:5\n";
    std::mt19937 random(7);
    for (std::size_t n = 0; n <= sample.size(); ++n) {
        CliOptions o;
        std::string error;
        const bool ok = ParseConfigText(sample.substr(0, n), &o, &error);
        EXPECT_TRUE(ok || !error.empty());
    }
    for (int i = 0; i < 3000; ++i) {
        std::string text(random() % 120, '\0');
        for (char& c : text) c = random() % 3 == 0 ? "=\n:,#"[random() % 5] : static_cast<char>(random());
        CliOptions o;
        std::string error;
        const bool ok = ParseConfigText(text, &o, &error);
        EXPECT_TRUE(ok || !error.empty());
        EXPECT_LE(o.server.size(), 255u);
    }
}

}  // namespace
}  // namespace qelcli
