// Private-profile (INI) files. A file is read whole and parsed line by line; writers change the
// lines and replace the file by rename, under an exclusive flock on the file being replaced.
// Readers take no lock: a rename never shows them half a file.
#include "platform/text_util.h"
#include "platform/private_profile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/errors.h"
#include "platform/unique_fd.h"
#include "write_all.h"

namespace platform {

namespace {

constexpr std::size_t kMaxFileSize = 16u << 20;  // far beyond any INI file of the suite
constexpr const char* kBom = "\xEF\xBB\xBF";

struct Line {
    enum Kind { kOther, kSection, kKey } kind = kOther;
    std::string raw;
    std::string name;   // section or key name, trimmed
    std::string value;  // key value, trimmed, quotes kept
};

struct Profile {
    bool bom = false;
    bool crlf = true;  // new files get Windows line ends
    std::vector<Line> lines;
};

// Names in the file are trimmed when parsed; names asked for are trimmed here, as on Windows.
bool SameName(const std::string& a, const char* b) {
    return ::strcasecmp(a.c_str(), platform::Trim(b).c_str()) == 0;
}

Line ParseLine(const std::string& raw) {
    Line line;
    line.raw = raw;
    std::string t = platform::Trim(raw);
    if (t.empty() || t[0] == ';') {
        return line;
    }
    if (t[0] == '[') {
        std::size_t close = t.rfind(']');
        if (close != std::string::npos) {
            line.kind = Line::kSection;
            line.name = platform::Trim(t.substr(1, close - 1));
        }
        return line;
    }
    line.kind = Line::kKey;
    std::size_t eq = t.find('=');
    line.name = platform::Trim(t.substr(0, eq));
    line.value = eq == std::string::npos ? std::string() : platform::Trim(t.substr(eq + 1));
    return line;
}

Profile Parse(const std::string& text) {
    Profile p;
    std::size_t pos = 0;
    if (text.compare(0, 3, kBom) == 0) {
        p.bom = true;
        pos = 3;
    }
    p.crlf = text.find("\r\n") != std::string::npos || text.find('\n') == std::string::npos;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string raw = text.substr(pos, end - pos);
        if (!raw.empty() && raw.back() == '\r') {
            raw.pop_back();
        }
        p.lines.push_back(ParseLine(raw));
        pos = end + 1;
    }
    return p;
}

bool ReadAll(int fd, std::string* out) {
    out->clear();
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            return true;
        }
        out->append(buf, static_cast<std::size_t>(n));
        if (out->size() > kMaxFileSize) {
            errno = EFBIG;
            return false;
        }
    }
}

bool Load(const char* fileName, Profile* p) {
    // A FIFO or device in the file's place is refused, never waited on.
    const UniqueFd fd(OpenRegularFile(fileName, true));
    if (!fd) {
        return false;
    }
    std::string text;
    bool ok = ReadAll(fd.Get(), &text);
    if (ok) {
        *p = Parse(text);
    }
    return ok;
}

// Index range [begin, end) of the lines of the first section called `section` (header excluded);
// false when there is none.
bool FindSection(const Profile& p, const char* section, std::size_t* begin, std::size_t* end) {
    for (std::size_t i = 0; i < p.lines.size(); ++i) {
        if (p.lines[i].kind == Line::kSection && SameName(p.lines[i].name, section)) {
            std::size_t j = i + 1;
            while (j < p.lines.size() && p.lines[j].kind != Line::kSection) {
                ++j;
            }
            *begin = i + 1;
            *end = j;
            return true;
        }
    }
    return false;
}

const Line* FindKey(const Profile& p, const char* section, const char* key) {
    std::size_t b = 0;
    std::size_t e = 0;
    if (!FindSection(p, section, &b, &e)) {
        return nullptr;
    }
    for (std::size_t i = b; i < e; ++i) {
        if (p.lines[i].kind == Line::kKey && SameName(p.lines[i].name, key)) {
            return &p.lines[i];
        }
    }
    return nullptr;
}

std::string Unquote(const std::string& v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
        return v.substr(1, v.size() - 2);
    }
    return v;
}

DWORD CopyString(const std::string& s, char* buffer, DWORD size) {
    DWORD n = s.size() < size - 1 ? static_cast<DWORD>(s.size()) : size - 1;
    std::memcpy(buffer, s.data(), n);
    buffer[n] = '\0';
    return n;
}

// "a\0b\0\0". Too long: cut, ended by two zeros, size - 2 returned.
DWORD CopyList(const std::vector<std::string>& items, char* buffer, DWORD size) {
    if (size < 2) {
        if (size == 1) {
            buffer[0] = '\0';
        }
        return 0;
    }
    std::string all;
    for (const auto& item : items) {
        all += item;
        all.push_back('\0');
    }
    if (all.size() + 1 <= size) {
        std::memcpy(buffer, all.data(), all.size());
        buffer[all.size()] = '\0';
        if (all.empty()) {
            buffer[1] = '\0';
        }
        return static_cast<DWORD>(all.size());
    }
    std::memcpy(buffer, all.data(), size - 2);
    buffer[size - 2] = '\0';
    buffer[size - 1] = '\0';
    return size - 2;
}

std::vector<std::string> SectionNames(const Profile& p) {
    std::vector<std::string> names;
    for (const auto& line : p.lines) {
        if (line.kind != Line::kSection || line.name.empty()) {
            continue;  // an empty name would read as the end of the list
        }
        bool seen = false;
        for (const auto& n : names) {
            seen = seen || SameName(n, line.name.c_str());
        }
        if (!seen) {
            names.push_back(line.name);
        }
    }
    return names;
}

// Keys of a section, or "key=value" pairs of it.
std::vector<std::string> SectionItems(const Profile& p, const char* section, bool pairs) {
    std::vector<std::string> items;
    std::size_t b = 0;
    std::size_t e = 0;
    if (!FindSection(p, section, &b, &e)) {
        return items;
    }
    for (std::size_t i = b; i < e; ++i) {
        const Line& line = p.lines[i];
        if (line.kind != Line::kKey || line.name.empty()) {
            continue;
        }
        if (!pairs) {
            items.push_back(line.name);
        } else {
            std::string t = platform::Trim(line.raw);
            items.push_back(t.find('=') == std::string::npos ? line.name : line.name + "=" + line.value);
        }
    }
    return items;
}

// ---- writing ----------------------------------------------------------------------------------

// Names and values that would change the file's structure are refused: a value with a line end
// would otherwise plant extra keys or sections.
bool Writable(const char* section, const char* key, const char* value) {
    if (std::strpbrk(section, "]\r\n") != nullptr) {
        return false;
    }
    if (key != nullptr) {
        std::string k = platform::Trim(key);
        if (k.empty() || std::strpbrk(key, "=\r\n") != nullptr || k[0] == '[' || k[0] == ';') {
            return false;
        }
    }
    return value == nullptr || std::strpbrk(value, "\r\n") == nullptr;
}

// Applies one write to the lines; false when nothing changed.
bool Apply(Profile* p, const char* section, const char* key, const char* value) {
    auto& lines = p->lines;
    if (key == nullptr) {
        // Every section of that name goes, so no later duplicate shows through.
        bool changed = false;
        std::size_t b = 0;
        std::size_t e = 0;
        while (FindSection(*p, section, &b, &e)) {
            lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(b - 1),
                        lines.begin() + static_cast<std::ptrdiff_t>(e));
            changed = true;
        }
        return changed;
    }
    std::size_t b = 0;
    std::size_t e = 0;
    if (!FindSection(*p, section, &b, &e)) {
        if (value == nullptr) {
            return false;
        }
        lines.push_back(ParseLine(std::string("[") + section + "]"));
        lines.push_back(ParseLine(std::string(key) + "=" + value));
        return true;
    }
    for (std::size_t i = b; i < e; ++i) {
        if (lines[i].kind == Line::kKey && SameName(lines[i].name, key)) {
            if (value == nullptr) {
                lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i));
            } else {
                lines[i] = ParseLine(lines[i].name + "=" + value);  // keeps the key's spelling
            }
            return true;
        }
    }
    if (value == nullptr) {
        return false;
    }
    std::size_t at = e;
    while (at > b && lines[at - 1].kind == Line::kOther && platform::Trim(lines[at - 1].raw).empty()) {
        --at;  // after the section's last line, before the blank lines that end it
    }
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), ParseLine(std::string(key) + "=" + value));
    return true;
}

std::string Serialise(const Profile& p) {
    std::string out = p.bom ? kBom : "";
    const char* eol = p.crlf ? "\r\n" : "\n";
    for (const auto& line : p.lines) {
        out += line.raw;
        out += eol;
    }
    return out;
}

// Writes `data` beside `path` and renames it over `path`, keeping the old file's mode and owner.
bool Replace(const std::string& path, const struct stat& old, const std::string& data) {
    std::string tmp;
    UniqueFd file(CreateTempBeside(path, 0600, &tmp));
    const int fd = file.Get();
    if (fd < 0) {
        return false;
    }
    ::fchmod(fd, old.st_mode & 07777);
    if (::geteuid() == 0) {
        int ignored = ::fchown(fd, old.st_uid, old.st_gid);
        (void)ignored;
    }
    bool ok = detail::WriteAll(fd, data) && ::fsync(fd) == 0;
    ok = file.Close() == 0 && ok;
    if (ok && ::rename(tmp.c_str(), path.c_str()) == 0) {
        return true;
    }
    int err = errno;
    ::unlink(tmp.c_str());
    errno = err;
    return false;
}

// The umask, read without changing it (umask() can only be read by setting it, which would race
// with other threads creating files).
mode_t CurrentUmask() {
    const UniqueFd fd(::open("/proc/self/status", O_RDONLY | O_CLOEXEC));
    std::string status;
    if (fd) {
        ReadAll(fd.Get(), &status);
    }
    std::size_t at = status.find("Umask:");
    if (at == std::string::npos) {
        return 022;
    }
    return static_cast<mode_t>(std::strtoul(status.c_str() + at + 6, nullptr, 8));
}

// The file to change: a symbolic link is followed, so the link itself survives the rename.
std::string TargetPath(const char* fileName) {
    struct stat st {};
    if (::lstat(fileName, &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* real = ::realpath(fileName, nullptr)) {
            std::string path(real);
            std::free(real);
            return path;
        }
    }
    return fileName;
}

}  // namespace

DWORD GetPrivateProfileString(const char* section, const char* key, const char* defaultValue, char* buffer,
                              DWORD size, const char* fileName) {
    if (buffer == nullptr || size == 0) {
        return 0;
    }
    Profile p;
    bool loaded = fileName != nullptr && Load(fileName, &p);
    if (section == nullptr) {
        return CopyList(loaded ? SectionNames(p) : std::vector<std::string>(), buffer, size);
    }
    if (key == nullptr) {
        return CopyList(loaded ? SectionItems(p, section, false) : std::vector<std::string>(), buffer, size);
    }
    const Line* line = loaded ? FindKey(p, section, key) : nullptr;
    if (line != nullptr) {
        return CopyString(Unquote(line->value), buffer, size);
    }
    // The default loses its trailing blanks, as on Windows.
    std::string def = defaultValue != nullptr ? defaultValue : "";
    std::size_t e = def.find_last_not_of(' ');
    def.resize(e == std::string::npos ? 0 : e + 1);
    return CopyString(def, buffer, size);
}

UINT GetPrivateProfileInt(const char* section, const char* key, int defaultValue, const char* fileName) {
    Profile p;
    const Line* line = nullptr;
    if (section != nullptr && key != nullptr && fileName != nullptr && Load(fileName, &p)) {
        line = FindKey(p, section, key);
    }
    std::string v = line != nullptr ? Unquote(line->value) : std::string();
    if (v.empty()) {
        return static_cast<UINT>(defaultValue);
    }
    // Decimal with an optional sign; parsing stops at the first other character ("12abc" is 12,
    // "abc" is 0), and the result saturates like strtol on a 32-bit long.
    const char* s = v.c_str();
    bool negative = *s == '-';
    if (*s == '-' || *s == '+') {
        ++s;
    }
    long long n = 0;
    while (*s >= '0' && *s <= '9' && n <= static_cast<long long>(INT_MAX) + 1) {
        n = n * 10 + (*s++ - '0');
    }
    n = negative ? -n : n;
    if (n > INT_MAX) {
        n = INT_MAX;
    } else if (n < INT_MIN) {
        n = INT_MIN;
    }
    return static_cast<UINT>(static_cast<int>(n));
}

DWORD GetPrivateProfileSection(const char* section, char* buffer, DWORD size, const char* fileName) {
    if (buffer == nullptr || size == 0) {
        return 0;
    }
    Profile p;
    bool loaded = section != nullptr && fileName != nullptr && Load(fileName, &p);
    return CopyList(loaded ? SectionItems(p, section, true) : std::vector<std::string>(), buffer, size);
}

DWORD GetPrivateProfileSectionNames(char* buffer, DWORD size, const char* fileName) {
    return GetPrivateProfileString(nullptr, nullptr, nullptr, buffer, size, fileName);
}

}  // namespace platform

namespace platform {

BOOL WritePrivateProfileString(const char* section, const char* key, const char* value,
                               const char* fileName) {
    if (fileName == nullptr || section == nullptr) {
        // All null but the file only asks to flush a cache, which we do not keep.
        SetLastError(fileName != nullptr && key == nullptr && value == nullptr ? 0 : 87);
        return fileName != nullptr && key == nullptr && value == nullptr ? TRUE : FALSE;
    }
    if (!Writable(section, key, value)) {
        SetLastError(87);
        return FALSE;
    }
    const bool deleting = key == nullptr || value == nullptr;
    const std::string path = TargetPath(fileName);
    // Writers lock the folder, not the file: every write replaces the file, so a writer waiting
    // on the file's lock would always wake up holding the lock of a file that is gone.
    std::size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const UniqueFd dirLock(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const int dirFd = dirLock.Get();
    if (dirFd < 0) {
        SetLastError(WinErrorFromErrno(errno) == 2 ? 3 : WinErrorFromErrno(errno));  // path not found
        return FALSE;
    }
    int rc;
    while ((rc = ::flock(dirFd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    bool ok = rc == 0;
    int err = errno;
    UniqueFd file(ok ? OpenRegularFile(path, true) : -1);
    const int fd = file.Get();
    struct stat old {};
    std::string text;
    if (ok && fd < 0) {
        err = errno;
        ok = errno == ENOENT;  // a new file
        old.st_mode = 0666 & ~CurrentUmask();
        old.st_uid = ::geteuid();
        old.st_gid = ::getegid();
    } else if (ok) {
        ok = ::fstat(fd, &old) == 0 && ReadAll(fd, &text);
        err = errno;
        file.Reset();
    }
    if (ok && !(fd < 0 && deleting)) {
        Profile p = Parse(text);
        std::string sectionName = platform::Trim(section);
        std::string keyName = key != nullptr ? platform::Trim(key) : std::string();
        if (Apply(&p, sectionName.c_str(), key != nullptr ? keyName.c_str() : nullptr, value)) {
            ok = Replace(path, old, Serialise(p));
            err = errno;
        }
    }
    SetLastError(ok ? 0 : WinErrorFromErrno(err));
    return ok ? TRUE : FALSE;
}

}  // namespace platform
