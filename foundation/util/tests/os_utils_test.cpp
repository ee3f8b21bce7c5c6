#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "platform/debug_output.h"
#include "platform/errors.h"
#include "util/debug_print.h"
#include "util/last_error.h"
#include "util/os_utils.h"

namespace {

std::vector<std::string> Split(const char* line) {
    int argc = -1;
    char** argv = CommandLineToArgv(line, &argc);
    EXPECT_NE(argv, nullptr);
    std::vector<std::string> out;
    if (!argv) return out;
    for (int i = 0; i < argc; ++i) out.emplace_back(argv[i]);
    std::free(argv);
    return out;
}

using Args = std::vector<std::string>;

TEST(CommandLineToArgvTest, QuotedPairsAndEmptyArgument) {
    EXPECT_EQ(Split("word  'two words' \"\" last"), (Args{"word", "two words", "", "last"}));
}

TEST(CommandLineToArgvTest, EdgeCases) {
    EXPECT_EQ(Split(""), Args{});
    EXPECT_EQ(Split(nullptr), Args{});
    EXPECT_EQ(Split(" lead"), (Args{"", "lead"}));  // a leading space gives an empty first argument
    EXPECT_EQ(Split("a   "), (Args{"a"}));          // trailing spaces end the scan
    EXPECT_EQ(Split("ab\"cd\"ef x"), (Args{"ab\"cd\"ef", "x"}));  // quotes inside a word are ordinary
    EXPECT_EQ(Split("'unterminated quote"), (Args{"unterminated quote"}));
    EXPECT_EQ(Split("\"a 'b' c\" d"), (Args{"a 'b' c", "d"}));
    EXPECT_EQ(Split("''"), (Args{""}));
    EXPECT_EQ(Split("x\ty z"), (Args{"x\ty", "z"}));  // only spaces separate
}

TEST(CommandLineToArgvTest, ThirtyThirdArgumentStaysInThirtySecond) {
    std::string line;
    for (int i = 1; i <= 33; ++i) line += "a" + std::to_string(i) + (i < 33 ? " " : "");
    Args args = Split(line.c_str());
    ASSERT_EQ(args.size(), 32U);
    EXPECT_EQ(args[30], "a31");
    EXPECT_EQ(args[31], "a32 a33");
}

TEST(CommandLineToArgvTest, LongLineIsCopiedWhole) {
    std::string big(100000, 'z');
    Args args = Split((big + " tail").c_str());
    ASSERT_EQ(args.size(), 2U);
    EXPECT_EQ(args[0], big);
    EXPECT_EQ(args[1], "tail");
}

TEST(OsTest, LinuxTakesTheNewestClass) {
    unsigned long platformId = 0;
    EXPECT_EQ(OS(&platformId), OS_WIN8);
    EXPECT_EQ(platformId, 2UL);
    EXPECT_EQ(OS(nullptr), 11);
}

TEST(ErrorTextTest, WinsockTexts) {
    EXPECT_STREQ(static_cast<const char*>(WinsockLastError(10061)), "Connection refused");
    EXPECT_STREQ(static_cast<const char*>(WinsockLastError(11004)),
                 "Valid name, no data record of requested type");
    EXPECT_STREQ(static_cast<const char*>(WinsockLastError(10059)), "");
    EXPECT_STREQ(static_cast<const char*>(WinsockLastError(0)), "");
}

TEST(ErrorTextTest, LastErrorTextsAndNumbers) {
    LastError e(2);
    EXPECT_EQ(static_cast<int>(e), 2);
    EXPECT_STREQ(static_cast<const char*>(e), "No such file or directory");
    EXPECT_EQ(static_cast<int>(e), 2);  // reading the text leaves the number alone
    e = 5;
    EXPECT_STREQ(static_cast<const char*>(e), "Permission denied");
    e = 987654;
    EXPECT_STREQ(static_cast<const char*>(e), "");
}

TEST(ErrorTextTest, CapturesThreadLastError) {
    platform::SetLastError(87);
    LastError e;
    EXPECT_EQ(static_cast<int>(e), 87);
    platform::SetLastError(10054);
    WinsockLastError w;
    EXPECT_STREQ(static_cast<const char*>(w), "Connection reset by peer");
}

class DebugCapture {
public:
    DebugCapture() {
        platform::SetDebugOutputCapture([this](std::string_view text) {
            std::lock_guard<std::mutex> guard(m_lock);
            m_lines.emplace_back(text);
        });
    }
    ~DebugCapture() { platform::SetDebugOutputCapture({}); }
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_lines;
    }

private:
    std::mutex m_lock;
    std::vector<std::string> m_lines;
};

TEST(DebugOutputTest, DumpDataOfTwentyBytes) {
    DebugCapture capture;
    const char data[20] = {'H',
                           'e',
                           'l',
                           'l',
                           'o',
                           0,
                           1,
                           2,
                           0x7F,
                           'A',
                           'B',
                           'C',
                           'D',
                           'E',
                           'F',
                           'G',
                           'x',
                           '\n',
                           static_cast<char>(0xFF),
                           'z'};
    DumpData("frame", data, 20);
    std::vector<std::string> lines = capture.Lines();
    ASSERT_EQ(lines.size(), 3U);
    EXPECT_EQ(lines[0], "frame, Size = 20 - 0x14\n");
    std::string first = "  0000  48 65 6C 6C 6F 00 01 02 7F 41 42 43 44 45 46 47   Hello....ABCDEFG\n";
    EXPECT_EQ(lines[1], first);
    std::string second = "  0010  78 0A FF 7A";
    second += std::string(56 - 17, ' ') + "x..z\n";
    EXPECT_EQ(lines[2], second);
}

TEST(DebugOutputTest, DbgPrintCutsAt64KiB) {
    DebugCapture capture;
    std::string big(70000, 'q');
    int length = DbgPrint("%s", big.c_str());
    EXPECT_EQ(length, 64 * 1024 - 1);
    ASSERT_EQ(capture.Lines().size(), 1U);
    EXPECT_EQ(capture.Lines()[0].size(), static_cast<std::size_t>(64 * 1024 - 1));
    EXPECT_EQ(DbgPrint("n=%d", 5), 3);
}

TEST(ExecTest, StartsWaitsAndReportsFailure) {
    EXPECT_EQ(Exec("/bin/true", nullptr, 0, 1), 1);
    EXPECT_EQ(Exec("'/bin/sh' -c 'exit 0'", "/", 1, 1), 1);
    DebugCapture capture;
    EXPECT_EQ(Exec("/nonexistent/program --flag", nullptr, 0, 1), 0);
    std::vector<std::string> lines = capture.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().rfind("CreateProcess(/nonexistent/program --flag) fail, error ", 0), 0U);
    EXPECT_EQ(Exec("", nullptr, 0, 1), 0);
}

TEST(ExecTest, OpenUrlRefusesNonWebSchemes) {
    DebugCapture capture;
    EXPECT_EQ(StartInternetExplorer("file:///etc/passwd"), 0);
    ASSERT_FALSE(capture.Lines().empty());
    EXPECT_EQ(capture.Lines().back(), "StartInternetExplorer: pUrl file:///etc/passwd, return 0\n");
}

}  // namespace
