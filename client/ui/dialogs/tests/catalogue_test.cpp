#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include "testsupport/temp_dir.h"
#include "vorn/dialogs/language_catalogue.h"
#include "vorn/dialogs/text_ids.h"

namespace vorn {
namespace {

std::string LangDir() {
    const char* src = std::getenv("QEL_TEST_SOURCE_DIR");
    return std::string(src ? src : ".") + "/client/ui/dialogs/lang";
}

TEST(Catalogue, BothLanguagesHaveEveryIdTheClientUses) {
    for (bool chinese : {false, true}) {
        std::string error;
        auto catalogue = LoadCatalogue(chinese, &error, LangDir());
        ASSERT_NE(catalogue, nullptr) << error;
        for (int id : kUsedTextIds)
            EXPECT_FALSE(catalogue->Text(id).empty()) << "id " << id << " chinese " << chinese;
    }
}

TEST(Catalogue, TheTwoLanguagesHoldTheSameIds) {
    std::string error;
    auto en = LanguageCatalogue::Load(LangDir() + "/" + kEnglishCatalogue, &error);
    ASSERT_NE(en, nullptr) << error;
    auto zh = LanguageCatalogue::Load(LangDir() + "/" + kChineseCatalogue, &error);
    ASSERT_NE(zh, nullptr) << error;
    EXPECT_EQ(en->Size(), zh->Size());
    EXPECT_EQ(zh->Text(135), "在线状态");
    EXPECT_EQ(en->Text(135), "Online status");
}

TEST(Catalogue, TheInstalledCopiesLieNextToThePrograms) {
    const char* bin = std::getenv("QEL_BIN_DIR");
    if (!bin) GTEST_SKIP() << "QEL_BIN_DIR not set";
    std::string error;
    EXPECT_NE(LoadCatalogue(true, &error, bin), nullptr) << error;
    EXPECT_NE(LoadCatalogue(false, &error, bin), nullptr) << error;
}

TEST(Catalogue, EntriesCommentsEscapesAndLineEnds) {
    std::string error;
    auto c = LanguageCatalogue::Parse("# comment\n\n102=a=b\\nc\\t\\\\d\r\n3021086=网关：\n7=\n", &error);
    ASSERT_NE(c, nullptr) << error;
    EXPECT_EQ(c->Text(102), "a=b\nc\t\\d");
    EXPECT_EQ(c->Text(3021086), "网关：");
    EXPECT_TRUE(c->Has(7));
    EXPECT_EQ(c->Text(7), "");
    EXPECT_EQ(c->Text(8), "");
    EXPECT_EQ(c->Size(), 3u);
}

TEST(Catalogue, MalformedFilesAreRefusedWithTheirLine) {
    const std::pair<std::string, std::string> cases[] = {
        {"1=a\nnothing here\n", "line 2: no '='"},
        {"x=a\n", "line 1: bad id"},
        {"=a\n", "line 1: bad id"},
        {"0=a\n", "line 1: bad id"},
        {"123456789=a\n", "line 1: bad id"},
        {"-1=a\n", "line 1: bad id"},
        {"1=a\n2=b\n1=c\n", "line 3: id given twice"},
        {"1=a\\q\n", "line 1: unknown escape"},
        {"1=a\\", "line 1: '\\' at the end"},
        {"1=\xff\n", "line 1: text is not UTF-8"},
        {"1=\xe7\xbd\n", "line 1: text is not UTF-8"},      // cut short
        {"1=\xc0\xaf\n", "line 1: text is not UTF-8"},      // overlong
        {"1=\xed\xa0\x80\n", "line 1: text is not UTF-8"},  // surrogate
        {"1=" + std::string(5000, 'a') + "\n", "line 1: line too long"},
    };
    for (const auto& [text, why] : cases) {
        std::string error;
        EXPECT_EQ(LanguageCatalogue::Parse(text, &error), nullptr) << text;
        EXPECT_EQ(error.rfind(why, 0), 0u) << error;
    }
    std::string error;
    EXPECT_EQ(LanguageCatalogue::Parse(std::string(kCatalogueMaxBytes + 1, '#'), &error), nullptr);
}

TEST(Catalogue, AMissingFileNamesThePath) {
    testsupport::TempDir dir;
    std::string error;
    EXPECT_EQ(LoadCatalogue(true, &error, dir.Path()), nullptr);
    EXPECT_NE(error.find("Ostrel.lang"), std::string::npos);
    std::ofstream(dir.File("English.lang")) << "102=x\n";
    EXPECT_NE(LoadCatalogue(false, &error, dir.Path()), nullptr);
}

// Random bytes and every cut of a real catalogue: accepted or refused with a reason, never more.
TEST(Catalogue, RandomAndTruncatedInput) {
    std::mt19937 rng(16);
    for (int round = 0; round < 2000; ++round) {
        std::string text(rng() % 200, '\0');
        static const std::string kAlphabet = std::string("0123456789=\\nt#\r\n") + "\xe7\xbd\x91" + "a";
        for (char& ch : text) ch = kAlphabet[rng() % kAlphabet.size()];
        std::string error;
        if (!LanguageCatalogue::Parse(text, &error)) {
            EXPECT_FALSE(error.empty());
        }
    }
    std::ifstream in(LangDir() + "/" + kChineseCatalogue, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    const std::string whole = buffer.str();
    ASSERT_FALSE(whole.empty());
    for (std::size_t n = 0; n < whole.size(); n += 7) {
        std::string error;
        if (!LanguageCatalogue::Parse(whole.substr(0, n), &error)) {
            EXPECT_FALSE(error.empty());
        }
    }
}

}  // namespace
}  // namespace vorn
