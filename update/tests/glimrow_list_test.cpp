// The update list, versions and the package format, without a server.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "glimrow/glimrow.h"
#include "https_server.h"
#include "platform/machine_root.h"
#include "testsupport/temp_root.h"

namespace {

const char* kInfo =
    "[UpdateInfo]\r\nVersion=3.1.0.12\r\nMinVersion=3.0.0.0\r\nVersionDescript=New client\r\n"
    "ForceUpdate=no\r\nNeedReboot=YES\r\nNeedUninstall=no\r\nUpdatePackURL=/download/pack.dat\r\n";

class ListTest : public ::testing::Test {
protected:
    void Write(const std::string& text) {
        std::ofstream(m_root.Path() + "/UpdateList.txt", std::ios::binary) << text;
    }
    std::string Dir() const { return m_root.Path() + "/"; }
    std::vector<std::string> Entries(CGlimrow& g, unsigned long bit) {
        std::vector<std::string> out;
        const char* p = g.GetFileList(bit);
        while (p && *p) {
            out.emplace_back(p);
            p += std::strlen(p) + 1;
        }
        return out;
    }
    unsigned long Parse(CGlimrow& g) {
        char name[] = "UpdateList.txt";
        return g.ParseUpdate(name);
    }
    testsupport::TempRoot m_root{"qel-updlist"};
};

TEST_F(ListTest, ReadsTheInfoAndMapsEveryKindOfTarget) {
    Write(std::string(kInfo) +
          "[AppList]\r\nVornClient=%app%\\VornClient\r\nlib.so=sub\\lib.so\r\nplain\r\n"
          "[DrvList]\r\nOlvane=%SYS%\\Olvane\r\n[LspList]\r\n[SrvList]\r\n");
    CGlimrow g(Dir().c_str());
    ASSERT_EQ(Parse(g), 0u);
    EXPECT_STREQ(g.GetUpdateVersion(), "3.1.0.12");
    EXPECT_STREQ(g.GetUpdateInfo(), "New client");
    EXPECT_EQ(g.IsNeedReboot(), 1);
    EXPECT_EQ(g.IsForceUpdate(), 0);
    unsigned long mask = 0;
    ASSERT_EQ(g.GetUpdateComps(&mask), 0u);
    EXPECT_EQ(mask, UPDATE_COMP_APP | UPDATE_COMP_DRV);
    EXPECT_EQ(Entries(g, UPDATE_COMP_APP),
              (std::vector<std::string>{"VornClient=" + Dir() + "VornClient",
                                        "lib.so=" + Dir() + "sub/lib.so", "plain=" + Dir() + "plain"}));
    EXPECT_EQ(Entries(g, UPDATE_COMP_DRV),
              (std::vector<std::string>{"Olvane=" + platform::MachineRoot() + "/system/Olvane"}));
    EXPECT_EQ(g.GetFileList(UPDATE_COMP_LSP), nullptr);
    EXPECT_EQ(g.GetFileList(3), nullptr);

    unsigned long size = 3;
    char small[4];
    EXPECT_EQ(g.GetUpdateInfo(small, &size), ERROR_UPD_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 10u);
    char big[32];
    size = sizeof(big);
    EXPECT_EQ(g.GetUpdateInfo(big, &size), 0u);
    EXPECT_STREQ(big, "New client");
}

TEST_F(ListTest, EveryMalformedListIsRefusedWithItsCode) {
    CGlimrow g(Dir().c_str());
    EXPECT_EQ(Parse(g), ERROR_UPD_INI) << "no file";
    std::string info(kInfo);
    std::string noUrl = info.substr(0, info.find("UpdatePackURL"));
    Write(noUrl);
    EXPECT_EQ(Parse(g), ERROR_UPD_INI) << "without UpdatePackURL";
    Write(noUrl + "UpdatePackURL=\r\n");
    EXPECT_EQ(Parse(g), ERROR_UPD_INI) << "empty UpdatePackURL";
    // Names and targets that would leave their folders.
    for (const char* line :
         {"../x=x", "a/b=x", "..=x", "x=%app%\\..\\..\\etc\\passwd", "x=..\\y", "x=%sys%\\"}) {
        Write(info + "[AppList]\r\n" + line + "\r\n");
        EXPECT_EQ(Parse(g), ERROR_UPD_INI) << line;
        EXPECT_EQ(g.GetFileList(UPDATE_COMP_APP), nullptr);
    }
    // A list larger than its buffer fails instead of being cut.
    std::string lsp = info + "[LspList]\r\n";
    for (int i = 0; i < 200; ++i)
        lsp += "file" + std::to_string(i) + "=%app%\\file" + std::to_string(i) + "\r\n";
    Write(lsp);
    EXPECT_EQ(Parse(g), ERROR_UPD_BUFFER_TOO_SMALL);
    // Bad arguments.
    char bad[] = "../UpdateList.txt";
    EXPECT_EQ(g.ParseUpdate(bad), ERROR_UPD_BAD_ARGUMENT);
    EXPECT_EQ(g.ParseUpdate(nullptr), ERROR_UPD_BAD_ARGUMENT);
    unsigned long mask = 0;
    EXPECT_EQ(g.GetUpdateComps(&mask), ERROR_UPD_BAD_ARGUMENT) << "no list after a failed parse";
}

TEST_F(ListTest, CheckUpdateComparesDottedNumbersAndMarksAFullSetup) {
    Write(kInfo);
    CGlimrow g(Dir().c_str());
    EXPECT_EQ(g.CheckUpdate("1.0.0.0"), 0) << "no list yet";
    ASSERT_EQ(Parse(g), 0u);
    EXPECT_EQ(g.CheckUpdate("3.1.0.12"), 0);
    EXPECT_EQ(g.CheckUpdate("3.1.0.13"), 0);
    EXPECT_EQ(g.CheckUpdate("3.2"), 0);
    EXPECT_EQ(g.CheckUpdate("3.1.0.9"), 1) << "12 > 9 as numbers, not as text";
    EXPECT_EQ(g.IsNeedUninst(), 0);
    EXPECT_EQ(g.CheckUpdate("3.0"), 1) << "3.0 equals the minimum 3.0.0.0";
    EXPECT_EQ(g.IsNeedUninst(), 0);
    EXPECT_EQ(g.CheckUpdate("2.9.9.9"), 1);
    EXPECT_EQ(g.IsNeedUninst(), 1);
    std::ifstream in(Dir() + "UpdateList.txt");
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("NeedUninstall=yes"), std::string::npos);
}

TEST(Version, PartsAreReadWithRangeChecks) {
    std::uint32_t v[4];
    ASSERT_TRUE(ParseVersion("3.1.0.12", v));
    EXPECT_EQ((std::vector<std::uint32_t>(v, v + 4)), (std::vector<std::uint32_t>{3, 1, 0, 12}));
    ASSERT_TRUE(ParseVersion("6.3.01", v));
    EXPECT_EQ((std::vector<std::uint32_t>(v, v + 4)), (std::vector<std::uint32_t>{6, 3, 1, 0}));
    ASSERT_TRUE(ParseVersion("4294967295.2147483648.0.0", v));
    EXPECT_EQ(v[0], 4294967295u);
    EXPECT_EQ(v[1], 2147483648u);
    for (const char* bad : {"", ".", "3.", "3..1", ".3", "3.1.0.0.0", "3.1.0.0.", "-1.0", "+1.0", " 3.1",
                            "3.1 ", "3.1a", "4294967296", "1.99999999999999999999", "0x10.0"}) {
        v[0] = 7;
        EXPECT_FALSE(ParseVersion(bad, v)) << bad;
        EXPECT_EQ(v[0], 0u) << bad;
    }
    EXPECT_FALSE(ParseVersion(nullptr, v));
}

TEST_F(ListTest, HugeVersionPartsCompareAsNumbersOrAreRefused) {
    std::string info(kInfo);
    const std::string old = "Version=3.1.0.12";
    // Beyond the signed range: newer than 3.1.0.0, never wrapped to an older one.
    Write(std::string(info).replace(info.find(old), old.size(), "Version=2147483648.0.0"));
    CGlimrow g(Dir().c_str());
    ASSERT_EQ(Parse(g), 0u);
    EXPECT_EQ(g.CheckUpdate("3.1.0.0"), 1);
    EXPECT_EQ(g.CheckUpdate("2147483648.0.0.1"), 0);
    EXPECT_EQ(g.CheckUpdate("4294967295.0.0.0"), 0);
    // A client version that is no version offers no update.
    Write(kInfo);
    ASSERT_EQ(Parse(g), 0u);
    EXPECT_EQ(g.CheckUpdate("2147483648.0.0.0"), 0) << "the client is newer";
    EXPECT_EQ(g.CheckUpdate("99999999999.0.0.0"), 0) << "no version";
    EXPECT_EQ(g.CheckUpdate("3.1.0.11"), 1);
    // Lists whose versions are no versions, or longer than their 15 characters, are refused.
    for (const char* bad :
         {"Version=4294967296.0.0", "Version=2147483648.0.0.0", "Version=3.1.x", "MinVersion=3.0.0.0.0"}) {
        std::string line(bad);
        std::string key = line.substr(0, line.find('=') + 1);
        std::size_t at = info.find("\n" + key) + 1;
        std::string list = info;
        list.replace(at, list.find("\r", at) - at, line);
        Write(list);
        EXPECT_EQ(Parse(g), ERROR_UPD_INI) << bad;
    }
}

// Random and cut lists: refused or read, never a crash, and whatever is read stays in its folders.
TEST_F(ListTest, RandomAndTruncatedListsAreReadOrRefusedSafely) {
    const std::string good =
        std::string(kInfo) +
        "[AppList]\r\nVornClient=%app%\\VornClient\r\n[DrvList]\r\nOlvane=%sys%\\Olvane\r\n";
    CGlimrow g(Dir().c_str());
    std::uint32_t seed = 12345;
    auto next = [&] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 8;
    };
    auto check = [&](const std::string& text) {
        Write(text);
        if (Parse(g) != 0) return;
        std::uint32_t v[4];
        EXPECT_TRUE(ParseVersion(g.GetUpdateVersion(), v)) << g.GetUpdateVersion();
        for (unsigned long bit : {UPDATE_COMP_APP, UPDATE_COMP_LSP, UPDATE_COMP_DRV, UPDATE_COMP_SRV})
            for (const std::string& e : Entries(g, bit)) {
                std::string target = e.substr(e.find('=') + 1);
                EXPECT_TRUE(target.rfind(Dir(), 0) == 0 ||
                            target.rfind(platform::MachineRoot() + "/system/", 0) == 0)
                    << e;
                EXPECT_EQ(target.find(".."), std::string::npos) << e;
            }
    };
    for (std::size_t cut = 0; cut <= good.size(); ++cut) check(good.substr(0, cut));
    for (int round = 0; round < 300; ++round) {
        std::string text = good;
        for (int flips = 1 + next() % 8; flips > 0; --flips) {
            const char pool[] = "=.[]\r\n\\/%0123456789xX.";
            text[next() % text.size()] =
                next() % 2 ? pool[next() % (sizeof(pool) - 1)] : static_cast<char>(next());
        }
        check(text);
    }
    // Versions of random characters: parsed or refused, a parsed one read back exactly.
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        for (auto n = next() % 24; n > 0; --n) text += "0123456789..-x"[next() % 14];
        std::uint32_t v[4];
        if (!ParseVersion(text.c_str(), v)) continue;
        std::string back;
        std::size_t parts = 1 + static_cast<std::size_t>(std::count(text.begin(), text.end(), '.'));
        for (std::size_t i = 0; i < parts; ++i) back += (i ? "." : "") + std::to_string(v[i]);
        std::string canonical;
        std::istringstream in(text);
        for (std::string part; std::getline(in, part, '.');)
            canonical += (canonical.empty() ? "" : ".") + std::to_string(std::stoull(part));
        EXPECT_EQ(back, canonical) << text;
    }
}

TEST_F(ListTest, ServerAddressRoundTrips) {
    Write(kInfo);
    CGlimrow g(Dir().c_str());
    char file[] = "UpdateList.txt", host[] = "gw.example", back[300] = {};
    ASSERT_EQ(g.SetServerAddr(file, host, 4433), 0u);
    unsigned short port = 0;
    ASSERT_EQ(g.GetServerAddr(file, back, &port), 0u);
    EXPECT_STREQ(back, "gw.example");
    EXPECT_EQ(port, 4433);
    ASSERT_EQ(Parse(g), 0u) << "the list still parses";
}

// --- the package ---

using updatetest::UpdatePack;

class PackTest : public ListTest {
protected:
    unsigned long Extract(const std::string& bytes) {
        std::ofstream(Dir() + "UpdatePack.dat", std::ios::binary) << bytes;
        CGlimrow g(Dir().c_str());
        std::string pack = Dir() + "UpdatePack.dat", dir = Dir() + "UpdateDir";
        return g.ExtractPackedFiles(pack.data(), dir.data());
    }
    std::string Read(const std::string& name) {
        std::ifstream in(Dir() + "UpdateDir/" + name, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
};

TEST_F(PackTest, UnpacksFilesOfEverySize) {
    ASSERT_EQ(Extract(UpdatePack({{"a.bin", "abc"}, {"empty", ""}, {"c", std::string(20000, 'z')}})), 0u);
    EXPECT_EQ(Read("a.bin"), "abc");
    EXPECT_TRUE(std::filesystem::exists(Dir() + "UpdateDir/empty"));
    EXPECT_EQ(Read("empty"), "");
    EXPECT_EQ(Read("c"), std::string(20000, 'z'));
}

TEST_F(PackTest, NamesThatLeaveTheFolderAreRefusedBeforeAnythingIsWritten) {
    for (const char* name : {"../x", "..", "a/b", "/etc/x", "a\\b"}) {
        EXPECT_EQ(Extract(UpdatePack({{"good", "1"}, {name, "2"}})), ERROR_UPD_BAD_ARGUMENT) << name;
        EXPECT_FALSE(std::filesystem::exists(Dir() + "UpdateDir/good")) << name;
        EXPECT_FALSE(std::filesystem::exists(Dir() + "x"));
    }
}

TEST_F(PackTest, ShortAndBrokenPackagesFailWithTheirCodes) {
    std::string full = UpdatePack({{"a", "abcdef"}});
    EXPECT_EQ(Extract(full.substr(0, full.size() - 2)), ERROR_UPD_READ_FILE) << "body cut";
    EXPECT_EQ(Extract(full.substr(0, 300)), ERROR_UPD_READ_FILE) << "header cut";
    EXPECT_EQ(Extract("ab"), ERROR_UPD_READ_FILE);
    EXPECT_EQ(Extract(std::string("\x02\0\0\0", 4)), ERROR_UPD_READ_FILE) << "length below its own field";
    EXPECT_EQ(Extract(std::string("\xff\xff\xff\x7f", 4)), ERROR_UPD_READ_FILE) << "huge header";
    // A header shorter than the names' offset holds no names: nothing to unpack.
    EXPECT_EQ(Extract(UpdatePack({}, 100)), 0u);
    CGlimrow g(Dir().c_str());
    std::string missing = Dir() + "none.dat", dir = Dir() + "UpdateDir";
    EXPECT_EQ(g.ExtractPackedFiles(missing.data(), dir.data()), ERROR_UPD_CREATE_FILE);
}

}  // namespace
