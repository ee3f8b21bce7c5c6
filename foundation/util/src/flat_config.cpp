#include "util/flat_config.h"

#include <cstdlib>
#include <cstring>
#include <list>
#include <new>
#include <string>

#include "util/debug_print.h"

namespace {

constexpr std::size_t kMaxLine = 4095;

struct ConfigEntry {
    std::string key;
    std::string value;
};

struct ConfigSection {
    std::string name;
    std::list<ConfigEntry> entries;
};

struct FlatConfig {
    std::list<ConfigSection> sections;

    ConfigSection* Find(const char* name) {
        for (ConfigSection& section : sections) {
            if (section.name == name) return &section;
        }
        return nullptr;
    }
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// Reads one line (without its LF) into `line`. False at the end of the file. A line longer than
// kMaxLine is read to its end and flagged, so its tail is never taken for a line of its own.
bool ReadLine(FILE* file, std::string& line, bool& tooLong) {
    line.clear();
    tooLong = false;
    int c;
    bool any = false;
    while ((c = std::fgetc(file)) != EOF) {
        any = true;
        if (c == '\n') break;
        if (line.size() < kMaxLine) {
            line.push_back(static_cast<char>(c));
        } else {
            tooLong = true;
        }
    }
    return any;
}

// A header line: the name is the first token after '[' delimited by '[', ']', space or tab.
bool ParseHeader(const char* p, std::string& name) {
    if (!std::strchr(p, ']')) return false;
    ++p;
    while (*p == '[' || *p == ']' || IsBlank(*p)) ++p;
    const char* end = p;
    while (*end && *end != '[' && *end != ']' && !IsBlank(*end)) ++end;
    name.assign(p, end);
    return !name.empty();
}

bool ParseEntry(const char* p, ConfigEntry& entry) {
    const char* keyEnd = p;
    while (*keyEnd && !IsSpace(*keyEnd) && *keyEnd != '=') ++keyEnd;
    if (keyEnd == p) return false;
    const char* q = keyEnd;
    while (IsBlank(*q)) ++q;
    if (*q != '=') return false;
    ++q;
    while (IsBlank(*q)) ++q;
    const char* valueEnd = q + std::strlen(q);
    while (valueEnd > q && IsSpace(valueEnd[-1])) --valueEnd;
    entry.key.assign(p, keyEnd);
    entry.value.assign(q, valueEnd);
    return true;
}

void ParseFile(FILE* file, const char* path, FlatConfig& config) {
    std::string line;
    bool tooLong = false;
    int lineNumber = 0;
    ConfigSection* current = nullptr;
    while (ReadLine(file, line, tooLong)) {
        ++lineNumber;
        if (tooLong) {
            DbgPrint("OpenConfig: %s line %d longer than %zu characters, ignored\n", path, lineNumber,
                     kMaxLine);
            continue;
        }
        const char* p = line.c_str();  // an embedded zero byte ends the line here
        while (IsBlank(*p)) ++p;
        if (*p == '\0' || *p == '\r' || *p == '\n' || *p == '#') continue;
        if (*p == '[') {
            std::string name;
            current = nullptr;
            if (ParseHeader(p, name)) {
                config.sections.push_back(ConfigSection{name, {}});
                current = &config.sections.back();
            } else {
                DbgPrint("OpenConfig: %s line %d: malformed section header\n", path, lineNumber);
            }
            continue;
        }
        ConfigEntry entry;
        if (!ParseEntry(p, entry)) {
            DbgPrint("OpenConfig: %s line %d: not a key = value line, ignored\n", path, lineNumber);
            continue;
        }
        if (!current) {
            DbgPrint("OpenConfig: %s line %d: entry outside a section, ignored\n", path, lineNumber);
            continue;
        }
        current->entries.push_back(std::move(entry));
    }
}

}  // namespace

void* OpenConfig(const char* path) {
    if (!path) return nullptr;
    try {
        FILE* file = std::fopen(path, "rb");
        if (!file) {
            const char* home = std::getenv("APP_HOME");
            if (!home) return nullptr;
            std::string alternative = std::string(home) + "/" + path;
            file = std::fopen(alternative.c_str(), "rb");
            if (!file) return nullptr;
        }
        auto* config = new (std::nothrow) FlatConfig;
        if (config) {
            try {
                ParseFile(file, path, *config);
            } catch (...) {
                delete config;
                config = nullptr;
            }
        }
        std::fclose(file);
        return config;
    } catch (...) {
        return nullptr;
    }
}

void* CreateConfig() { return new (std::nothrow) FlatConfig; }

int GetConfig(void* config, const char* section, const char* key, char* value, int* length) {
    if (!config || !section || !key || !value || !length) return 0;
    auto* flat = static_cast<FlatConfig*>(config);
    ConfigSection* found = flat->Find(section);
    if (found) {
        for (const ConfigEntry& entry : found->entries) {
            if (entry.key != key) continue;
            int needed = static_cast<int>(entry.value.size());
            if (*length <= needed) {
                *length = needed;
                return 0;
            }
            std::memcpy(value, entry.value.c_str(), entry.value.size() + 1);
            *length = needed;
            return 1;
        }
    }
    *length = 0;
    return 0;
}

int SetConfig(void* config, const char* section, const char* key, const char* value) {
    if (!config || !section || !key || !value) return 0;
    try {
        auto* flat = static_cast<FlatConfig*>(config);
        ConfigSection* target = flat->Find(section);
        if (!target) {
            flat->sections.push_back(ConfigSection{section, {}});
            target = &flat->sections.back();
        }
        target->entries.remove_if([key](const ConfigEntry& entry) { return entry.key == key; });
        target->entries.push_back(ConfigEntry{key, value});
        return 1;
    } catch (...) {
        return 0;
    }
}

int DumpConfig(void* config, FILE* stream) {
    if (!config || !stream) return 0;
    for (const ConfigSection& section : static_cast<FlatConfig*>(config)->sections) {
        std::fprintf(stream, "[%s]\n", section.name.c_str());
        for (const ConfigEntry& entry : section.entries) {
            std::fprintf(stream, "%s = %s\n", entry.key.c_str(), entry.value.c_str());
        }
    }
    return 1;
}

int CloseConfig(void* config) {
    if (!config) return 0;
    delete static_cast<FlatConfig*>(config);
    return 1;
}
