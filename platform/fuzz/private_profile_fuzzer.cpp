// libFuzzer entry for INI files read through the private-profile functions: the input is the
// file. Every list and value is read into small buffers (the results must stay inside them and
// end with their zeros), then one key is written into the first section: it must read back, and
// no section may be lost by the rewrite.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/private_profile.h"
#include "input_file.h"

namespace {

std::string g_file;

void Fail(const char* what) {
    std::fprintf(stderr, "private profile: %s\n", what);
    std::abort();
}

std::vector<std::string> Split(const char* list, DWORD n) {
    std::vector<std::string> items;
    for (DWORD i = 0; i < n;) {
        std::string item(list + i);
        i += static_cast<DWORD>(item.size()) + 1;
        if (!item.empty()) items.push_back(item);
    }
    return items;
}

// A double-zero list read into a buffer of `size`: the count stays inside, the zeros are there.
std::vector<std::string> CheckedList(DWORD n, const char* buffer, DWORD size) {
    if (n > size - 2) Fail("list longer than its buffer");
    const DWORD last = n == 0 ? 1 : n;  // an empty list is two zeros; else the last item's and one more
    if (buffer[last - 1] != '\0' || buffer[last] != '\0') Fail("list not ended by two zeros");
    return Split(buffer, n);
}

std::vector<std::string> SectionNames() {
    char names[4096];
    DWORD n = platform::GetPrivateProfileSectionNames(names, sizeof names, g_file.c_str());
    return CheckedList(n, names, sizeof names);
}

void ReadSection(const std::string& section) {
    char buffer[512];
    DWORD n = platform::GetPrivateProfileSection(section.c_str(), buffer, sizeof buffer, g_file.c_str());
    CheckedList(n, buffer, sizeof buffer);
    n = platform::GetPrivateProfileString(section.c_str(), nullptr, "", buffer, sizeof buffer,
                                          g_file.c_str());
    for (const std::string& key : CheckedList(n, buffer, sizeof buffer)) {
        char value[8];
        DWORD v = platform::GetPrivateProfileString(section.c_str(), key.c_str(), "default", value,
                                                    sizeof value, g_file.c_str());
        if (v > sizeof value - 1 || value[v] != '\0') Fail("value longer than its buffer");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_file = twfuzz::InputFile::Path("fuzz.ini");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    twfuzz::InputFile::Write(g_file, data, size);

    const std::vector<std::string> before = SectionNames();
    for (std::size_t i = 0; i < before.size() && i < 8; ++i) ReadSection(before[i]);
    // Names cut at a zero byte do not name their section any more: the write check needs whole names.
    if (before.empty() || std::memchr(data, 0, size) != nullptr) return 0;

    if (!platform::WritePrivateProfileString(before[0].c_str(), "fuzz_key", "fuzz value", g_file.c_str()))
        return 0;
    char value[64];
    platform::GetPrivateProfileString(before[0].c_str(), "fuzz_key", "", value, sizeof value, g_file.c_str());
    if (std::strcmp(value, "fuzz value") != 0) Fail("written key does not read back");
    if (SectionNames() != before) Fail("the rewrite changed the sections");
    return 0;
}
