#include "vorn/dialogs/language_catalogue.h"

#include <fstream>
#include <iterator>

#include "platform/process.h"

namespace vorn {

namespace {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsUtf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t n = 0;
        unsigned cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            n = 1, cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            n = 2, cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            n = 3, cp = c & 0x07;
        } else {
            return false;
        }
        if (i + n >= s.size()) return false;  // cut short
        for (std::size_t k = 1; k <= n; ++k) {
            const auto d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        static constexpr unsigned kMin[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += n + 1;
    }
    return true;
}

bool Fail(std::string* error, std::size_t line, const char* what) {
    if (error) *error = "line " + std::to_string(line) + ": " + what;
    return false;
}

bool ParseLine(std::string_view line, std::size_t number, std::map<int, std::string>& texts,
               std::string* error) {
    if (line.size() > kCatalogueMaxLine) return Fail(error, number, "line too long");
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') return true;
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) return Fail(error, number, "no '=' after the id");
    const std::string_view idText = line.substr(0, eq);
    if (idText.empty() || idText.size() > 8) return Fail(error, number, "bad id");
    int id = 0;
    for (char c : idText) {
        if (c < '0' || c > '9') return Fail(error, number, "bad id");
        id = id * 10 + (c - '0');
    }
    if (id == 0) return Fail(error, number, "bad id");
    const std::string_view raw = line.substr(eq + 1);
    if (!IsUtf8(raw)) return Fail(error, number, "text is not UTF-8");
    std::string text;
    text.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '\\') {
            text += raw[i];
            continue;
        }
        if (++i == raw.size()) return Fail(error, number, "'\\' at the end of the line");
        switch (raw[i]) {
            case 'n': text += '\n'; break;
            case 't': text += '\t'; break;
            case '\\': text += '\\'; break;
            default: return Fail(error, number, "unknown escape");
        }
    }
    if (!texts.emplace(id, std::move(text)).second) return Fail(error, number, "id given twice");
    return true;
}

}  // namespace

std::unique_ptr<LanguageCatalogue> LanguageCatalogue::Parse(std::string_view contents, std::string* error) {
    if (contents.size() > kCatalogueMaxBytes) {
        if (error) *error = "catalogue larger than 1 MiB";
        return nullptr;
    }
    auto catalogue = std::unique_ptr<LanguageCatalogue>(new LanguageCatalogue);
    std::size_t number = 0;
    while (!contents.empty()) {
        ++number;
        const std::size_t nl = contents.find('\n');
        const std::string_view line = contents.substr(0, nl);
        if (!ParseLine(line, number, catalogue->m_texts, error)) return nullptr;
        contents.remove_prefix(nl == std::string_view::npos ? contents.size() : nl + 1);
    }
    return catalogue;
}

std::unique_ptr<LanguageCatalogue> LanguageCatalogue::Load(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error) *error = path + ": cannot be opened";
        return nullptr;
    }
    std::string contents;
    char buffer[8192];
    while (in.read(buffer, sizeof(buffer)) || in.gcount() > 0) {
        contents.append(buffer, static_cast<std::size_t>(in.gcount()));
        if (contents.size() > kCatalogueMaxBytes) break;
    }
    std::string why;
    auto catalogue = Parse(contents, &why);
    if (!catalogue && error) *error = path + ": " + why;
    return catalogue;
}

std::string LanguageCatalogue::Text(int id) const {
    auto it = m_texts.find(id);
    return it == m_texts.end() ? std::string() : it->second;
}

std::unique_ptr<TextSource> LoadCatalogue(bool chineseUi, std::string* error, const std::string& folder) {
    const std::string dir = folder.empty() ? platform::ProgramDir() : folder;
    return LanguageCatalogue::Load(dir + "/" + (chineseUi ? kChineseCatalogue : kEnglishCatalogue), error);
}

}  // namespace vorn
