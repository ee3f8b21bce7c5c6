// "SystemRouteTable.dat": the machine's forwarding table as the client saw it before it changed
// routes. The client writes it, the service's watchdog reads it after the client died.
//
// Layout (little-endian): u32 L, then L bytes: u32 row count N, then N rows of 56 bytes. A file is
// taken only when L = 4 + 56 N, the file holds exactly 4 + L bytes and N is at most
// kMaxSavedRoutes; anything else is refused whole, never partly used.
#pragma once
#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/route_table.h"

namespace service {

constexpr const char* kRouteTableFileName = "SystemRouteTable.dat";
constexpr DWORD kMaxSavedRoutes = 65536;

// Where this process's client keeps the file: for root's client <machine root>/client/
// SystemRouteTable.dat (the client part's folder, made by root); for a member's, the member's own
// place (platform/user_place.h). Empty, with *error, when that place is refused.
std::string RouteTableFilePath(std::string* error = nullptr);

// The file of the client running as `clientPid`, as the service finds it: that process's user and
// the place its environment names (nothing made or checked; the reader checks the file).
struct ClientRouteFile {
    std::string path;
    std::string place;  // the user's place; empty for root's client
    uid_t uid = 0;
    gid_t gid = 0;
};
bool RouteTableFileOf(pid_t clientPid, ClientRouteFile* out);

// Parses a whole file image. false with a reason in *error.
bool ParseRouteTableFile(std::string_view bytes, std::vector<MIB_IPFORWARDROW>* rows, std::string* error);
// The file image of `rows`.
std::string FormatRouteTableFile(const std::vector<MIB_IPFORWARDROW>& rows);

enum class RouteFileRead { kOk, kMissing, kUnreadable, kMalformed };
// Reads and parses the file, never through a link; kMissing also for a folder in its place. With
// `owner` given, a file of anyone else is refused (kMalformed).
RouteFileRead ReadRouteTableFile(const std::string& path, std::vector<MIB_IPFORWARDROW>* rows,
                                 std::string* error, uid_t owner = static_cast<uid_t>(-1));
// Writes through a temporary file in the same folder, fsync and rename, so that a reader sees
// either the old or the new table. A short or failed write is a failure and leaves no file part.
bool WriteRouteTableFile(const std::string& path, const std::vector<MIB_IPFORWARDROW>& rows);

}  // namespace service
