// Small services the connector's logon, tunnel paths and threads share: the name tables of the
// log lines, TLS alert texts, address resolution, the readability wait, the online-time counter
// and the owner lookup of a local TCP or UDP session.
//
// All functions are thread-safe; OnlineTimer guards itself. Nothing here throws.
#pragma once
#include <strings.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/types.h"

namespace engine {

// "yes" in any case: how the client's settings say that a switch is on.
inline bool IsYes(std::string_view value) {
    return value.size() == 3 && ::strncasecmp(value.data(), "yes", 3) == 0;
}

// Names of a firewall action (its low byte), an IP protocol and a packet direction; the action
// table answers "Invalid", the others the empty text, for values they do not know.
const char* GetActionName(DWORD action);
const char* GetProtocolName(int protocol);
const char* GetDirectionName(int direction);

// The text of a TLS alert into `buffer` (cut to `size`, always terminated when size > 0); returns
// buffer.
char* GetSslAlertText(int level, int code, char* buffer, std::size_t size);

// A dotted address without a lookup, else the first IPv4 address of a name lookup; network byte
// order. 0xFFFFFFFF when neither gives one.
DWORD ResolveAddress(const char* text);

// Whether the virtual adapter can hold `address` with `mask` (host byte order): a contiguous mask
// of 1 to 32 bits and a unicast address (not in 0/8, 127/8 or from 224 up) that is neither its
// subnet's network nor its broadcast address. The gateway's values are refused otherwise.
bool AdapterTakesAddress(DWORD address, DWORD mask);

// Waits up to `seconds` for `fd` to become readable: 1 readable, 0 for an invalid descriptor, the
// time-out or an error.
int WaitReadable(int fd, int seconds);

// Waits while `connected` holds, one `pause` (a step of the caller's clock) at a time; ends early
// once *stop is true (stop may be null).
void WaitWhileConnected(const std::atomic<bool>& connected, const std::atomic<bool>* stop,
                        const std::function<void()>& pause);
// Sleeps `ms` in steps of `stepMs` (one `pause` each), at most ms / stepMs + 1 of them, ending once
// `connected` is clear.
void SleepWhileConnected(const std::atomic<bool>& connected, int ms, DWORD stepMs,
                         const std::function<void()>& pause);

// Seconds online since the last fresh logon: its sessions (relogons) before plus the running one,
// on the clock given.
class OnlineTimer {
public:
    explicit OnlineTimer(const platform::Clock& clock = platform::SystemClock()) : m_clock(clock) {}
    void Start();  // a session begins (nothing when one runs)
    void Stop();   // it ends: its seconds are added
    // A fresh logon: the count starts again at 0. A session still counted is dropped from it, so
    // its late end adds nothing.
    void Reset();
    std::uint64_t GetOnlineSeconds() const;

private:
    const platform::Clock& m_clock;
    mutable std::mutex m_lock;
    std::uint64_t m_startMs = 0;
    bool m_running = false;
    std::uint64_t m_accumulatedMs = 0;
};

// The session whose owner is wanted: protocol 6 or 17, the local address (network order) and port
// (host order); the owner's program name goes into `module` (at most 259 characters).
struct TW_SESSION_OWNER_QUERY {
    BYTE protocol = 0;
    DWORD localAddress = 0;
    WORD localPort = 0;
    char module[260] = {};
};

// Finds the process that holds the local socket and writes its program name. false when the
// protocol is neither TCP nor UDP, no socket or owner is found, or the name does not fit.
// `procRoot` is the proc file system's mount point (tests give another).
bool MapSessionToProcess(TW_SESSION_OWNER_QUERY* session, const std::string& procRoot = "/proc");

// One line of /proc/net/tcp or /proc/net/udp: the local address (network order), port and socket
// inode. false for a header or a malformed line.
bool ParseProcNetLine(std::string_view line, DWORD* address, WORD* port, std::uint64_t* inode);

}  // namespace engine
