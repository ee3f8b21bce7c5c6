// The engine's side of the privileged service's pipe: one request per connection (access code,
// command text, one reply) and the reply's meaning.
//
// Thread-safety: every call opens its own connection; any thread may send. The hardware-id buffer
// is process-wide and guarded.
#pragma once
#include <functional>
#include <string>

#include "platform/clock.h"

namespace engine {

// SendCmdToNetsh's results.
constexpr int kNetshFailed = 0;      // no answer, or one the protocol does not know
constexpr int kNetshDone = 1;        // "netsh>" or "HardwareId>..."
constexpr int kNetshSetIpFail = 7;   // "NetshSetipFail>"
constexpr int kNetshSetDnsFail = 8;  // "NetshSetdnsFail>"
constexpr int kNetshRouteFail = 9;   // "NetshRoutefail>": the route was refused

struct NetshClientOptions {
    std::string path;                        // empty: the service's pipe in the machine root's runtime folder
    int connectWaitMs = 2000;                // how long a refused connect (full backlog) is retried
    int connectRetryMs = 20;                 // the pause between those tries
    const platform::Clock* clock = nullptr;  // the tries' clock; null: the system clock
    // Long enough for SetIP, which the service may retry for up to about 11 s.
    int replyTimeoutMs = 15000;
    // Tests: the restart sender calls it before it first looks for the reply (false) and, when the
    // reply was not there yet, before it waits for it (true).
    std::function<void(bool waiting)> restartReplyHook;
};

// Sends one command (at most 255 bytes) and classifies the reply. A "HardwareId>" reply fills
// the process's hardware-id buffer.
int SendNetshCommand(const std::string& command, const NetshClientOptions& options = {});
// printf-style form; the text is cut at 1023 characters before sending.
int SendCmdToNetsh(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The restart sender's results. A reply is success either way: 1 when it was there at the first
// look, 0 when it came while the sender waited (1 is also the failed connect, as callers have
// always read it). Message mode (3) and short writes (5, 7) cannot happen on the service's
// message socket, whose sends are whole or fail.
enum RestartResult : int {
    kRestartReplyAfterWait = 0,
    kRestartOk = kRestartReplyAfterWait,
    kRestartReplyAtOnce = 1,
    kRestartConnectFailed = 1,
    kRestartPipeBusy = 2,
    kRestartModeRefused = 3,
    kRestartCodeWriteFailed = 4,
    kRestartCodeShort = 5,
    kRestartCommandWriteFailed = 6,
    kRestartCommandShort = 7,
    kRestartNoReply = 8,
};
// The same request with a 30 s limit on the reply (the adapter restart can be slow).
int SendRestartAdapterToNetsh(const char* format, ...) __attribute__((format(printf, 1, 2)));
int SendRestartAdapterCommand(const std::string& command, const NetshClientOptions& options = {});

// The fingerprint from the last "HardwareId>" reply (at most 128 characters), empty before.
std::string NetshHardwareId();

// Reply classification alone (tests, and callers that carry replies themselves).
int ClassifyNetshReply(const std::string& reply);

}  // namespace engine
