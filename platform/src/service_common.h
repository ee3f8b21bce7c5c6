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
    for (unsigned char c : name) {
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
// Present while the service must not be restarted by its monitor (stopped or removed).
inline std::string NoRestartPath(const std::string& name) { return InServiceDir(name, ".norestart"); }

inline bool ValidName(const std::string& name) {
    return !name.empty() && name.size() <= 256 && name.find('\\') == std::string::npos &&
           name.find('/') == std::string::npos;
}

}  // namespace platform::svc
