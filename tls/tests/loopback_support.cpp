#include "loopback_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/unique_fd.h"

extern char** environ;

namespace tamberk::test {

std::uint32_t HandlerSide::Proc(TwSslAPI*, TwSslMessage* message) {
    auto* side = static_cast<HandlerSide*>(message->context);
    std::lock_guard<std::mutex> lock(side->m);
    switch (message->code) {
        case TW_MSG_SSL_CONNECT:
            ++side->connects;
            side->sessions.push_back(message->session);
            break;
        case TW_MSG_SSL_DISCONNECT: ++side->disconnects; break;
        case TW_MSG_SSL_RECEIVE:
            side->data[message->session.get()].append(message->data->data, message->data->size);
            side->all.append(message->data->data, message->data->size);
            message->data->result = message->data->size;
            break;
        default: break;
    }
    side->cv.notify_all();
    return 0;
}

bool HandlerSide::WaitFor(const std::function<bool()>& done, int milliseconds) {
    // Some conditions (a key id completing) change without a handler event, so the wait also
    // looks again every few milliseconds; it never waits past its bound.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    std::unique_lock<std::mutex> lock(m);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        cv.wait_for(lock, std::chrono::milliseconds(5));
    }
    return true;
}

std::string HandlerSide::Data(const SharedObjectPtr<SharedObject>& session) {
    std::lock_guard<std::mutex> lock(m);
    return data[session.get()];
}

OpenSslServer::~OpenSslServer() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }
}

bool OpenSslServer::Start(const std::vector<std::string>& args) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return false;
    platform::UniqueFd childIn(in[0]), childOut(out[1]);  // the server's ends: ours until it started
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    std::vector<std::string> all = {"openssl", "s_server"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    int rc = posix_spawnp(&m_pid, "openssl", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    childIn.Reset();
    childOut.Reset();
    m_in.Reset(in[1]);
    m_out.Reset(out[0]);
    if (rc != 0) {
        m_pid = -1;
        return false;
    }
    // It names the port the kernel gave it: "ACCEPT 127.0.0.1:<port>".
    if (!WaitOutput("ACCEPT ") || !WaitOutput("\n")) return false;
    std::size_t at = m_output.find("ACCEPT ");
    std::size_t end = m_output.find('\n', at);
    std::size_t colon = m_output.rfind(':', end);
    if (colon == std::string::npos || colon < at) return false;
    m_port = static_cast<unsigned short>(std::strtoul(m_output.c_str() + colon + 1, nullptr, 10));
    return m_port != 0;
}

bool OpenSslServer::WaitOutput(const std::string& text, int milliseconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (m_output.find(text) == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{m_out.Get(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char buf[4096];
        ssize_t n = ::read(m_out.Get(), buf, sizeof buf);
        if (n <= 0) return m_output.find(text) != std::string::npos;
        m_output.append(buf, static_cast<std::size_t>(n));
    }
    return true;
}

bool OpenSslServer::Write(const std::string& text) {
    return ::write(m_in.Get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

}  // namespace tamberk::test
