#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
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
    ParseHistoryIni(FormatHistoryIni(h), &back);
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
    // A value the Windows client writes for "secret": the key's first bytes XORed, Base64.
    EXPECT_EQ(ScramblePassword("secret"), "DUZCMk8l");
    EXPECT_EQ(UnscramblePassword("DUZCMk8l"), "secret");
    // An old plain value (it was kept as it stood when longer than the key) reads as it is.
    const std::string oldPlain(60, '!');
    EXPECT_EQ(UnscramblePassword(oldPlain), oldPlain);
}

TEST(GatewayHistory, FilesOfTheOldLayoutRead) {
    // As the Windows client writes it: CR LF, five keys, the count last; spaces and quotes tolerated.
    const std::string text =
        "[History0]\r\nServerAddr=vpn.example.com:443\r\nQelUsername=alice\r\nQelPassword=DUZCMk8l\r\n"
        "RemPasswd=1\r\nAutoLogon=0\r\n[history1]\r\nserveraddr = \"10.1.1.1\"\r\nQelUsername=bob\r\n"
        "QelPassword=\r\nRemPasswd=0\r\nAutoLogon=0\r\n; a comment\r\n[Count]\r\nHistoryCount=2\r\n";
    GatewayHistory h;
    std::vector<std::string> skipped;
    ParseHistoryIni(text, &h, &skipped);
    EXPECT_TRUE(skipped.empty());
    ASSERT_EQ(h.Count(), 2);
    EXPECT_EQ(h[0].server, "vpn.example.com:443");
    EXPECT_EQ(UnscramblePassword(h[0].password), "secret");
    EXPECT_TRUE(h[0].remember);
    EXPECT_EQ(h[1].server, "10.1.1.1");
    EXPECT_EQ(h[1].user, "bob");
    // Only HistoryCount records are taken; more than five counts as five.
    ParseHistoryIni("[History0]\nQelUsername=a\n[History1]\nQelUsername=b\n[Count]\nHistoryCount=1\n", &h);
    EXPECT_EQ(h.Count(), 1);
    ParseHistoryIni("[History0]\nQelUsername=a\n[Count]\nHistoryCount=99\n", &h);
    EXPECT_EQ(h.Count(), 1);
    ParseHistoryIni("[History0]\nQelUsername=a\n[History1]\nQelUsername=b\n[Count]\nHistoryCount=0\n", &h);
    EXPECT_EQ(h.Count(), 0);
}

// The five records of a full history, as FormatHistoryIni writes them.
std::string FullFile() {
    GatewayHistory full;
    for (int i = kHistorySize - 1; i >= 0; --i) full.Update(Rec("gw" + std::to_string(i)));
    return FormatHistoryIni(full);
}

void ExpectAllFive(const GatewayHistory& h, const std::string& what) {
    ASSERT_EQ(h.Count(), kHistorySize) << what;
    for (int i = 0; i < kHistorySize; ++i) {
        EXPECT_EQ(h[i].server, "gw" + std::to_string(i)) << what;
        EXPECT_EQ(UnscramblePassword(h[i].password), "pw-u") << what;
        EXPECT_TRUE(h[i].remember) << what;
    }
}

TEST(GatewayHistory, AStrayLineCostsNoRecord) {
    const std::string whole = FullFile();
    const std::string strays[] = {
        "junk\r\n",
        "[History0\r\n",
        "=x\r\n",
        std::string("Qel\0Username=zz\r\n", 17),
        std::string("\xff\xfe\0garbage\r\n", 12),
    };
    // Before the first section, between every two lines, and at the end.
    for (const std::string& stray : strays) {
        for (std::size_t at = 0; at <= whole.size(); at = whole.find('\n', at) + 1) {
            GatewayHistory h;
            ParseHistoryIni(whole.substr(0, at) + stray + whole.substr(at), &h);
            ExpectAllFive(h, "stray at " + std::to_string(at) + ": " + stray);
            if (at == whole.size()) break;
        }
    }
    // A key given again after a record's own lines changes nothing (the first value counts).
    for (const std::string stray : {"ServerAddr=hijack\r\n", "RemPasswd=0\r\n", "QelPassword=\r\n"}) {
        for (std::size_t at = whole.find("[History1]"); at != std::string::npos;
             at = whole.find("[History", at + 1)) {
            GatewayHistory h;
            ParseHistoryIni(whole.substr(0, at) + stray + whole.substr(at), &h);
            ExpectAllFive(h, "repeat at " + std::to_string(at) + ": " + stray);
        }
    }
}

TEST(GatewayHistory, ValuesAreReadOneByOne) {
    std::vector<std::string> skipped;
    GatewayHistory h;
    // Over-long values are cut to their bound; the flags are integers as the INI readers take them.
    ParseHistoryIni("[History0]\nServerAddr=" + std::string(kHistoryServerMax + 40, 's') +
                        "\nQelUsername=" + std::string(kHistoryUserMax + 1, 'u') + "\nQelPassword=" +
                        std::string(kHistoryPasswordMax + 9, 'p') + "\nRemPasswd=2\nAutoLogon=yes\n" +
                        "[History1]\nQelUsername=b\nRemPasswd= 1x\nAutoLogon=-1\n" +
                        "[History2]\nQelUsername=c\nRemPasswd=0\nAutoLogon=999999999999\n",
                    &h, &skipped);
    ASSERT_EQ(h.Count(), 3);
    EXPECT_EQ(h[0].server, std::string(kHistoryServerMax, 's'));
    EXPECT_EQ(h[0].user, std::string(kHistoryUserMax, 'u'));
    EXPECT_EQ(h[0].password, std::string(kHistoryPasswordMax, 'p'));
    EXPECT_TRUE(h[0].remember);
    EXPECT_FALSE(h[0].autoLogon);
    EXPECT_TRUE(h[1].remember);
    EXPECT_TRUE(h[1].autoLogon);
    EXPECT_FALSE(h[2].remember);
    EXPECT_TRUE(h[2].autoLogon);
    EXPECT_EQ(skipped.size(), 3u);  // the three cuts
    EXPECT_EQ(skipped[0], "line 2: ServerAddr cut to 300 bytes");

    // A damaged or missing count reads every section; a record without a user name is dropped and
    // the ones after it move up.
    for (const char* count :
         {"", "[Count]\nHistoryCount=-1\n", "[Count]\nHistoryCount=many\n", "[Count]\nHistoryCount=\n"}) {
        ParseHistoryIni(std::string("[History0]\nServerAddr=lost\n[History1]\nQelUsername=b\nServerAddr=B\n"
                                    "[History3]\nQelUsername=d\nServerAddr=D\n") +
                            count,
                        &h);
        ASSERT_EQ(h.Count(), 2) << count;
        EXPECT_EQ(h[0].server, "B");
        EXPECT_EQ(h[1].server, "D");
    }
    // Keys after a header that cannot be read stay in the section before it, as repeats.
    ParseHistoryIni("[History0]\nQelUsername=a\nServerAddr=A\n[History1\nServerAddr=wrong\n", &h);
    ASSERT_EQ(h.Count(), 1);
    EXPECT_EQ(h[0].server, "A");
}

TEST(GatewayHistory, AnOversizedFileIsReadAsFarAsItGoes) {
    std::string text = FullFile();
    text += "; " + std::string(kHistoryFileMax, 'z') + "\n[History0]\nServerAddr=late\n";
    GatewayHistory h;
    std::vector<std::string> skipped;
    ParseHistoryIni(text, &h, &skipped);
    ExpectAllFive(h, "oversized");
    EXPECT_EQ(skipped.front(), "only the first 64 KiB read");
}

TEST(GatewayHistory, RecordsWithLineEndsAreNotWritten) {
    GatewayHistory h;
    h.Update(Rec("good"));
    h.Update(Rec("bad\r\n[Count]\r\nHistoryCount=5"));
    const std::string text = FormatHistoryIni(h);
    GatewayHistory back;
    ParseHistoryIni(text, &back);
    EXPECT_EQ(text.find("[History1]"), std::string::npos);
    EXPECT_NE(text.find("HistoryCount=1"), std::string::npos);
    ASSERT_EQ(back.Count(), 1);
    EXPECT_EQ(back[0].server, "good");
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

// Random lines of INI-ish text and every cut of a real file: whatever is read is a history that
// writes out and reads back the same, and a cut never loses the records before it.
TEST(GatewayHistory, RandomAndTruncatedInput) {
    std::mt19937 rng(105);
    const std::string pieces[] = {"[History",
                                  "[Count]",
                                  "]",
                                  "\r\n",
                                  "\n",
                                  "=",
                                  "ServerAddr",
                                  "QelUsername",
                                  "QelPassword",
                                  "RemPasswd",
                                  "AutoLogon",
                                  "HistoryCount",
                                  "1",
                                  "0",
                                  "7",
                                  "\"",
                                  " ",
                                  ";",
                                  "x",
                                  std::string(60, 'z'),
                                  "-",
                                  "\xc3",
                                  std::string(400, 'l')};
    auto roundTrips = [](const GatewayHistory& h) {
        GatewayHistory again;
        ParseHistoryIni(FormatHistoryIni(h), &again);
        if (again.Count() != h.Count()) return false;
        for (int i = 0; i < h.Count(); ++i)
            if (again[i].server != h[i].server || again[i].user != h[i].user ||
                again[i].password != h[i].password || again[i].remember != h[i].remember ||
                again[i].autoLogon != h[i].autoLogon)
                return false;
        return true;
    };
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        const int n = static_cast<int>(rng() % 40);
        for (int i = 0; i < n; ++i) text += pieces[rng() % std::size(pieces)];
        if (!text.empty() && rng() % 8 == 0) text[rng() % text.size()] = '\0';
        GatewayHistory h;
        ParseHistoryIni(text, &h);
        ASSERT_LE(h.Count(), kHistorySize);
        for (int i = 0; i < h.Count(); ++i) {
            EXPECT_LE(h[i].server.size(), kHistoryServerMax);
            EXPECT_LE(h[i].user.size(), kHistoryUserMax);
        }
        // Values with line ends cannot come out of a line, so every record is written again.
        EXPECT_TRUE(roundTrips(h)) << text;
    }
    const std::string whole = FullFile();
    int seen = 0;
    for (std::size_t cut = 0; cut <= whole.size(); ++cut) {
        GatewayHistory h;
        ParseHistoryIni(whole.substr(0, cut), &h);
        // Without the count at the end every complete section is read; a record is never lost
        // once its user name line is whole.
        EXPECT_GE(h.Count(), seen - 1) << cut;
        seen = std::max(seen, h.Count());
    }
    EXPECT_EQ(seen, kHistorySize);
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
