#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <mutex>
#include <string>
#include <vector>

#include "platform/debug_output.h"
#include "test_dirs.h"
#include "util/flat_config.h"

namespace {

std::string Get(void* config, const char* section, const char* key) {
    char value[256];
    int length = sizeof(value);
    if (GetConfig(config, section, key, value, &length) != 1) return "<none>";
    return value;
}

std::string Dump(void* config) {
    char* data = nullptr;
    std::size_t size = 0;
    FILE* stream = open_memstream(&data, &size);
    DumpConfig(config, stream);
    std::fclose(stream);
    std::string text(data, size);
    std::free(data);
    return text;
}

class FlatConfigTest : public ::testing::Test {
protected:
    void* Open(const std::string& content) {
        WriteFile(dir.File("app.conf"), content);
        return OpenConfig(dir.File("app.conf").c_str());
    }
    TempDir dir;
};

TEST_F(FlatConfigTest, NullAndMissingFiles) {
    EXPECT_EQ(OpenConfig(nullptr), nullptr);
    unsetenv("APP_HOME");
    EXPECT_EQ(OpenConfig(dir.File("absent.conf").c_str()), nullptr);
    EXPECT_EQ(CloseConfig(nullptr), 0);
    EXPECT_EQ(DumpConfig(nullptr, stdout), 0);
}

TEST_F(FlatConfigTest, AppHomeIsTheSecondPlaceToLook) {
    WriteFile(dir.File("rel.conf"), "[s]\nk=v\n");
    setenv("APP_HOME", dir.Path().c_str(), 1);
    void* config = OpenConfig("rel.conf");
    unsetenv("APP_HOME");
    ASSERT_NE(config, nullptr);
    EXPECT_EQ(Get(config, "s", "k"), "v");
    CloseConfig(config);
}

TEST_F(FlatConfigTest, SpacingVariantsGiveTheSameEntry) {
    void* config = Open("[net]\nserver=gw\n[net2]\n  server   =   gw   \r\n[net3]\nserver gw\n");
    ASSERT_NE(config, nullptr);
    EXPECT_EQ(Get(config, "net", "server"), "gw");
    EXPECT_EQ(Get(config, "net2", "server"), "gw");
    EXPECT_EQ(Get(config, "net3", "server"), "<none>");  // no equals sign: ignored
    CloseConfig(config);
}

TEST_F(FlatConfigTest, CommentsHeadersAndOrphans) {
    std::mutex lock;
    std::vector<std::string> reports;
    platform::SetDebugOutputCapture([&](std::string_view text) {
        std::lock_guard<std::mutex> guard(lock);
        reports.emplace_back(text);
    });
    void* config = Open(
        "orphan=dropped\n"
        "# comment\n"
        "\t# indented comment\n"
        "[ spaced ] trailing\n"
        "a = 1\n"
        "[broken\n"
        "b = lost\n"
        "[]\n"
        "c = lost too\n"
        "[Case]\n"
        "Key = value with = sign\n"
        "=novalue\n"
        "empty =\n");
    ASSERT_NE(config, nullptr);
    EXPECT_EQ(Get(config, "spaced", "a"), "1");
    EXPECT_EQ(Get(config, "broken", "b"), "<none>");
    EXPECT_EQ(Get(config, "Case", "Key"), "value with = sign");
    EXPECT_EQ(Get(config, "case", "Key"), "<none>");  // case-sensitive
    EXPECT_EQ(Get(config, "Case", "empty"), "");
    EXPECT_EQ(Dump(config), "[spaced]\na = 1\n[Case]\nKey = value with = sign\nempty = \n");
    CloseConfig(config);
    platform::SetDebugOutputCapture({});
    // Every skipped line is reported with its number.
    std::string all;
    for (const std::string& r : reports) all += r;
    EXPECT_NE(all.find("line 1: entry outside a section"), std::string::npos) << all;
    EXPECT_NE(all.find("line 6: malformed section header"), std::string::npos) << all;
    EXPECT_NE(all.find("line 8: malformed section header"), std::string::npos) << all;
    EXPECT_NE(all.find("line 12: not a key = value line"), std::string::npos) << all;
}

TEST_F(FlatConfigTest, OverlongLineIsDroppedWhole) {
    std::string line = "k=" + std::string(5000, 'x') + "[evil]" + " tail = injected";
    void* config = Open("[s]\n" + line + "\nafter = ok\n");
    ASSERT_NE(config, nullptr);
    EXPECT_EQ(Get(config, "s", "after"), "ok");
    EXPECT_EQ(Dump(config), "[s]\nafter = ok\n");
    CloseConfig(config);
    // 4095 characters are still a line.
    std::string fits = "k=" + std::string(4093, 'y');
    config = Open("[s]\n" + fits + "\n");
    char value[5000];
    int length = sizeof(value);
    EXPECT_EQ(GetConfig(config, "s", "k", value, &length), 1);
    EXPECT_EQ(length, 4093);
    CloseConfig(config);
}

TEST_F(FlatConfigTest, GetConfigBufferLengthRules) {
    void* config = CreateConfig();
    ASSERT_NE(config, nullptr);
    ASSERT_EQ(SetConfig(config, "s", "k", "12345"), 1);
    char value[16];
    int length = 5;
    EXPECT_EQ(GetConfig(config, "s", "k", value, &length), 0);
    EXPECT_EQ(length, 5);
    length = 6;
    EXPECT_EQ(GetConfig(config, "s", "k", value, &length), 1);
    EXPECT_STREQ(value, "12345");
    EXPECT_EQ(length, 5);
    length = 6;
    EXPECT_EQ(GetConfig(config, "s", "missing", value, &length), 0);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(GetConfig(config, nullptr, "k", value, &length), 0);
    EXPECT_EQ(SetConfig(config, "s", nullptr, "v"), 0);
    CloseConfig(config);
}

TEST_F(FlatConfigTest, SetExistingKeyMovesItLast) {
    void* config = Open("[s]\na = 1\nb = 2\n");
    ASSERT_EQ(SetConfig(config, "s", "a", "3"), 1);
    ASSERT_EQ(SetConfig(config, "new", "x", "y"), 1);
    EXPECT_EQ(Dump(config), "[s]\nb = 2\na = 3\n[new]\nx = y\n");
    CloseConfig(config);
}

// Outside input: random bytes, config-like noise and every truncation of a valid file must parse
// without fault, and whatever was read must dump and read back the same.
TEST_F(FlatConfigTest, FuzzRandomAndTruncatedInput) {
    std::mt19937 rng(20261209);
    const std::string alphabet = "[]= \t\r\n#abcXYZ019_.\"'\\";
    const std::string valid =
        "[Main]\nServer = gw.example\nPort=443\n# c\n[Proxy]\n  Host =  198.51.100.1  \r\n";
    std::vector<std::string> inputs;
    for (std::size_t cut = 0; cut <= valid.size(); ++cut) inputs.push_back(valid.substr(0, cut));
    for (int i = 0; i < 300; ++i) {
        std::string noise(rng() % 600, '\0');
        bool binary = i % 3 == 0;
        for (char& c : noise) {
            c = binary ? static_cast<char>(rng() & 0xFF) : alphabet[rng() % alphabet.size()];
        }
        if (i % 10 == 0) noise += std::string(4100 + rng() % 100, 'k');
        inputs.push_back(noise);
    }
    for (const std::string& input : inputs) {
        void* config = Open(input);
        ASSERT_NE(config, nullptr);
        std::string dumped = Dump(config);
        CloseConfig(config);
        // Dumping is a fixed point: what was understood survives a second round.
        void* again = Open(dumped);
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(Dump(again), dumped);
        CloseConfig(again);
    }
}

}  // namespace
