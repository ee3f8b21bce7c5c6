// Loopback helpers: a content handler that records what it sees with bounded waits, and an `openssl s_server`
// child process with its stdin and stdout piped.
#pragma once
#include "platform/unique_fd.h"
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "tamberk/ssl_state_machine.h"

namespace tamberk::test {

struct HandlerSide {
    std::mutex m;
    std::condition_variable cv;
    int connects = 0;
    int disconnects = 0;
    std::map<SharedObject*, std::string> data;
    std::vector<SharedObjectPtr<SharedObject>> sessions;
    std::string all;

    static std::uint32_t Proc(TwSslAPI* api, TwSslMessage* message);
    bool WaitFor(const std::function<bool()>& done, int milliseconds = 15000);
    std::string Data(const SharedObjectPtr<SharedObject>& session);
};

class OpenSslServer {
public:
    OpenSslServer() = default;
    ~OpenSslServer();
    OpenSslServer(const OpenSslServer&) = delete;
    OpenSslServer& operator=(const OpenSslServer&) = delete;
    // Starts `openssl s_server <args>` and waits (bounded) for it to accept; with port 0 in its
    // -accept address the kernel picks the port, which Port() then tells.
    bool Start(const std::vector<std::string>& args);
    unsigned short Port() const { return m_port; }
    // Waits until its output contains `text`.
    bool WaitOutput(const std::string& text, int milliseconds = 15000);
    bool Write(const std::string& text);
    std::string Output() const { return m_output; }
    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    unsigned short m_port = 0;
    platform::UniqueFd m_in;
    platform::UniqueFd m_out;
    std::string m_output;
};

}  // namespace tamberk::test
