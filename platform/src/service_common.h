// Internal: what the control side and the dispatcher of the service layer share: file names in
// the runtime folder, the settings-store key and the control-socket messages.
#pragma once
#include <cctype>
#include <cstdio>
#include <string>

#include "platform/machine_root.h"
#include "platform/service_control.h"

namespace platform::svc {

constexpr DWORD kMagic = 0x43535754;  // "TWSC"
constexpr DWORD kOpQuery = 1;
constexpr DWORD kOpControl = 2;

#pragma pack(push, 1)
struct Request {
    DWORD magic;
    DWORD op;
    DWORD code;
};
struct Reply {
    DWORD magic;
    DWORD result;
    SERVICE_STATUS status;
};
#pragma pack(pop)
static_assert(sizeof(Request) == 12);
static_assert(sizeof(Reply) == 36);

inline std::string RecordKey(const std::string& name) {
    return "SYSTEM\\CurrentControlSet\\Services\\" + name;
}

// Names are case-insensitive; the file name is the lower-cased name with every byte outside
// [a-z0-9._-] written as %XX, so no name reaches outside the folder.
inline std::string FileStem(const std::string& name) {
    std::string out;
    for (const char byte : name) {
        const auto c = static_cast<unsigned char>(byte);
        const unsigned char l = static_cast<unsigned char>(std::tolower(c));
        if (std::isalnum(l) || l == '_' || l == '-' || (l == '.' && !out.empty())) {
            out += static_cast<char>(l);
        } else {
            char buf[4];
            std::snprintf(buf, sizeof(buf), "%%%02X", l);
            out += buf;
        }
    }
    return out;
}

// <run>/services, root's own folder (mode 0755, checked before every use); empty when it fails the
// check, and then every path below is empty too, so nothing lands elsewhere.
inline std::string ServiceDir() { return RuntimeSubDir("services"); }
inline std::string InServiceDir(const std::string& name, const char* suffix) {
    const std::string dir = ServiceDir();
    return dir.empty() ? dir : dir + "/" + FileStem(name) + suffix;
}
inline std::string SocketPath(const std::string& name) { return InServiceDir(name, ".sock"); }
inline std::string PidPath(const std::string& name) { return InServiceDir(name, ".pid"); }
// The status the service publishes for readers who may not use its control socket (the members of
// the client group ask whether the service runs): root's file, write-locked by the running
// service for its whole life, holding "<pid> <state>\n".
inline std::string StatusPath(const std::string& name) { return InServiceDir(name, ".status"); }
// Fixed width, so that each update overwrites the whole record in place.
constexpr std::size_t kStatusTextSize = 13;
using StatusText = char[32];
inline void FormatStatus(long pid, DWORD state, StatusText& text) {
    std::snprintf(text, sizeof(text), "%10ld %1u\n", pid % 10000000000L, static_cast<unsigned>(state % 10));
}
// False for anything but a record FormatStatus wrote with a plausible pid and a known state.
inline bool ParseStatus(const char* text, std::size_t size, long* pid, DWORD* state) {
    if (size != kStatusTextSize || text[10] != ' ' || text[12] != '\n') return false;
    long value = 0;
    bool digits = false;
    for (std::size_t i = 0; i < 10; ++i) {
        const char c = text[i];
        if (c == ' ' && !digits) continue;
        if (c < '0' || c > '9') return false;
        digits = true;
        value = value * 10 + (c - '0');
    }
    const char s = text[11];
    if (!digits || value <= 0 || value > 0x3FFFFFFF || s < '1' || s > '7') return false;
    *pid = value;
    *state = static_cast<DWORD>(s - '0');
    return true;
}
// Present while the service must not be restarted by its monitor (stopped or removed).
inline std::string NoRestartPath(const std::string& name) { return InServiceDir(name, ".norestart"); }

inline bool ValidName(const std::string& name) {
    return !name.empty() && name.size() <= 256 && name.find('\\') == std::string::npos &&
           name.find('/') == std::string::npos;
}

}  // namespace platform::svc
