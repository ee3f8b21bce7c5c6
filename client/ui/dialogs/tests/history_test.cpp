#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <random>

#include "testsupport/temp_dir.h"
#include "vorn/dialogs/dialog_rules.h"
#include "vorn/dialogs/gateway_history.h"

namespace vorn {
namespace {

HistoryRecord Rec(const std::string& server, const std::string& user = "u", bool remember = true) {
    HistoryRecord r;
    r.server = server;
    r.user = user;
    r.remember = remember;
    r.password = remember ? ScramblePassword("pw-" + user) : "";
    return r;
}

TEST(GatewayHistory, AGatewayAgainMovesUpAndASixthDropsTheOldest) {
    GatewayHistory h;
    for (const char* s : {"a:443", "b:443", "c:443"}) h.Update(Rec(s));
    EXPECT_EQ(h.Count(), 3);
    EXPECT_EQ(h[0].server, "c:443");
    h.Update(Rec("a:443", "new"));
    EXPECT_EQ(h.Count(), 3);
    EXPECT_EQ(h[0].server, "a:443");
    EXPECT_EQ(h[0].user, "new");
    EXPECT_EQ(h[1].server, "c:443");
    EXPECT_EQ(h[2].server, "b:443");
    for (const char* s : {"d", "e", "f"}) h.Update(Rec(s));
    EXPECT_EQ(h.Count(), 5);
    EXPECT_EQ(h[0].server, "f");
    EXPECT_EQ(h[4].server, "c:443");  // b dropped out
    EXPECT_EQ(h.Find("b:443"), -1);
}

TEST(GatewayHistory, LongGatewayNamesAreFoundAgain) {
    const std::string longName = std::string(240, 'g') + ".example:8443";
    GatewayHistory h;
    h.Update(Rec(longName));
    h.Update(Rec("other"));
    h.Update(Rec(longName));
    EXPECT_EQ(h.Count(), 2);
    EXPECT_EQ(h[0].server, longName);
    // And still after a trip through the file.
    GatewayHistory back;
    std::string error;
    ASSERT_TRUE(ParseHistoryIni(FormatHistoryIni(h), &back, &error)) << error;
    EXPECT_EQ(back.Find(longName), 0);
}

TEST(GatewayHistory, FileRoundTripWithEveryPasswordLengthTheFieldTakes) {
    testsupport::TempDir dir;
    GatewayHistory h;
    std::vector<std::string> plain;
    for (int i = 0; i < kHistorySize; ++i) {
        HistoryRecord r = Rec("gw" + std::to_string(i) + ":443", "user" + std::to_string(i), i != 2);
        const std::string pw(static_cast<std::size_t>(1 + i * 15), static_cast<char>('a' + i));  // 1 .. 61
        plain.push_back(pw);
        if (r.remember) r.password = ScramblePassword(pw);
        r.autoLogon = i == 0;
        h.Update(r);
    }
    std::string error;
    ASSERT_TRUE(SaveHistoryFile(dir.Path(), h, &error)) << error;
    struct stat st {};
    ASSERT_EQ(::stat(dir.File(kHistoryFileName).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "scrambled passwords are in it";
    GatewayHistory back;
    ASSERT_TRUE(LoadHistoryFile(dir.Path(), &back, &error)) << error;
    ASSERT_EQ(back.Count(), kHistorySize);
    for (int i = 0; i < kHistorySize; ++i) {
        EXPECT_EQ(back[i].server, h[i].server);
        EXPECT_EQ(back[i].user, h[i].user);
        EXPECT_EQ(back[i].remember, h[i].remember);
        EXPECT_EQ(back[i].autoLogon, h[i].autoLogon);
        EXPECT_EQ(back[i].password, h[i].password);
    }
    // Most recent first: record 0 is the last one added (i = 4).
    EXPECT_EQ(UnscramblePassword(back[0].password), plain[4]);
    EXPECT_EQ(back[2].password, "");  // not remembered, not written
}

TEST(PasswordScrambling, EveryLengthComesBackAndStoredValuesStillRead) {
    for (std::size_t n = 0; n <= 63; ++n) {
        const std::string pw(n, static_cast<char>('A' + n % 26));
        EXPECT_EQ(UnscramblePassword(ScramblePassword(pw)), pw) << n;
    }
    // A value written by the original client for "secret": the key's first bytes XORed, Base64.
    EXPECT_EQ(ScramblePassword("secret"), "DUZCMk8l");
    EXPECT_EQ(UnscramblePassword("DUZCMk8l"), "secret");
    // An old plain value (it was kept as it stood when longer than the key) reads as it is.
    const std::string oldPlain(60, '!');
    EXPECT_EQ(UnscramblePassword(oldPlain), oldPlain);
}

TEST(GatewayHistory, FilesOfTheOldLayoutRead) {
    // As the original writes it: CR LF, five keys, the count last; spaces and quotes tolerated.
    const std::string text =
        "[History0]\r\nServerAddr=vpn.example.com:443\r\nQelUsername=alice\r\nQelPassword=DUZCMk8l\r\n"
        "RemPasswd=1\r\nAutoLogon=0\r\n[history1]\r\nserveraddr = \"10.1.1.1\"\r\nQelUsername=bob\r\n"
        "QelPassword=\r\nRemPasswd=0\r\nAutoLogon=0\r\n; a comment\r\n[Count]\r\nHistoryCount=2\r\n";
    GatewayHistory h;
    std::string error;
    ASSERT_TRUE(ParseHistoryIni(text, &h, &error)) << error;
    ASSERT_EQ(h.Count(), 2);
    EXPECT_EQ(h[0].server, "vpn.example.com:443");
    EXPECT_EQ(UnscramblePassword(h[0].password), "secret");
    EXPECT_TRUE(h[0].remember);
    EXPECT_EQ(h[1].server, "10.1.1.1");
    EXPECT_EQ(h[1].user, "bob");
    // Only HistoryCount records are taken; more than five counts as five; no count, no records.
    ASSERT_TRUE(ParseHistoryIni(
        "[History0]\nQelUsername=a\n[History1]\nQelUsername=b\n[Count]\nHistoryCount=1\n", &h, &error));
    EXPECT_EQ(h.Count(), 1);
    ASSERT_TRUE(ParseHistoryIni("[History0]\nQelUsername=a\n[Count]\nHistoryCount=99\n", &h, &error));
    EXPECT_EQ(h.Count(), 1);
    ASSERT_TRUE(ParseHistoryIni("[History0]\nQelUsername=a\n", &h, &error));
    EXPECT_EQ(h.Count(), 0);
}

TEST(GatewayHistory, MalformedFilesAreRefusedWithTheirLine) {
    const std::pair<std::string, std::string> cases[] = {
        {"ServerAddr=x\n", "line 1: key before any section"},
        {"[History0\n", "line 1: section without ']'"},
        {"[History0]\njunk\n", "line 2: neither a section nor a key"},
        {"[History0]\n=x\n", "line 2: empty key"},
        {"[History0]\nRemPasswd=yes\n", "line 2: RemPasswd is not 0 or 1"},
        {"[History0]\nAutoLogon=2\n", "line 2: AutoLogon is not 0 or 1"},
        {"[Count]\nHistoryCount=-1\n", "line 2: bad HistoryCount"},
        {"[Count]\nHistoryCount=\n", "line 2: bad HistoryCount"},
        {"[History0]\nServerAddr=" + std::string(kHistoryServerMax + 1, 'a') + "\n",
         "line 2: ServerAddr too long"},
        {"[History0]\nQelUsername=" + std::string(kHistoryUserMax + 1, 'a') + "\n",
         "line 2: QelUsername too long"},
        {"[History0]\nQelPassword=" + std::string(kHistoryPasswordMax + 1, 'a') + "\n",
         "line 2: QelPassword too long"},
        {std::string("[History0]\nQelUsername=a\0b\n", 26), "line 2: NUL byte"},
    };
    for (const auto& [text, why] : cases) {
        GatewayHistory h;
        h.Update(Rec("kept"));
        std::string error;
        EXPECT_FALSE(ParseHistoryIni(text, &h, &error)) << text;
        EXPECT_EQ(error, why);
        EXPECT_EQ(h.Count(), 1) << "a refused file leaves the history as it was";
    }
    GatewayHistory h;
    std::string error;
    EXPECT_FALSE(ParseHistoryIni(std::string(kHistoryFileMax + 1, ';'), &h, &error));
}

TEST(GatewayHistory, RecordsWithLineEndsAreNotWritten) {
    GatewayHistory h;
    h.Update(Rec("good"));
    h.Update(Rec("bad\r\n[Count]\r\nHistoryCount=5"));
    const std::string text = FormatHistoryIni(h);
    GatewayHistory back;
    std::string error;
    ASSERT_TRUE(ParseHistoryIni(text, &back, &error)) << error;
    EXPECT_EQ(text.find("[History0]"), std::string::npos);
    EXPECT_NE(text.find("[History1]"), std::string::npos);
    EXPECT_NE(text.find("HistoryCount=1"), std::string::npos);
}

TEST(GatewayHistory, MissingFileOrFolderIsNoHistory) {
    testsupport::TempDir dir;
    GatewayHistory h;
    std::string error;
    EXPECT_FALSE(LoadHistoryFile(dir.Path(), &h, &error));
    ASSERT_EQ(::mkdir(dir.File(kHistoryFileName).c_str(), 0700), 0);
    EXPECT_FALSE(LoadHistoryFile(dir.Path(), &h, &error));
    EXPECT_NE(error.find("not a file"), std::string::npos);
    EXPECT_FALSE(SaveHistoryFile(dir.Path() + "/missing", h, &error));
}

// Random lines of INI-ish text and every cut of a real file: accepted or refused with a reason.
TEST(GatewayHistory, RandomAndTruncatedInput) {
    std::mt19937 rng(105);
    const std::string pieces[] = {"[History",    "[Count]",   "]",          "\r\n",
                                  "\n",          "=",         "ServerAddr", "QelUsername",
                                  "QelPassword", "RemPasswd", "AutoLogon",  "HistoryCount",
                                  "1",           "0",         "7",          "\"",
                                  " ",           ";",         "x",          std::string(60, 'z')};
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        const int n = static_cast<int>(rng() % 40);
        for (int i = 0; i < n; ++i) text += pieces[rng() % std::size(pieces)];
        if (!text.empty() && rng() % 8 == 0) text[rng() % text.size()] = '\0';
        GatewayHistory h;
        std::string error;
        if (!ParseHistoryIni(text, &h, &error)) {
            EXPECT_FALSE(error.empty());
        } else {
            EXPECT_LE(h.Count(), kHistorySize);
        }
    }
    GatewayHistory full;
    for (int i = 0; i < kHistorySize; ++i) full.Update(Rec("gw" + std::to_string(i)));
    const std::string whole = FormatHistoryIni(full);
    for (std::size_t cut = 0; cut <= whole.size(); ++cut) {
        GatewayHistory h;
        std::string error;
        if (!ParseHistoryIni(whole.substr(0, cut), &h, &error)) {
            EXPECT_FALSE(error.empty()) << cut;
        }
    }
}

TEST(DialogRules, PortsAddressesAndSplits) {
    int port = 0;
    EXPECT_TRUE(ParsePort("1", &port));
    EXPECT_TRUE(ParsePort("65535", &port));
    EXPECT_EQ(port, 65535);
    for (const char* bad : {"", "0", "65536", "70000", "99999", "123456", "44 3", "-1", "443/", "+443"})
        EXPECT_FALSE(ParsePort(bad, &port)) << bad;
    EXPECT_TRUE(AddressCharsAllowed("vpn-1.example.com:443/"));
    EXPECT_FALSE(AddressCharsAllowed(""));
    EXPECT_FALSE(AddressCharsAllowed("vpn example"));
    EXPECT_FALSE(AddressCharsAllowed("vpn_x"));
    std::string host, portText;
    SplitHostPort("host:8080", &host, &portText, "0");
    EXPECT_EQ(host, "host");
    EXPECT_EQ(portText, "8080");
    SplitHostPort(":8080", &host, &portText, "0");  // a colon in front does not split
    EXPECT_EQ(host, ":8080");
    EXPECT_EQ(portText, "0");
    SplitHostPort("host", &host, &portText, "443");
    EXPECT_EQ(portText, "443");
}

}  // namespace
}  // namespace vorn
