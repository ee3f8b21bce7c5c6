// The engine's pipe client of the privileged service.
#include "engine/netsh_client.h"

#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "dailylog/shared_daily_log.h"
#include "platform/clock_wait.h"
#include "platform/local_pipe.h"
#include "service/netsh_pipe.h"

namespace engine {
namespace {

std::mutex g_hardwareIdLock;
std::string g_hardwareId;

std::string Format(const char* format, va_list args) __attribute__((format(printf, 1, 0)));
std::string Format(const char* format, va_list args) {
    char buf[1024];
    const int n = std::vsnprintf(buf, sizeof(buf), format, args);
    return n < 0 ? std::string() : std::string(buf);
}

enum class Step { kDone, kConnect, kBusy, kCode, kCommand, kReply };

// One request; the reply in *reply when Step::kDone. With `atOnce`, the reply is first looked for
// without waiting, and *atOnce tells whether it was there.
Step Exchange(const std::string& command, const NetshClientOptions& options, int replyTimeoutMs,
              const char* tag, std::string* reply, bool* atOnce = nullptr) {
    const std::string path = options.path.empty() ? service::NetshPipePath() : options.path;
    platform::LocalPipeClient client;
    const platform::Clock& clock = options.clock != nullptr ? *options.clock : platform::SystemClock();
    const platform::ClockDeadline deadline(clock, static_cast<DWORD>(options.connectWaitMs));
    for (;;) {
        client = platform::LocalPipeClient::Connect(path, true);
        if (client.Connected()) break;
        // Only a full backlog is worth waiting for; a service that is not there is not.
        if (errno != EAGAIN) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[%s] Connect pipe failed Errornum = %d", tag, errno);
            return Step::kConnect;
        }
        if (deadline.Expired()) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[%s] Could not open pipe: 2 second wait timed out.Errornum = %d",
                   tag, errno);
            return Step::kBusy;
        }
        platform::SleepOn(clock, static_cast<DWORD>(options.connectRetryMs));
    }
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[%s] The pipe connected!", tag);
    std::uint8_t code[service::kAccessCodeSize];
    service::FillAccessCode(code);
    const bool codeSent = client.Send(code, sizeof(code));
    std::memset(code, 0, sizeof(code));
    if (!codeSent) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[%s] WriteFile password failed :%s", tag, std::strerror(errno));
        return Step::kCode;
    }
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[%s] Send Netsh Cmd, %s", tag, command.c_str());
    if (command.size() >= service::kCommandBufferSize || !client.Send(command.data(), command.size())) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[%s] Write Cmd failed :%s", tag, std::strerror(errno));
        return Step::kCommand;
    }
    std::vector<std::uint8_t> message;
    platform::UniqueFd fd;
    bool closed = false;
    bool received = false;
    if (atOnce != nullptr) {
        if (options.restartReplyHook) options.restartReplyHook(false);
        received = client.Receive(service::kMaxReplySize, 0, &message, &fd, &closed);
        *atOnce = received;
        if (!received && errno != ETIMEDOUT) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[%s] read fail %d", tag, errno);
            return Step::kReply;
        }
        if (!received && options.restartReplyHook) options.restartReplyHook(true);
    }
    if (!received) received = client.Receive(service::kMaxReplySize, replyTimeoutMs, &message, &fd, &closed);
    if (!received || closed) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[%s] ReadFile resp Failed, lasterror=%d", tag, closed ? 0 : errno);
        return Step::kReply;
    }
    reply->assign(message.begin(), message.end());
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[%s] Recv Netsh, %s successfully", tag, reply->c_str());
    return Step::kDone;
}

}  // namespace

int ClassifyNetshReply(const std::string& reply) {
    const std::size_t at = reply.find(service::kReplyHardwareIdPrefix);
    if (at != std::string::npos) {
        std::string id = reply.substr(at + service::kReplyHardwareIdPrefix.size());
        id = id.substr(0, id.find('\0'));
        if (id.size() > 128) id.resize(128);
        std::lock_guard<std::mutex> g(g_hardwareIdLock);
        g_hardwareId = id;
        return kNetshDone;
    }
    // The status replies are C text on the wire: whatever stands after a NUL is no part of them.
    const std::string text = reply.substr(0, reply.find('\0'));
    if (text.find("netsh>") != std::string::npos) return kNetshDone;
    if (text.find("NetshSetipFail>") != std::string::npos) return kNetshSetIpFail;
    if (text.find("NetshSetdnsFail>") != std::string::npos) return kNetshSetDnsFail;
    if (text.find("NetshRoutefail>") != std::string::npos) return kNetshRouteFail;
    return kNetshFailed;
}

int SendNetshCommand(const std::string& command, const NetshClientOptions& options) {
    std::string reply;
    if (Exchange(command, options, options.replyTimeoutMs, "SendCmdToNetsh", &reply) != Step::kDone)
        return kNetshFailed;
    return ClassifyNetshReply(reply);
}

int SendCmdToNetsh(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string command = Format(format, args);
    va_end(args);
    return SendNetshCommand(command);
}

int SendRestartAdapterCommand(const std::string& command, const NetshClientOptions& options) {
    std::string reply;
    bool atOnce = false;
    switch (Exchange(command, options, 30000, "SendRestartAdapterToNetsh", &reply, &atOnce)) {
        case Step::kDone: return atOnce ? kRestartReplyAtOnce : kRestartReplyAfterWait;
        case Step::kConnect: return kRestartConnectFailed;
        case Step::kBusy: return kRestartPipeBusy;
        case Step::kCode: return kRestartCodeWriteFailed;
        case Step::kCommand: return kRestartCommandWriteFailed;
        case Step::kReply: return kRestartNoReply;
    }
    return kRestartNoReply;
}

int SendRestartAdapterToNetsh(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string command = Format(format, args);
    va_end(args);
    return SendRestartAdapterCommand(command);
}

std::string NetshHardwareId() {
    std::lock_guard<std::mutex> g(g_hardwareIdLock);
    return g_hardwareId;
}

}  // namespace engine
