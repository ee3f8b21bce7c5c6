#include "util/ini_reader.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/private_profile.h"

namespace {
constexpr DWORD kFirstListSize = 8191;
constexpr DWORD kMaxListSize = 64U * 1024 * 1024;  // a list beyond this is not a settings file
}  // namespace

TwIniReader::TwIniReader() { m_FileName[0] = '\0'; }

TwIniReader::TwIniReader(const char* fileName) : TwIniReader() { TwIniReader::SetINIFileName(fileName); }

TwIniReader::~TwIniReader() = default;

void TwIniReader::SetINIFileName(const char* fileName) {
    if (!fileName) fileName = "";
    if (fileName[0] == '/') {
        std::snprintf(m_FileName, sizeof(m_FileName), "%s", fileName);
        return;
    }
    char cwd[kPathSize];
    if (!getcwd(cwd, sizeof(cwd))) cwd[0] = '\0';
    std::string full = std::string(cwd) + "/" + fileName;
    std::snprintf(m_FileName, sizeof(m_FileName), "%s", full.c_str());  // cut to the member's size
}

void TwIniReader::GetKeyValue(const char* key, const char* section, char* buffer, unsigned long size) {
    if (!buffer || size == 0) return;
    platform::GetPrivateProfileString(section, key, "", buffer, static_cast<DWORD>(size), m_FileName);
}

long TwIniReader::SetKey(const char* value, const char* key, const char* section) {
    return platform::WritePrivateProfileString(section, key, value, m_FileName);
}

int TwIniReader::SectionExists(const char* section) {
    if (!section) return 0;
    char probe[16];
    return platform::GetPrivateProfileSection(section, probe, sizeof(probe), m_FileName) > 0 ? 1 : 0;
}

int TwIniReader::GetSectionNames(char** names, unsigned long* count, unsigned long* maxLength) {
    return ReadList(nullptr, names, count, maxLength);
}

int TwIniReader::GetSectionData(const char* section, char** lines, unsigned long* count,
                                unsigned long* maxLength) {
    if (!section) return 0;
    return ReadList(section, lines, count, maxLength);
}

int TwIniReader::ReadList(const char* section, char** out, unsigned long* count, unsigned long* maxLength) {
    if (!count || !maxLength) return 0;
    std::vector<char> buffer(kFirstListSize);
    DWORD length = 0;
    for (;;) {
        DWORD size = static_cast<DWORD>(buffer.size());
        length = section ? platform::GetPrivateProfileSection(section, buffer.data(), size, m_FileName)
                         : platform::GetPrivateProfileSectionNames(buffer.data(), size, m_FileName);
        if (length < size - 2 || size >= kMaxListSize) break;
        buffer.assign(static_cast<std::size_t>(size) * 2, '\0');
    }
    if (length > buffer.size() - 1) length = static_cast<DWORD>(buffer.size() - 1);
    return RetriveStrings(buffer.data(), length, out, count, maxLength);
}

int TwIniReader::RetriveStrings(const char* list, unsigned long listLength, char** out, unsigned long* count,
                                unsigned long* maxLength) {
    unsigned long strings = 0;
    unsigned long longest = 0;
    unsigned long start = 0;
    for (unsigned long i = 0; i < listLength; ++i) {
        if (list[i] != '\0') continue;
        ++strings;
        if (i - start > longest) longest = i - start;
        start = i + 1;
    }
    if (*count < strings || *maxLength < longest + 1) {
        *count = strings;
        *maxLength = longest + 1;
        return 0;
    }
    if (strings > 0 && !out) return 0;
    const char* p = list;
    for (unsigned long n = 0; n < strings; ++n) {
        std::size_t len = std::strlen(p);
        std::memcpy(out[n], p, len + 1);
        p += len + 1;
    }
    *count = strings;
    return 1;
}
