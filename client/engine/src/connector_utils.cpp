// The connector's small shared services.
#include "engine/connector_utils.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netdb.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "dailylog/shared_daily_log.h"
#include "platform/debug_printf.h"

namespace engine {
namespace {

struct AlertText {
    int code;
    const char* text;
};

constexpr AlertText kAlerts[] = {
    {0, "SSL warning: SSL_AD_CLOSE_NOTIFY - Disconnect"},
    {10, "SSL critical alert: SSL_AD_UNEXPECTED_MESSAGE"},
    {20, "SSL critical alert: SSL_AD_BAD_RECORD_MAC"},
    {21, "SSL warning: SSL_AD_DECRYPTION_FAILED"},
    {22, "SSL warning: SSL_AD_RECORD_OVERFLOW"},
    {30, "SSL critical alert: SSL_AD_DECOMPRESSION_FAILURE"},
    {40, "SSL critical alert: SSL_AD_HANDSHAKE_FAILURE"},
    {41, "SSL warning: SSL_AD_NO_CERTIFICATE"},
    {42, "SSL warning: SSL_AD_BAD_CERTIFICATE"},
    {43, "SSL warning: SSL_AD_UNSUPPORTED_CERTIFICATE"},
    {44, "SSL warning: SSL_AD_CERTIFICATE_REVOKED"},
    {45, "SSL warning: SSL_AD_CERTIFICATE_EXPIRED"},
    {46, "SSL warning: SSL_AD_CERTIFICATE_UNKNOWN"},
    {47, "SSL critical alert: SSL_AD_ILLEGAL_PARAMETER "},
    {48, "SSL critical alert: SSL_AD_UNKNOWN_CA"},
    {49, "SSL critical alert: SSL_AD_ACCESS_DENIED "},
    {50, "SSL critical alert: SSL_AD_DECODE_ERROR"},
    {51, "SSL warning: SSL_AD_DECRYPT_ERROR"},
    {60, "SSL critical alert: SSL_AD_EXPORT_RESTRICTION"},
    {70, "SSL critical alert: SSL_AD_PROTOCOL_VERSION"},
    {71, "SSL critical alert: SSL_AD_INSUFFICIENT_SECURITY"},
    {80, "SSL critical alert: SSL_AD_INTERNAL_ERROR"},
    {90, "SSL warning: SSL_AD_USER_CANCELLED"},
    {100, "SSL warning: SSL_AD_NO_RENEGOTIATION"},
};

// Next blank-separated field of `line` from `*at`; empty at the end.
std::string_view NextField(std::string_view line, std::size_t* at) {
    while (*at < line.size() && (line[*at] == ' ' || line[*at] == '\t')) ++*at;
    const std::size_t start = *at;
    while (*at < line.size() && line[*at] != ' ' && line[*at] != '\t' && line[*at] != '\n') ++*at;
    return line.substr(start, *at - start);
}

// A hexadecimal or decimal field that is wholly a number of at most `digits` digits.
bool ParseNumber(std::string_view text, int base, std::size_t digits, std::uint64_t* value) {
    if (text.empty() || text.size() > digits) return false;
    std::uint64_t v = 0;
    for (char c : text) {
        int d;
        if (c >= '0' && c <= '9') {
            d = c - '0';
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            d = c - 'A' + 10;
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            d = c - 'a' + 10;
        } else {
            return false;
        }
        v = v * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
    }
    *value = v;
    return true;
}

// The socket inode of the local session, exact address first, then one bound to any address.
bool FindSocketInode(const std::string& table, DWORD address, WORD port, std::uint64_t* inode) {
    std::ifstream in(table);
    std::string line;
    bool wildcard = false;
    std::uint64_t wildcardInode = 0;
    while (std::getline(in, line)) {
        DWORD a = 0;
        WORD p = 0;
        std::uint64_t n = 0;
        if (!ParseProcNetLine(line, &a, &p, &n) || p != port || n == 0) continue;
        if (a == address) {
            *inode = n;
            return true;
        }
        if (a == 0 && !wildcard) {
            wildcard = true;
            wildcardInode = n;
        }
    }
    if (wildcard) *inode = wildcardInode;
    return wildcard;
}

// The program name of the process holding socket `inode`; empty when none is found.
std::string OwnerOfInode(const std::string& procRoot, std::uint64_t inode) {
    const std::string target = "socket:[" + std::to_string(inode) + "]";
    DIR* proc = ::opendir(procRoot.c_str());
    if (proc == nullptr) return {};
    std::string owner;
    while (dirent* e = ::readdir(proc)) {
        std::uint64_t pid = 0;
        if (!ParseNumber(e->d_name, 10, 10, &pid)) continue;
        const std::string base = procRoot + "/" + e->d_name;
        DIR* fds = ::opendir((base + "/fd").c_str());
        if (fds == nullptr) continue;
        bool holds = false;
        while (dirent* f = ::readdir(fds)) {
            char link[64];
            const ssize_t n = ::readlink((base + "/fd/" + f->d_name).c_str(), link, sizeof(link) - 1);
            if (n > 0 && target.compare(0, std::string::npos, link, static_cast<std::size_t>(n)) == 0) {
                holds = true;
                break;
            }
        }
        ::closedir(fds);
        if (!holds) continue;
        char exe[4096];
        const ssize_t n = ::readlink((base + "/exe").c_str(), exe, sizeof(exe) - 1);
        if (n > 0) {
            const std::string path(exe, static_cast<std::size_t>(n));
            owner = path.substr(path.rfind('/') + 1);
        } else {
            std::ifstream comm(base + "/comm");
            std::getline(comm, owner);
        }
        break;
    }
    ::closedir(proc);
    return owner;
}

}  // namespace

const char* GetActionName(DWORD action) {
    switch (action & 0xFF) {
        case 0x44: return "ACTION_DISCARD";
        case 0x50: return "ACTION_BYPASS";
        case 0x55: return "ACTION_UNKNOWN";
        case 0x64: return "ACTION_DYN_DISCARD";
        case 0x70: return "ACTION_DYN_BYPASS";
        case 0xC4: return "APPRULE_DISCARD";
        case 0xD0: return "APPRULE_BYPASS";
        default: return "Invalid";
    }
}

const char* GetProtocolName(int protocol) {
    switch (protocol) {
        case 1: return "ICMP";
        case 6: return "TCP";
        case 17: return "UDP";
        default: return "";
    }
}

const char* GetDirectionName(int direction) {
    switch (direction) {
        case 0: return "INACTIVE_PACKET";
        case 1: return "INCOMING_PACKET";
        case 2: return "OUTGOING_PACKET";
        case 3: return "LOOPBACK_PACKET";
        default: return "";
    }
}

char* GetSslAlertText(int level, int code, char* buffer, std::size_t size) {
    if (buffer == nullptr || size == 0) return buffer;
    for (const auto& a : kAlerts) {
        if (a.code == code) {
            std::snprintf(buffer, size, "%s", a.text);
            return buffer;
        }
    }
    std::snprintf(buffer, size, "SSL warning: Unknown - alert type %d, alert code %d", level, code);
    return buffer;
}

DWORD ResolveAddress(const char* text) {
    if (text == nullptr) return 0xFFFFFFFFu;
    in_addr a{};
    if (inet_pton(AF_INET, text, &a) == 1) return a.s_addr;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (text[0] != '\0' && getaddrinfo(text, nullptr, &hints, &found) == 0 && found != nullptr) {
        const DWORD address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
        freeaddrinfo(found);
        return address;
    }
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[ResolveAddress] can not resolve address %s", text);
    platform::DebugPrintf("ResolveAddress, can not resolve address %s\n", text);
    return 0xFFFFFFFFu;
}

int WaitReadable(int fd, int seconds) {
    if (fd < 0 || seconds < 0) return 0;
    pollfd p{fd, POLLIN, 0};
    const int timeoutMs = seconds > 2000000 ? 2000000000 : seconds * 1000;
    int n;
    do {
        n = ::poll(&p, 1, timeoutMs);
    } while (n < 0 && errno == EINTR);
    return n == 1 && (p.revents & POLLIN) != 0 ? 1 : 0;
}

bool AdapterTakesAddress(DWORD address, DWORD mask) {
    const DWORD host = ~mask;
    if (mask == 0 || (host & (host + 1)) != 0) return false;  // no bits, or bits with a hole
    const DWORD first = address >> 24;
    if (first == 0 || first == 127 || first >= 224) return false;
    // A subnet of 31 or 32 bits has no network or broadcast address of its own.
    if (host > 1 && ((address & host) == 0 || (address & host) == host)) return false;
    return true;
}

void OnlineTimer::Start() {
    std::lock_guard<std::mutex> g(m_lock);
    if (m_running) return;
    m_running = true;
    m_startMs = m_clock.TickMs();
}

void OnlineTimer::Stop() {
    std::lock_guard<std::mutex> g(m_lock);
    if (!m_running) return;
    m_running = false;
    m_accumulatedMs += m_clock.TickMs() - m_startMs;
}

void OnlineTimer::Reset() {
    std::lock_guard<std::mutex> g(m_lock);
    m_running = false;
    m_accumulatedMs = 0;
}

std::uint64_t OnlineTimer::GetOnlineSeconds() const {
    std::lock_guard<std::mutex> g(m_lock);
    const std::uint64_t running = m_running ? m_clock.TickMs() - m_startMs : 0;
    return (m_accumulatedMs + running) / 1000;
}

bool ParseProcNetLine(std::string_view line, DWORD* address, WORD* port, std::uint64_t* inode) {
    std::size_t at = 0;
    const std::string_view slot = NextField(line, &at);
    if (slot.size() < 2 || slot.back() != ':') return false;
    const std::string_view local = NextField(line, &at);
    const std::size_t colon = local.find(':');
    std::uint64_t a = 0, p = 0, n = 0;
    if (colon != 8 || !ParseNumber(local.substr(0, 8), 16, 8, &a) || !ParseNumber(local.substr(9), 16, 4, &p))
        return false;
    // remote, state, queues, timer, retransmits, uid, time-out, then the inode.
    std::string_view field;
    for (int i = 0; i < 7; ++i) {
        field = NextField(line, &at);
        if (field.empty()) return false;
    }
    if (!ParseNumber(NextField(line, &at), 10, 20, &n)) return false;
    // The kernel prints the address as the 32-bit value it keeps in network order.
    *address = static_cast<DWORD>(a);
    *port = static_cast<WORD>(p);
    *inode = n;
    return true;
}

bool MapSessionToProcess(TW_SESSION_OWNER_QUERY* session, const std::string& procRoot) {
    if (session == nullptr) return false;
    const char* table;
    if (session->protocol == 6) {
        table = "tcp";
    } else if (session->protocol == 17) {
        table = "udp";
    } else {
        return false;
    }
    std::uint64_t inode = 0;
    if (!FindSocketInode(procRoot + "/net/" + table, session->localAddress, session->localPort, &inode)) {
        TW_LOG(LOG_CLIENT_DATA, 4, "[MapSessionToProcess] no %s socket on port %u", table,
               static_cast<unsigned>(session->localPort));
        return false;
    }
    const std::string owner = OwnerOfInode(procRoot, inode);
    if (owner.empty() || owner.size() >= sizeof(session->module)) return false;
    TW_LOG(LOG_CLIENT_DATA, 4, "[MapSessionToProcess] pfnGetOwnerModuleFrom%sEntry: %s",
           session->protocol == 6 ? "Tcp" : "Udp", owner.c_str());
    std::memcpy(session->module, owner.c_str(), owner.size() + 1);
    return true;
}

void WaitWhileConnected(const std::atomic<bool>& connected, const std::atomic<bool>* stop,
                        const std::function<void()>& pause) {
    while (connected.load() && (stop == nullptr || !stop->load())) pause();
}

void SleepWhileConnected(const std::atomic<bool>& connected, int ms, DWORD stepMs,
                         const std::function<void()>& pause) {
    if (stepMs == 0) stepMs = 1;
    const long steps = (ms < 0 ? 0 : ms) / static_cast<long>(stepMs) + 1;
    for (long i = 0; i < steps && connected.load(); ++i) pause();
}

}  // namespace engine
