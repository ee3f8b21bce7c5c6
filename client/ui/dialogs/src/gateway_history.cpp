#include "vorn/dialogs/gateway_history.h"

#include <sys/stat.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/text_util.h"
#include "platform/atomic_file.h"
#include "platform/user_place.h"

namespace vorn {

int GatewayHistory::Count() const {
    int n = 0;
    while (n < kHistorySize && m_records[static_cast<std::size_t>(n)].InUse()) ++n;
    return n;
}

int GatewayHistory::Find(const std::string& server) const {
    for (int i = 0; i < Count(); ++i)
        if ((*this)[i].server == server) return i;
    return -1;
}

void GatewayHistory::Update(const HistoryRecord& top) {
    const int found = Find(top.server);
    const int last = found >= 0 ? found : (Count() < kHistorySize ? Count() : kHistorySize - 1);
    for (int i = last; i > 0; --i) (*this)[i] = (*this)[i - 1];
    (*this)[0] = top;
}

namespace {

// An INI line's blanks are space and tab only.
std::string_view Trim(std::string_view s) { return platform::TrimView(s, " \t"); }

std::string_view Unquote(std::string_view s) {
    if (s.size() >= 2 && (s.front() == '"' || s.front() == '\'') && s.back() == s.front())
        s = s.substr(1, s.size() - 2);
    return s;
}

void Skip(std::vector<std::string>* skipped, std::size_t line, const std::string& what) {
    if (skipped) skipped->push_back("line " + std::to_string(line) + ": " + what);
}

// A number as the Windows INI readers take it: blanks, an optional sign, the digits up to
// the first other character; nothing readable is 0. Large values stick at the long's bounds.
long ParseInt(std::string_view v) {
    std::size_t i = 0;
    bool negative = false;
    if (i < v.size() && (v[i] == '-' || v[i] == '+')) negative = v[i++] == '-';
    long n = 0;
    for (; i < v.size() && v[i] >= '0' && v[i] <= '9'; ++i)
        n = n > 100000000 ? 1000000000 : n * 10 + (v[i] - '0');
    return negative ? -n : n;
}

// Each value of a record as it was first given; later repeats of a key are ignored.
struct Field {
    std::string value;
    bool given = false;
};

struct PendingRecord {
    Field server, user, password, remember, autoLogon;
};

struct Pending {
    PendingRecord records[kHistorySize];
    Field count;
};

void TakeKey(Pending& p, const std::string& section, const std::string& key, std::string_view value,
             std::size_t line, std::vector<std::string>* skipped) {
    auto take = [&](Field* f, std::size_t max, const char* name) {
        if (f->given) return Skip(skipped, line, std::string(name) + " given again");
        if (value.size() > max) {
            Skip(skipped, line, std::string(name) + " cut to " + std::to_string(max) + " bytes");
            value = value.substr(0, max);
        }
        f->value.assign(value);
        f->given = true;
    };
    if (section == "count") {
        if (key == "historycount") take(&p.count, 16, "HistoryCount");
        return;
    }
    if (section.size() != 8 || section.rfind("history", 0) != 0 || section[7] < '0' ||
        section[7] >= '0' + kHistorySize)
        return;
    PendingRecord& r = p.records[section[7] - '0'];
    if (key == "serveraddr") take(&r.server, kHistoryServerMax, "ServerAddr");
    if (key == "qelusername") take(&r.user, kHistoryUserMax, "QelUsername");
    if (key == "qelpassword") take(&r.password, kHistoryPasswordMax, "QelPassword");
    if (key == "rempasswd") take(&r.remember, 16, "RemPasswd");
    if (key == "autologon") take(&r.autoLogon, 16, "AutoLogon");
}

// One line of the file (its line end taken off); `section` is the section it is in, lower case.
void ReadIniLine(std::string_view line, std::size_t number, std::string* section, Pending& p,
                 std::vector<std::string>* skipped) {
    if (line.find('\0') != std::string_view::npos) {
        Skip(skipped, number, "NUL byte");
        return;
    }
    line = Trim(line);
    if (line.empty() || line.front() == ';' || line.front() == '#') return;
    if (line.front() == '[') {
        const std::size_t close = line.find(']');
        if (close == std::string_view::npos) {
            // The keys after it stay in the section before it, where, being repeats, they
            // change nothing that section already has.
            Skip(skipped, number, "section without ']'");
            return;
        }
        *section = platform::Lower(Trim(line.substr(1, close - 1)));
        return;
    }
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
        Skip(skipped, number, "neither a section nor a key");
        return;
    }
    if (section->empty()) {
        Skip(skipped, number, "key outside a readable section");
        return;
    }
    const std::string key = platform::Lower(Trim(line.substr(0, eq)));
    if (key.empty()) {
        Skip(skipped, number, "empty key");
        return;
    }
    TakeKey(p, *section, key, Unquote(Trim(line.substr(eq + 1))), number, skipped);
}

// The records the count names, in order, each that has a user name.
void KeepRecords(const Pending& p, GatewayHistory* out, std::vector<std::string>* skipped) {
    // The count says how many sections were written; without a readable one, every section there
    // is read, so a damaged count loses nothing.
    long count = kHistorySize;
    if (p.count.given) {
        const std::string_view c = Trim(p.count.value);
        if (!c.empty() && c.front() >= '0' && c.front() <= '9')
            count = std::min<long>(ParseInt(c), kHistorySize);
        else if (skipped)
            skipped->push_back("HistoryCount is not a number: every record read");
    }
    out->Clear();
    int kept = 0;
    for (long i = 0; i < count; ++i) {
        const PendingRecord& r = p.records[i];
        HistoryRecord rec;
        rec.server = r.server.value;
        rec.user = r.user.value;
        rec.password = r.password.value;
        rec.remember = ParseInt(Trim(r.remember.value)) != 0;
        rec.autoLogon = ParseInt(Trim(r.autoLogon.value)) != 0;
        // A record without a user name is not in use; the ones after it move up so that the list
        // and the next save keep them.
        if (!rec.InUse()) {
            if ((r.server.given || r.password.given) && skipped)
                skipped->push_back("History" + std::to_string(i) + " has no user name");
            continue;
        }
        (*out)[kept++] = std::move(rec);
    }
}

}  // namespace

void ParseHistoryIni(std::string_view contents, GatewayHistory* out, std::vector<std::string>* skipped) {
    if (contents.size() > kHistoryFileMax) {
        // What fits is read; the line cut in two is dropped rather than read half.
        contents = contents.substr(0, kHistoryFileMax);
        const std::size_t lastEnd = contents.find_last_of("\r\n");
        contents = contents.substr(0, lastEnd == std::string_view::npos ? 0 : lastEnd + 1);
        if (skipped) skipped->push_back("only the first 64 KiB read");
    }
    Pending p;
    std::string section;  // empty: before the first section
    std::size_t number = 0;
    while (!contents.empty()) {
        ++number;
        // A lone CR ends a line too, so that no value can hold a line end.
        const std::size_t end = contents.find_first_of("\r\n");
        const std::string_view line = contents.substr(0, end);
        std::size_t next = end == std::string_view::npos ? contents.size() : end + 1;
        if (end != std::string_view::npos && contents[end] == '\r' && next < contents.size() &&
            contents[next] == '\n')
            ++next;
        contents.remove_prefix(next);
        ReadIniLine(line, number, &section, p, skipped);
    }
    KeepRecords(p, out, skipped);
}

std::string FormatHistoryIni(const GatewayHistory& history) {
    std::ostringstream o;
    int written = 0;
    auto clean = [](const std::string& s) { return s.find_first_of("\r\n") == std::string::npos; };
    // Values that begin or end with a blank or a quote are quoted, as the reader takes one pair off.
    auto v = [](const std::string& s) {
        const auto edge = [](char c) { return c == ' ' || c == '\t' || c == '"' || c == '\''; };
        return !s.empty() && (edge(s.front()) || edge(s.back())) ? "\"" + s + "\"" : s;
    };
    for (int i = 0; i < kHistorySize; ++i) {
        const HistoryRecord& r = history[i];
        if (!r.InUse() || !clean(r.user) || !clean(r.password) || !clean(r.server)) continue;
        // Sections are numbered as written: readers take History0 up to the count, so a record left
        // out must not leave a gap that hides the ones after it.
        o << "[History" << written << "]\r\n"
          << "ServerAddr=" << v(r.server) << "\r\n"
          << "QelUsername=" << v(r.user) << "\r\n"
          << "QelPassword=" << v(r.password) << "\r\n"
          << "RemPasswd=" << (r.remember ? 1 : 0) << "\r\n"
          << "AutoLogon=" << (r.autoLogon ? 1 : 0) << "\r\n";
        ++written;
    }
    o << "[Count]\r\nHistoryCount=" << written << "\r\n";
    return o.str();
}

std::string HistoryFilePath(const std::string& installDir, std::string* error) {
    return platform::UserFilePath(kHistoryFileName, installDir + "/" + kHistoryFileName, error);
}

bool LoadHistoryFile(const std::string& installDir, GatewayHistory* out, std::string* error,
                     std::vector<std::string>* skipped) {
    std::string path = HistoryFilePath(installDir, error);
    if (path.empty()) return false;
    struct stat st {};
    if (platform::UsesUserPlace() && ::lstat(path.c_str(), &st) != 0 && errno == ENOENT) {
        // What an earlier version left in the install folder, until the user's own is written.
        path = installDir + "/" + kHistoryFileName;
    }
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        if (error) *error = path + ": missing or not a file";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    std::string contents(kHistoryFileMax + 1, '\0');
    in.read(contents.data(), static_cast<std::streamsize>(contents.size()));
    contents.resize(static_cast<std::size_t>(in.gcount()));
    if (!in.eof() && !in) {
        if (error) *error = path + ": cannot be read";
        return false;
    }
    ParseHistoryIni(contents, out, skipped);
    return true;
}

bool SaveHistoryFile(const std::string& installDir, const GatewayHistory& history, std::string* error) {
    const std::string path = HistoryFilePath(installDir, error);
    if (path.empty()) return false;
    // Scrambled passwords are in it: only the user.
    if (!platform::WriteFileAtomically(path, FormatHistoryIni(history), 0600)) {
        if (error) *error = path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace vorn
