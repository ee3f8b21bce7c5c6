// "SystemRouteTable.dat": strict reading, atomic writing.
#include "service/route_table_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/atomic_file.h"
#include "platform/machine_root.h"
#include "platform/user_place.h"
#include "platform/unique_fd.h"

namespace service {
namespace {

DWORD ReadWord(std::string_view bytes, std::size_t offset) {
    DWORD v = 0;
    std::memcpy(&v, bytes.data() + offset, sizeof(v));
    return v;
}

}  // namespace

std::string RouteTableFilePath(std::string* error) {
    // Root's client keeps it in the client's folder; a member's in its own place, where no other
    // member can plant a file in its name or replace it.
    const std::string db = platform::ClientSettingsDbPath();
    return platform::UserFilePath(kRouteTableFileName, db.substr(0, db.rfind('/') + 1) + kRouteTableFileName,
                                  error);
}

bool RouteTableFileOf(pid_t clientPid, ClientRouteFile* out) {
    std::string place;
    if (!platform::UserPlaceOfProcess(clientPid, &out->uid, &out->gid, &place)) return false;
    if (out->uid == 0) {
        out->uid = 0;
        out->gid = 0;
        const std::string db = platform::ClientSettingsDbPath();
        out->path = db.substr(0, db.rfind('/') + 1) + kRouteTableFileName;
        out->place.clear();
        return true;
    }
    if (place.empty()) return false;
    out->place = place;
    out->path = place + "/" + kRouteTableFileName;
    return true;
}

bool ParseRouteTableFile(std::string_view bytes, std::vector<MIB_IPFORWARDROW>* rows, std::string* error) {
    rows->clear();
    if (bytes.size() < 8) {
        *error = "shorter than the length word and the row count";
        return false;
    }
    const DWORD length = ReadWord(bytes, 0);
    if (static_cast<std::uint64_t>(length) + 4 != bytes.size()) {
        *error = "the length word does not match the file size";
        return false;
    }
    const DWORD count = ReadWord(bytes, 4);
    if (count > kMaxSavedRoutes) {
        *error = "too many rows";
        return false;
    }
    if (static_cast<std::uint64_t>(count) * sizeof(MIB_IPFORWARDROW) + 4 != length) {
        *error = "the row count does not match the length word";
        return false;
    }
    rows->resize(count);
    if (count != 0) std::memcpy(rows->data(), bytes.data() + 8, count * sizeof(MIB_IPFORWARDROW));
    return true;
}

std::string FormatRouteTableFile(const std::vector<MIB_IPFORWARDROW>& rows) {
    const DWORD count = static_cast<DWORD>(rows.size());
    const DWORD length = static_cast<DWORD>(4 + rows.size() * sizeof(MIB_IPFORWARDROW));
    std::string out(4 + static_cast<std::size_t>(length), '\0');
    std::memcpy(out.data(), &length, 4);
    std::memcpy(out.data() + 4, &count, 4);
    if (!rows.empty()) std::memcpy(out.data() + 8, rows.data(), rows.size() * sizeof(MIB_IPFORWARDROW));
    return out;
}

RouteFileRead ReadRouteTableFile(const std::string& path, std::vector<MIB_IPFORWARDROW>* rows,
                                 std::string* error, uid_t owner) {
    // Not blocking: a FIFO planted in the file's place must not hold the watchdog up.
    const platform::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    const int fd = file.Get();
    if (fd < 0) {
        *error = std::strerror(errno);
        if (errno == ENOENT) return RouteFileRead::kMissing;
        // A link in the file's place is never followed: refused, not retried.
        return errno == ELOOP ? RouteFileRead::kMalformed : RouteFileRead::kUnreadable;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const bool folder = S_ISDIR(st.st_mode);
        *error = "not a regular file";
        return folder ? RouteFileRead::kMissing : RouteFileRead::kMalformed;
    }
    if (owner != static_cast<uid_t>(-1) && st.st_uid != owner) {
        *error = "not the client user's own file (uid " + std::to_string(st.st_uid) + ")";
        return RouteFileRead::kMalformed;
    }
    const std::uint64_t limit = 8 + static_cast<std::uint64_t>(kMaxSavedRoutes) * sizeof(MIB_IPFORWARDROW);
    if (static_cast<std::uint64_t>(st.st_size) > limit) {
        *error = "larger than any saved table";
        return RouteFileRead::kMalformed;
    }
    std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = std::strerror(errno);
            return RouteFileRead::kUnreadable;
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    bytes.resize(done);
    return ParseRouteTableFile(bytes, rows, error) ? RouteFileRead::kOk : RouteFileRead::kMalformed;
}

bool WriteRouteTableFile(const std::string& path, const std::vector<MIB_IPFORWARDROW>& rows) {
    if (rows.size() > kMaxSavedRoutes) return false;
    return platform::WriteFileAtomically(path, FormatRouteTableFile(rows));
}

}  // namespace service
