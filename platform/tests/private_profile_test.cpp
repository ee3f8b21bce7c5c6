// INI files: lookups, lists and their truncation, line ends, quotes, writing and deleting, and
// random input.
#include "platform/private_profile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "platform/errors.h"
#include "test_support.h"

namespace platform {
namespace {

class PrivateProfileTest : public ::testing::Test {
protected:
    testsupport::TempRoot root{"qel-platform"};
    std::string file = root.Path() + "/test.ini";

    void Write(const std::string& text) { std::ofstream(file, std::ios::binary) << text; }
    std::string Read() {
        std::ifstream in(file, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    std::string Get(const char* section, const char* key, const char* def = "dflt", DWORD size = 256) {
        std::vector<char> buf(size + 1, '#');
        DWORD n = GetPrivateProfileString(section, key, def, buf.data(), size, file.c_str());
        EXPECT_EQ(buf[n], '\0');
        return std::string(buf.data(), n);
    }
    static std::string List(const char* buf, DWORD n) { return std::string(buf, n); }
    // A list result: fewer characters than the buffer, and its end marked by two zeros inside it
    // (one zero when the buffer has room for only one character).
    static bool DoubleZeroWithin(const char* buf, DWORD n, DWORD size) {
        if (n >= size) {
            return false;
        }
        if (size == 1) {
            return buf[0] == '\0';
        }
        for (DWORD i = 0; i + 1 < size; ++i) {
            if (buf[i] == '\0' && buf[i + 1] == '\0') {
                return i <= n;
            }
        }
        return false;
    }
};

TEST_F(PrivateProfileTest, MissingFileSectionAndKeyGiveTheDefault) {
    EXPECT_EQ(Get("s", "k"), "dflt");
    EXPECT_EQ(Get("s", "k", "trailing   "), "trailing");
    EXPECT_EQ(Get("s", "k", nullptr), "");
    EXPECT_EQ(GetPrivateProfileInt("s", "k", 17, file.c_str()), 17u);
    Write("[other]\nk=1\n");
    EXPECT_EQ(Get("s", "k"), "dflt");
    EXPECT_EQ(Get("other", "missing"), "dflt");
    char buf[8] = "xxxxxxx";
    EXPECT_EQ(GetPrivateProfileString("s", "k", "d", buf, 0, file.c_str()), 0u);
    EXPECT_EQ(buf[0], 'x');
}

TEST_F(PrivateProfileTest, NamesAreCaseInsensitiveAndValuesTrimmedAndUnquoted) {
    Write(
        "\xEF\xBB\xBF; comment\r\n[Server]\r\n  Host = gw.example.test  \r\nPort=\t443\r\n"
        "Quoted=\"  spaced  \"\r\nSingle='x'\r\nHalf=\"open\r\nEmpty=\r\nNoEquals\r\n[ Two ]\r\nk=2\r\n");
    EXPECT_EQ(Get("server", "HOST"), "gw.example.test");
    EXPECT_EQ(Get("SERVER", "port"), "443");
    EXPECT_EQ(Get("Server", "Quoted"), "  spaced  ");
    EXPECT_EQ(Get("Server", "Single"), "x");
    EXPECT_EQ(Get("Server", "Half"), "\"open");
    EXPECT_EQ(Get("Server", "Empty"), "");
    EXPECT_EQ(Get("two", "k"), "2");
    EXPECT_EQ(Get(" two ", " K "), "2");
    EXPECT_EQ(GetPrivateProfileInt("server", "port", 0, file.c_str()), 443u);
    EXPECT_EQ(GetPrivateProfileInt("server", "empty", 9, file.c_str()), 9u);
    EXPECT_EQ(GetPrivateProfileInt("server", "host", 9, file.c_str()), 0u);

    char buf[256];
    DWORD n = GetPrivateProfileString("server", nullptr, "", buf, sizeof buf, file.c_str());
    EXPECT_EQ(List(buf, n + 1), std::string("Host\0Port\0Quoted\0Single\0Half\0Empty\0NoEquals\0\0", 45));
    n = GetPrivateProfileSectionNames(buf, sizeof buf, file.c_str());
    EXPECT_EQ(List(buf, n + 1), std::string("Server\0Two\0\0", 12));
    n = GetPrivateProfileSection("two", buf, sizeof buf, file.c_str());
    EXPECT_EQ(List(buf, n + 1), std::string("k=2\0\0", 5));
}

TEST_F(PrivateProfileTest, IntegersParseLikeTheWindowsCall) {
    Write("[n]\na=-5\nb=12abc\nc=99999999999\nd=\"7\"\ne=+3\n");
    EXPECT_EQ(static_cast<int>(GetPrivateProfileInt("n", "a", 0, file.c_str())), -5);
    EXPECT_EQ(GetPrivateProfileInt("n", "b", 0, file.c_str()), 12u);
    EXPECT_EQ(GetPrivateProfileInt("n", "c", 0, file.c_str()), 0x7fffffffu);
    EXPECT_EQ(GetPrivateProfileInt("n", "d", 0, file.c_str()), 7u);
    EXPECT_EQ(GetPrivateProfileInt("n", "e", 0, file.c_str()), 3u);
}

TEST_F(PrivateProfileTest, TruncationFollowsTheSizeRules) {
    std::string longValue(5000, 'v');
    Write("[s]\nlong=" + longValue + "\nk1=a\nk2=b\n");
    EXPECT_EQ(Get("s", "long", "", 10), std::string(9, 'v'));  // size - 1
    EXPECT_EQ(Get("s", "long", "", 6000), longValue);
    EXPECT_EQ(Get("s", "long", "", 1), "");

    char buf[16];
    std::memset(buf, '#', sizeof buf);
    DWORD n = GetPrivateProfileString("s", nullptr, "", buf, 8, file.c_str());
    EXPECT_EQ(n, 6u);  // size - 2: the last name cut, then two zeros
    EXPECT_EQ(List(buf, 8), std::string("long\0k\0\0", 8));
    n = GetPrivateProfileString("s", nullptr, "", buf, 1, file.c_str());
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(buf[0], '\0');
    n = GetPrivateProfileSection("s", buf, 8, file.c_str());
    EXPECT_EQ(n, 6u);
    EXPECT_EQ(buf[6], '\0');
    EXPECT_EQ(buf[7], '\0');
    // An empty list is two zeros.
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(GetPrivateProfileString("none", nullptr, "", buf, sizeof buf, file.c_str()), 0u);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(buf[1], '\0');
}

TEST_F(PrivateProfileTest, WritingCreatesReplacesAndDeletes) {
    EXPECT_TRUE(WritePrivateProfileString("History", "Gateway1", "198.51.100.7", file.c_str()));
    EXPECT_EQ(Read(), "[History]\r\nGateway1=198.51.100.7\r\n");
    EXPECT_TRUE(WritePrivateProfileString("history", "GATEWAY1", "203.0.113.9", file.c_str()));
    EXPECT_TRUE(WritePrivateProfileString("HISTORY", "Gateway2", "x", file.c_str()));
    EXPECT_TRUE(WritePrivateProfileString(" Other ", " k ", "v", file.c_str()));
    EXPECT_EQ(Read(), "[History]\r\nGateway1=203.0.113.9\r\nGateway2=x\r\n[Other]\r\nk=v\r\n");

    EXPECT_TRUE(WritePrivateProfileString("history", "gateway1", nullptr, file.c_str()));
    EXPECT_EQ(Get("History", "Gateway1"), "dflt");
    EXPECT_TRUE(WritePrivateProfileString("HISTORY", nullptr, nullptr, file.c_str()));
    EXPECT_EQ(Read(), "[Other]\r\nk=v\r\n");
    EXPECT_TRUE(WritePrivateProfileString("Gone", "k", nullptr, file.c_str()));
    EXPECT_TRUE(WritePrivateProfileString("Gone", nullptr, nullptr, file.c_str()));

    std::string absent = root.Path() + "/absent.ini";
    EXPECT_TRUE(WritePrivateProfileString("s", nullptr, nullptr, absent.c_str()));
    EXPECT_FALSE(std::filesystem::exists(absent));
    EXPECT_FALSE(WritePrivateProfileString("s", "k", "v", (root.Path() + "/no/such/dir.ini").c_str()));
}

TEST_F(PrivateProfileTest, WritingKeepsTheFilesOwnStyle) {
    Write("; header\n[a]\nx=1\n\n[b]\ny=2\n");
    ::chmod(file.c_str(), 0600);
    EXPECT_TRUE(WritePrivateProfileString("a", "z", "3", file.c_str()));
    EXPECT_EQ(Read(), "; header\n[a]\nx=1\nz=3\n\n[b]\ny=2\n");
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(PrivateProfileTest, WritesThatWouldInjectLinesAreRefused) {
    EXPECT_FALSE(WritePrivateProfileString("s", "k", "v\r\n[evil]\r\nx=1", file.c_str()));
    EXPECT_FALSE(WritePrivateProfileString("s]", "k", "v", file.c_str()));
    EXPECT_FALSE(WritePrivateProfileString("s", "k=x", "v", file.c_str()));
    EXPECT_FALSE(WritePrivateProfileString("s", "[k", "v", file.c_str()));
    EXPECT_FALSE(WritePrivateProfileString("s", "", "v", file.c_str()));
    EXPECT_FALSE(WritePrivateProfileString(nullptr, "k", "v", file.c_str()));
    EXPECT_FALSE(std::filesystem::exists(file));
}

TEST_F(PrivateProfileTest, ConcurrentWritersLoseNothing) {
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < 10; ++i) {
                std::string key = "t" + std::to_string(t) + "k" + std::to_string(i);
                ASSERT_TRUE(WritePrivateProfileString("s", key.c_str(), "v", file.c_str())) << GetLastError();
            }
        });
    }
    for (auto& w : writers) {
        w.join();
    }
    std::vector<char> buf(4096);
    DWORD n =
        GetPrivateProfileString("s", nullptr, "", buf.data(), static_cast<DWORD>(buf.size()), file.c_str());
    int keys = 0;
    for (DWORD i = 0; i < n; ++i) {
        keys += buf[i] == '\0';
    }
    EXPECT_EQ(keys, 40);
}

TEST_F(PrivateProfileTest, RandomAndTruncatedFilesAreReadSafely) {
    std::mt19937 rng(4242);
    const std::string pieces[] = {"[", "]", "=", "\r\n", "\n", "\"", ";", " ", "s", "k", "v", "\0", "\xff"};
    for (int round = 0; round < 300; ++round) {
        std::string text;
        for (int n = static_cast<int>(rng() % 80); n > 0; --n) {
            text += pieces[rng() % (sizeof pieces / sizeof pieces[0])];
        }
        text.resize(rng() % (text.size() + 1));  // truncated anywhere
        Write(text);
        char buf[16];
        for (DWORD size : {1u, 2u, 3u, 16u}) {
            DWORD n = GetPrivateProfileString("s", "k", "d", buf, size, file.c_str());
            ASSERT_LT(n, size);
            ASSERT_EQ(buf[n], '\0');
            n = GetPrivateProfileString("s", nullptr, "", buf, size, file.c_str());
            ASSERT_TRUE(DoubleZeroWithin(buf, n, size));
            n = GetPrivateProfileSectionNames(buf, size, file.c_str());
            ASSERT_TRUE(DoubleZeroWithin(buf, n, size));
            n = GetPrivateProfileSection("s", buf, size, file.c_str());
            ASSERT_TRUE(DoubleZeroWithin(buf, n, size));
        }
        GetPrivateProfileInt("s", "k", 0, file.c_str());
        if (round % 10 == 0) {  // writes are slower (fsync): a sample of them
            ASSERT_TRUE(WritePrivateProfileString("s", "k", "v", file.c_str()));
            ASSERT_EQ(Get("s", "k"), "v");
        }
    }
}

}  // namespace
}  // namespace platform
