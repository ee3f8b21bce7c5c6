#include <gtest/gtest.h>

#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "test_dirs.h"
#include "util/ini_reader.h"

namespace {

// Buffers for the two-call convention.
struct StringBuffers {
    StringBuffers(unsigned long count, unsigned long length) : storage(count, std::string(length, '\0')) {
        for (auto& s : storage) pointers.push_back(s.data());
    }
    std::vector<std::string> storage;
    std::vector<char*> pointers;
    std::string At(std::size_t i) const { return std::string(storage[i].c_str()); }
};

class IniReaderTest : public ::testing::Test {
protected:
    TempDir dir;
};

TEST_F(IniReaderTest, RelativeNameGoesToCurrentDirectoryAbsoluteIsKept) {
    TwIniReader absolute("/etc/some.ini");
    EXPECT_STREQ(absolute.FileName(), "/etc/some.ini");
    char cwd[512];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    TwIniReader relative("client.ini");
    EXPECT_EQ(std::string(relative.FileName()), std::string(cwd) + "/client.ini");
    std::string huge(2000, 'n');
    TwIniReader tooLong(huge.c_str());
    EXPECT_EQ(std::string(tooLong.FileName()).size(), TwIniReader::kPathSize - 1);
}

TEST_F(IniReaderTest, MissingFileGivesEmptyAnswers) {
    TwIniReader ini(dir.File("absent.ini").c_str());
    char value[32] = "unchanged";
    ini.GetKeyValue("Key", "Section", value, sizeof(value));
    EXPECT_STREQ(value, "");
    EXPECT_EQ(ini.SectionExists("Section"), 0);
    unsigned long count = 0, maxLength = 0;
    // No names at all: the answer still asks for room for one empty string.
    EXPECT_EQ(ini.GetSectionNames(nullptr, &count, &maxLength), 0);
    EXPECT_EQ(count, 0UL);
    EXPECT_EQ(maxLength, 1UL);
}

TEST_F(IniReaderTest, KeysSectionsAndCrLf) {
    WriteFile(dir.File("a.ini"),
              "[Main]\r\nServer = gw.example\r\nPort=443\r\n\r\n[Empty]\r\n[Other]\r\nx=1\r\n");
    TwIniReader ini(dir.File("a.ini").c_str());
    char value[64];
    ini.GetKeyValue("Server", "Main", value, sizeof(value));
    EXPECT_STREQ(value, "gw.example");
    ini.GetKeyValue("Port", "Main", value, sizeof(value));
    EXPECT_STREQ(value, "443");
    ini.GetKeyValue("Port", "Missing", value, sizeof(value));
    EXPECT_STREQ(value, "");
    EXPECT_EQ(ini.SectionExists("Main"), 1);
    EXPECT_EQ(ini.SectionExists("Empty"), 0);
    EXPECT_EQ(ini.SectionExists("Missing"), 0);
}

TEST_F(IniReaderTest, SectionNamesTwoCallConvention) {
    WriteFile(dir.File("b.ini"), "[One]\nk=v\n[Second]\nk=v\n[Third3]\nk=v\n");
    TwIniReader ini(dir.File("b.ini").c_str());
    unsigned long count = 0, maxLength = 0;
    EXPECT_EQ(ini.GetSectionNames(nullptr, &count, &maxLength), 0);
    EXPECT_EQ(count, 3UL);
    EXPECT_EQ(maxLength, 7UL);  // "Second"/"Third3" and the zero
    StringBuffers buffers(count, maxLength);
    ASSERT_EQ(ini.GetSectionNames(buffers.pointers.data(), &count, &maxLength), 1);
    EXPECT_EQ(buffers.At(0), "One");
    EXPECT_EQ(buffers.At(1), "Second");
    EXPECT_EQ(buffers.At(2), "Third3");
    // One buffer too short: asked again.
    unsigned long shortLength = maxLength - 1;
    EXPECT_EQ(ini.GetSectionNames(buffers.pointers.data(), &count, &shortLength), 0);
    EXPECT_EQ(shortLength, 7UL);
}

TEST_F(IniReaderTest, SectionDataWithLongLinesGrowsItsBuffer) {
    std::string content = "[Big]\n";
    for (int i = 0; i < 50; ++i) content += "key" + std::to_string(i) + "=" + std::string(400, 'v') + "\n";
    content += "long=" + std::string(9000, 'L') + "\n";
    WriteFile(dir.File("c.ini"), content);
    TwIniReader ini(dir.File("c.ini").c_str());
    unsigned long count = 0, maxLength = 0;
    ASSERT_EQ(ini.GetSectionData("Big", nullptr, &count, &maxLength), 0);
    EXPECT_EQ(count, 51UL);
    EXPECT_EQ(maxLength, 5UL + 9000 + 1);
    StringBuffers buffers(count, maxLength);
    ASSERT_EQ(ini.GetSectionData("Big", buffers.pointers.data(), &count, &maxLength), 1);
    EXPECT_EQ(buffers.At(0), "key0=" + std::string(400, 'v'));
    EXPECT_EQ(buffers.At(50), "long=" + std::string(9000, 'L'));
    char value[16];
    ini.GetKeyValue("long", "Big", value, sizeof(value));
    EXPECT_EQ(std::string(value), std::string(15, 'L'));  // cut to the buffer
}

TEST_F(IniReaderTest, SetKeyWritesAndCreates) {
    TwIniReader ini(dir.File("new.ini").c_str());
    EXPECT_NE(ini.SetKey("198.51.100.7", "Gateway", "History"), 0L);
    EXPECT_NE(ini.SetKey("2", "Count", "History"), 0L);
    EXPECT_NE(ini.SetKey("198.51.100.8", "Gateway", "History"), 0L);
    char value[64];
    ini.GetKeyValue("Gateway", "History", value, sizeof(value));
    EXPECT_STREQ(value, "198.51.100.8");
    EXPECT_EQ(ini.SectionExists("History"), 1);
    unsigned long count = 0, maxLength = 0;
    ini.GetSectionData("History", nullptr, &count, &maxLength);
    EXPECT_EQ(count, 2UL);
}

}  // namespace
