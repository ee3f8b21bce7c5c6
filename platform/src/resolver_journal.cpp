// The resolver's backup journal. Each field is "<key> <length>\n<bytes>\n" so the previous file's
// bytes travel unchanged whatever they hold; a checksum over everything before it ends the record,
// so a torn or edited journal is refused rather than restored.
#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/resolver.h"
#include "platform/text_util.h"

namespace platform {

namespace {

constexpr std::string_view kMagic = "qel-resolver-journal 1\n";
constexpr std::size_t kMaxPath = 4096;

std::uint64_t Fnv1a(std::string_view data) {
    std::uint64_t h = 1469598103934665603ull;
    for (const char byte : data) {
        const auto c = static_cast<unsigned char>(byte);
        h = (h ^ c) * 1099511628211ull;
    }
    return h;
}

void Put(std::string* out, std::string_view key, std::string_view value) {
    out->append(key);
    out->append(" ");
    out->append(std::to_string(value.size()));
    out->append("\n");
    out->append(value);
    out->append("\n");
}

std::string ServersText(const std::vector<DWORD>& servers) {
    std::string text;
    for (DWORD s : servers) text += (text.empty() ? "" : " ") + Ipv4Text(s);
    return text;
}

class Reader {
public:
    explicit Reader(std::string_view in) : m_in(in) {}

    // Reads the field `key` of at most `max` bytes.
    bool Field(std::string_view key, std::size_t max, std::string* value, std::string* error) {
        if (m_in.substr(0, key.size()) != key || m_in.substr(key.size(), 1) != " ") {
            *error = "expected field '" + std::string(key) + "'";
            return false;
        }
        m_in.remove_prefix(key.size() + 1);
        std::size_t length = 0;
        std::size_t digits = 0;
        while (digits < m_in.size() && m_in[digits] >= '0' && m_in[digits] <= '9' && digits < 8) {
            length = length * 10 + static_cast<std::size_t>(m_in[digits] - '0');
            ++digits;
        }
        if (digits == 0 || digits >= m_in.size() || m_in[digits] != '\n' || (digits > 1 && m_in[0] == '0')) {
            *error = "bad length of field '" + std::string(key) + "'";
            return false;
        }
        if (length > max) {
            *error = "field '" + std::string(key) + "' too long";
            return false;
        }
        m_in.remove_prefix(digits + 1);
        if (m_in.size() < length + 1 || m_in[length] != '\n') {
            *error = "field '" + std::string(key) + "' truncated";
            return false;
        }
        value->assign(m_in.substr(0, length));
        m_in.remove_prefix(length + 1);
        return true;
    }
    std::string_view Rest() const { return m_in; }

private:
    std::string_view m_in;
};

bool ParseNumber(const std::string& text, unsigned base, unsigned long max, unsigned* out) {
    // Only the writer's own spelling: a journal reads back to the same bytes.
    if (text.empty() || text.size() > 11 || (text.size() > 1 && text[0] == '0')) {
        return false;
    }
    unsigned long v = 0;
    for (char c : text) {
        const unsigned digit = static_cast<unsigned>(c - '0');
        if (c < '0' || digit >= base) {
            return false;
        }
        v = v * base + digit;
    }
    if (v > max) {
        return false;
    }
    *out = static_cast<unsigned>(v);
    return true;
}

bool ParseServers(const std::string& text, std::vector<DWORD>* servers) {
    servers->clear();
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find(' ', pos);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string word = text.substr(pos, end - pos);
        in_addr a{};
        if (word.empty() || servers->size() == kMaxNameServers ||
            ::inet_pton(AF_INET, word.c_str(), &a) != 1 || a.s_addr == 0) {
            return false;
        }
        servers->push_back(a.s_addr);
        pos = end + 1;
        if (end + 1 == text.size()) {
            return false;  // a trailing blank: not what the writer makes
        }
    }
    return true;
}

bool NoNul(const std::string& s) { return s.find('\0') == std::string::npos; }

}  // namespace

std::string FormatResolverJournal(const ResolverJournal& j) {
    std::string out(kMagic);
    Put(&out, "kind",
        j.kind == ResolverJournal::Kind::kFile         ? "file"
        : j.kind == ResolverJournal::Kind::kResolvconf ? "resolvconf"
                                                       : "resolved");
    Put(&out, "path", j.path);
    Put(&out, "link", j.linkText);
    Put(&out, "present", j.present ? "1" : "0");
    char mode[16];
    std::snprintf(mode, sizeof mode, "%o", j.mode & 07777u);
    Put(&out, "mode", mode);
    Put(&out, "uid", std::to_string(j.uid));
    Put(&out, "gid", std::to_string(j.gid));
    Put(&out, "content", j.content);
    Put(&out, "iface", j.iface);
    Put(&out, "servers", ServersText(j.servers));
    char sum[32];
    std::snprintf(sum, sizeof sum, "%016llx", static_cast<unsigned long long>(Fnv1a(out)));
    Put(&out, "sum", sum);
    return out;
}

bool ParseResolverJournal(std::string_view text, ResolverJournal* journal, std::string* error) {
    std::string ignored;
    std::string& why = error != nullptr ? *error : ignored;
    if (text.substr(0, kMagic.size()) != kMagic) {
        why = "not a resolver journal";
        return false;
    }
    Reader r(text.substr(kMagic.size()));
    ResolverJournal j;
    std::string kind, present, mode, uid, gid, servers, sum;
    if (!r.Field("kind", 16, &kind, &why) || !r.Field("path", kMaxPath, &j.path, &why) ||
        !r.Field("link", kMaxPath, &j.linkText, &why) || !r.Field("present", 1, &present, &why) ||
        !r.Field("mode", 8, &mode, &why) || !r.Field("uid", 10, &uid, &why) ||
        !r.Field("gid", 10, &gid, &why) || !r.Field("content", kMaxResolverFileSize, &j.content, &why) ||
        !r.Field("iface", 15, &j.iface, &why) || !r.Field("servers", kMaxNameServers * 16, &servers, &why)) {
        return false;
    }
    const std::size_t summed = text.size() - r.Rest().size();
    if (!r.Field("sum", 16, &sum, &why)) {
        return false;
    }
    char expected[32];
    std::snprintf(expected, sizeof expected, "%016llx",
                  static_cast<unsigned long long>(Fnv1a(text.substr(0, summed))));
    if (sum != expected || !r.Rest().empty()) {
        why = sum != expected ? "checksum mismatch" : "data after the checksum";
        return false;
    }
    if (kind != "file" && kind != "resolvconf" && kind != "resolved") {
        why = "unknown kind";
        return false;
    }
    j.kind = kind == "file"         ? ResolverJournal::Kind::kFile
             : kind == "resolvconf" ? ResolverJournal::Kind::kResolvconf
                                    : ResolverJournal::Kind::kResolved;
    if (j.path.empty() || j.path[0] != '/' || !NoNul(j.path) || !NoNul(j.linkText) ||
        (present != "0" && present != "1") || !ParseNumber(mode, 8, 07777, &j.mode) ||
        !ParseNumber(uid, 10, 0xFFFFFFFEul, &j.uid) || !ParseNumber(gid, 10, 0xFFFFFFFEul, &j.gid) ||
        (!j.iface.empty() && !ValidInterfaceName(j.iface)) || !ParseServers(servers, &j.servers)) {
        why = "invalid field value";
        return false;
    }
    j.present = present == "1";
    if (j.kind != ResolverJournal::Kind::kFile && j.iface.empty()) {
        why = "registration without an interface";
        return false;
    }
    *journal = std::move(j);
    return true;
}

bool ValidInterfaceName(std::string_view name) {
    if (name.empty() || name.size() > 15 || name == "." || name == ".." || name[0] == '-') {
        return false;
    }
    for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '/' || c == ':' || u <= 0x20 || u == 0x7F) {
            return false;
        }
    }
    return true;
}

}  // namespace platform
