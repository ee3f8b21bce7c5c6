// "SystemRouteTable.dat": the machine's forwarding table as the client saw it before it changed
// routes. The client writes it, the service's watchdog reads it after the client died.
//
// Layout (little-endian): u32 L, then L bytes: u32 row count N, then N rows of 56 bytes. A file is
// taken only when L = 4 + 56 N, the file holds exactly 4 + L bytes and N is at most
// kMaxSavedRoutes; anything else is refused whole, never partly used.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "platform/route_table.h"

namespace service {

constexpr const char* kRouteTableFileName = "SystemRouteTable.dat";
constexpr DWORD kMaxSavedRoutes = 65536;

// <machine root>/client/SystemRouteTable.dat: one absolute path for the client and the service, in
// the folder that the client's group may write (made by root with the settings store's client part).
std::string RouteTableFilePath();

// Parses a whole file image. false with a reason in *error.
bool ParseRouteTableFile(std::string_view bytes, std::vector<MIB_IPFORWARDROW>* rows, std::string* error);
// The file image of `rows`.
std::string FormatRouteTableFile(const std::vector<MIB_IPFORWARDROW>& rows);

enum class RouteFileRead { kOk, kMissing, kUnreadable, kMalformed };
// Reads and parses the file; kMissing also for a folder in its place.
RouteFileRead ReadRouteTableFile(const std::string& path, std::vector<MIB_IPFORWARDROW>* rows,
                                 std::string* error);
// Writes through a temporary file in the same folder, fsync and rename, so that a reader sees
// either the old or the new table. A short or failed write is a failure and leaves no file part.
bool WriteRouteTableFile(const std::string& path, const std::vector<MIB_IPFORWARDROW>& rows);

}  // namespace service
