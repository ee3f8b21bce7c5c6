// The gateway history of the logon page: the last five gateways logged on to, most recent first,
// each with its user name, scrambled password and the two choices, kept in "history.ini" in the
// install folder (a member's in its own place, see HistoryFilePath):
//     [History0] ServerAddr=, QelUsername=, QelPassword=, RemPasswd=1|0, AutoLogon=1|0
//     ...
//     [Count] HistoryCount=<sections written>
//
// Server texts are kept whole (a host of up to 255 bytes and a port), so a long gateway name is
// found again instead of being added once more; remembered passwords are kept whole in their
// scrambled form, whatever their length.
//
// Not thread-safe; the logon page uses it on the UI thread.
#pragma once
#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace vorn {

constexpr int kHistorySize = 5;
constexpr const char* kHistoryFileName = "history.ini";
constexpr std::size_t kHistoryFileMax = 64 * 1024;
// Bounds of what a record holds: the gateway field, the user-name field, and the scrambled form of
// the longest password the password field takes (with room to spare).
constexpr std::size_t kHistoryServerMax = 300;
constexpr std::size_t kHistoryUserMax = 127;
constexpr std::size_t kHistoryPasswordMax = 255;

struct HistoryRecord {
    std::string user;
    std::string password;  // scrambled
    std::string server;
    bool remember = false;
    bool autoLogon = false;

    bool InUse() const { return !user.empty(); }
};

class GatewayHistory {
public:
    const HistoryRecord& operator[](int i) const { return m_records[static_cast<std::size_t>(i)]; }
    HistoryRecord& operator[](int i) { return m_records[static_cast<std::size_t>(i)]; }
    // Records in use, counted from the top until the first unused one.
    int Count() const;
    // Index of the record in use whose server text is `server` (byte comparison), or -1.
    int Find(const std::string& server) const;
    // After a logon: the record of `server` (or, when there is none, the oldest when all five are
    // in use) leaves its place, the others move down, and `top` becomes record 0.
    void Update(const HistoryRecord& top);
    void Clear() { m_records = {}; }

private:
    std::array<HistoryRecord, kHistorySize> m_records{};
};

// Reads the file's contents value by value, so that one damaged line costs at most its own value.
// Section and key names are case-insensitive, values are trimmed of blanks and of surrounding
// quotes, lines end in LF or CR LF; ';' and '#' start comments; unknown sections and keys are
// skipped, and so are lines that are neither a section nor a key, keys outside a readable section,
// lines with a NUL byte and repeats of a key (the first value counts). A value beyond its bound is
// cut to it; the flags are read as integers (leading digits, nonzero is set, anything else 0).
// Records beyond `HistoryCount` (at most five) are not read; without a count that reads as a
// number from 0 up, every section is read. Records without a user name are dropped and the ones
// after them move up. Of a file larger than kHistoryFileMax the whole lines within it are read.
// What was skipped or cut is described, one "line N: why" each, in *skipped when given.
void ParseHistoryIni(std::string_view contents, GatewayHistory* out,
                     std::vector<std::string>* skipped = nullptr);
// The file's contents for the records in use; records whose texts hold a line end are left out.
std::string FormatHistoryIni(const GatewayHistory& history);

// Where "history.ini" is: in `installDir` for root's client, else in the user's own place
// (user_place.h); empty with *error when that place is refused.
std::string HistoryFilePath(const std::string& installDir, std::string* error = nullptr);
// "history.ini" (HistoryFilePath; for a member without a file of its own yet, the one an earlier
// version left in `installDir`): false when missing, a folder or unreadable (*error); otherwise
// read as ParseHistoryIni reads it.
bool LoadHistoryFile(const std::string& installDir, GatewayHistory* out, std::string* error,
                     std::vector<std::string>* skipped = nullptr);
bool SaveHistoryFile(const std::string& installDir, const GatewayHistory& history, std::string* error);

}  // namespace vorn
