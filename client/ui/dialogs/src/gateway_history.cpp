#include "vorn/dialogs/gateway_history.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/atomic_file.h"

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

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

std::string_view Unquote(std::string_view s) {
    if (s.size() >= 2 && (s.front() == '"' || s.front() == '\'') && s.back() == s.front())
        s = s.substr(1, s.size() - 2);
    return s;
}

bool Fail(std::string* error, std::size_t line, const std::string& what) {
    if (error) *error = "line " + std::to_string(line) + ": " + what;
    return false;
}

bool ParseFlag(std::string_view v, bool* out) {
    if (v != "0" && v != "1") return false;
    *out = v == "1";
    return true;
}

struct Pending {
    HistoryRecord records[kHistorySize];
    long count = -1;
};

bool TakeKey(Pending& p, const std::string& section, const std::string& key, std::string_view value,
             std::size_t line, std::string* error) {
    if (section == "count") {
        if (key != "historycount") return true;
        if (value.empty() || value.size() > 9) return Fail(error, line, "bad HistoryCount");
        long n = 0;
        for (char c : value) {
            if (c < '0' || c > '9') return Fail(error, line, "bad HistoryCount");
            n = n * 10 + (c - '0');
        }
        p.count = n;
        return true;
    }
    if (section.size() != 8 || section.rfind("history", 0) != 0 || section[7] < '0' ||
        section[7] >= '0' + kHistorySize)
        return true;
    HistoryRecord& r = p.records[section[7] - '0'];
    auto text = [&](std::string* field, std::size_t max, const char* name) {
        if (value.size() > max) return Fail(error, line, std::string(name) + " too long");
        field->assign(value);
        return true;
    };
    if (key == "serveraddr") return text(&r.server, kHistoryServerMax, "ServerAddr");
    if (key == "qelusername") return text(&r.user, kHistoryUserMax, "QelUsername");
    if (key == "qelpassword") return text(&r.password, kHistoryPasswordMax, "QelPassword");
    if (key == "rempasswd")
        return ParseFlag(value, &r.remember) || Fail(error, line, "RemPasswd is not 0 or 1");
    if (key == "autologon")
        return ParseFlag(value, &r.autoLogon) || Fail(error, line, "AutoLogon is not 0 or 1");
    return true;
}

}  // namespace

bool ParseHistoryIni(std::string_view contents, GatewayHistory* out, std::string* error) {
    if (contents.size() > kHistoryFileMax) {
        if (error) *error = "history file larger than 64 KiB";
        return false;
    }
    Pending p;
    std::string section;
    bool inSection = false;
    std::size_t number = 0;
    while (!contents.empty()) {
        ++number;
        const std::size_t nl = contents.find('\n');
        std::string_view line = contents.substr(0, nl);
        contents.remove_prefix(nl == std::string_view::npos ? contents.size() : nl + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.find('\0') != std::string_view::npos) return Fail(error, number, "NUL byte");
        line = Trim(line);
        if (line.empty() || line.front() == ';' || line.front() == '#') continue;
        if (line.front() == '[') {
            const std::size_t close = line.find(']');
            if (close == std::string_view::npos) return Fail(error, number, "section without ']'");
            section = Lower(Trim(line.substr(1, close - 1)));
            inSection = true;
            continue;
        }
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) return Fail(error, number, "neither a section nor a key");
        if (!inSection) return Fail(error, number, "key before any section");
        const std::string key = Lower(Trim(line.substr(0, eq)));
        if (key.empty()) return Fail(error, number, "empty key");
        if (!TakeKey(p, section, key, Unquote(Trim(line.substr(eq + 1))), number, error)) return false;
    }
    out->Clear();
    const long count = p.count < 0 ? 0 : (p.count > kHistorySize ? kHistorySize : p.count);
    for (long i = 0; i < count; ++i) (*out)[static_cast<int>(i)] = p.records[i];
    return true;
}

std::string FormatHistoryIni(const GatewayHistory& history) {
    std::ostringstream o;
    int written = 0;
    auto clean = [](const std::string& s) { return s.find_first_of("\r\n") == std::string::npos; };
    for (int i = 0; i < kHistorySize; ++i) {
        const HistoryRecord& r = history[i];
        if (!r.InUse() || !clean(r.user) || !clean(r.password) || !clean(r.server)) continue;
        // The section keeps the record's index, as readers of older files expect.
        o << "[History" << i << "]\r\n"
          << "ServerAddr=" << r.server << "\r\n"
          << "QelUsername=" << r.user << "\r\n"
          << "QelPassword=" << r.password << "\r\n"
          << "RemPasswd=" << (r.remember ? 1 : 0) << "\r\n"
          << "AutoLogon=" << (r.autoLogon ? 1 : 0) << "\r\n";
        ++written;
    }
    o << "[Count]\r\nHistoryCount=" << written << "\r\n";
    return o.str();
}

bool LoadHistoryFile(const std::string& installDir, GatewayHistory* out, std::string* error) {
    const std::string path = installDir + "/" + kHistoryFileName;
    struct stat st {};
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
    std::string why;
    if (!ParseHistoryIni(contents, out, &why)) {
        if (error) *error = path + ": " + why;
        return false;
    }
    return true;
}

bool SaveHistoryFile(const std::string& installDir, const GatewayHistory& history, std::string* error) {
    const std::string path = installDir + "/" + kHistoryFileName;
    // Scrambled passwords are in it: only the user.
    if (!platform::WriteFileAtomically(path, FormatHistoryIni(history), 0600)) {
        if (error) *error = path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace vorn
