// The client's language catalogues: "English.lang" and the Chinese "Ostrel.lang", UTF-8 text files
// in the program folder that give a text for each string id.
//
// File format, one entry a line:
//     # a comment, and blank lines, are skipped
//     102=Please enter the user name and the password.
// The id is a decimal number from 1 to 99999999; the text runs to the end of the line (a CR before
// the LF is dropped) and may hold the escapes \n, \t and \\. A file of more than 1 MiB, a line of
// more than 4096 bytes, a line without "=", a bad id, an id given twice, a bad escape or text that
// is not UTF-8 makes the whole file refused, with the line named in the error.
//
// Thread-safety: a catalogue is not changed after it was built and may be read from any thread.
#pragma once
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "vorn/text_source.h"

namespace vorn {

constexpr const char* kEnglishCatalogue = "English.lang";
constexpr const char* kChineseCatalogue = "Ostrel.lang";
constexpr std::size_t kCatalogueMaxBytes = 1 << 20;
constexpr std::size_t kCatalogueMaxLine = 4096;

class LanguageCatalogue final : public TextSource {
public:
    // Parses a catalogue's contents; null with the reason in *error when it is malformed.
    static std::unique_ptr<LanguageCatalogue> Parse(std::string_view contents, std::string* error);
    // Reads and parses the file at `path`.
    static std::unique_ptr<LanguageCatalogue> Load(const std::string& path, std::string* error);

    std::string Text(int id) const override;
    bool Has(int id) const { return m_texts.count(id) != 0; }
    std::size_t Size() const { return m_texts.size(); }

private:
    std::map<int, std::string> m_texts;
};

// The catalogue of the interface language from `folder` (the program folder when empty):
// "Ostrel.lang" for a Chinese interface, else "English.lang". Null, with the reason in *error,
// when it cannot be read or is malformed; the caller then shows its fixed message and quits.
std::unique_ptr<TextSource> LoadCatalogue(bool chineseUi, std::string* error, const std::string& folder = {});

}  // namespace vorn
