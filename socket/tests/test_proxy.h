// Proxies for the client's tests: a scripted one of our own for the answers real proxies do not
// give (407, garbage, silence, endless headers), and tinyproxy run on loopback (the suite's own
// helper).
#pragma once
#include <poll.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "test_support.h"
#include "testsupport/tiny_proxy.h"

namespace prendle_test {

class ScriptedProxy {
public:
    enum class Mode {
        kTunnelEcho,
        kAuthRequired,
        kGarbage,
        kSilence,
        kEndless,
        kTrickle,
        kCloseEarly,
        kSplitAnswer,
        kByteAPacket,  // the whole answer a byte a packet, then the tunnel
        kSplitStatus,  // the status line cut inside, then the tunnel
    };

    explicit ScriptedProxy(Mode mode) : m_mode(mode) {
        m_thread = std::thread([this] { Run(); });
    }
    ~ScriptedProxy() {
        m_stop = true;
        m_thread.join();
    }
    unsigned short Port() const { return m_listener.port; }
    std::string Request() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_request;
    }
    std::size_t BytesSent() const { return m_sent.load(); }

private:
    bool Readable(int fd, int ms) {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, ms) > 0;
    }
    bool Send(int fd, const std::string& text) {
        ssize_t n = send(fd, text.data(), text.size(), MSG_NOSIGNAL);
        if (n > 0) m_sent += static_cast<std::size_t>(n);
        return n == static_cast<ssize_t>(text.size());
    }
    void Run() {
        platform::UniqueFd accepted;
        while (!m_stop && !accepted) {
            if (Readable(m_listener.fd.Get(), 20)) accepted.Reset(m_listener.Accept());
        }
        if (!accepted) return;
        const int fd = accepted.Get();
        // Every send its own packet.
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::string request;
        char buf[4096];
        while (!m_stop && request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
            if (!Readable(fd, 20)) continue;
            ssize_t n = recv(fd, buf, sizeof(buf), 0);
            if (n <= 0) break;
            request.append(buf, static_cast<std::size_t>(n));
        }
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_request = request;
        }
        Answer(fd);
    }
    void Answer(int fd) {
        switch (m_mode) {
            case Mode::kTunnelEcho:
                Send(fd, "HTTP/1.1 200 Connection established\r\n\r\nTUNNEL");
                Echo(fd);
                break;
            case Mode::kSplitAnswer:
                Send(fd, "HTTP/1.0 200 OK\r\nVia: t");
                WaitOrStop(fd, 30);
                Send(fd, "est\r\n\r");
                WaitOrStop(fd, 30);
                Send(fd, "\n");
                Echo(fd);
                break;
            case Mode::kByteAPacket:
                for (char c : std::string("HTTP/1.1 200 Connection established\r\n\r\n")) {
                    if (!Send(fd, std::string(1, c))) return;
                    Pace(fd);
                }
                Echo(fd);
                break;
            case Mode::kSplitStatus:
                Send(fd, "HTTP/1.");
                Pace(fd);
                Send(fd, "0 20");
                Pace(fd);
                Send(fd, "0 OK\r\n\r\n");
                Echo(fd);
                break;
            case Mode::kAuthRequired:
                Send(fd, "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic\r\n\r\n");
                break;
            case Mode::kGarbage: {
                static const char kGarbage[] = "\x16\x03\x01\x00\xff garbage \x01\x02\r\n\r\n";
                Send(fd, std::string(kGarbage, sizeof(kGarbage) - 1));
            } break;
            case Mode::kSilence: WaitOrStop(fd, 60000); break;
            case Mode::kEndless: {
                Send(fd, "HTTP/1.1 200 OK\r\n");
                std::string line = "X-Filler: " + std::string(1000, 'f') + "\r\n";
                while (!m_stop && Send(fd, line)) {
                }
                break;
            }
            case Mode::kTrickle:
                Send(fd, "HTTP/1.1 200 OK\r\n");
                while (!m_stop && Send(fd, "x")) WaitOrStop(fd, 20);
                break;
            case Mode::kCloseEarly: Send(fd, "HTTP/1.1 200 OK\r\nVia: x\r\n"); break;
        }
    }
    // A proxy's pace between packets, shortened (the packet is the event, not the pause): enough for
    // the client to read each packet on its own. Ends early when the client went away.
    void Pace(int fd) {
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, 3);
    }
    // Waits up to ms, ending early when stopped or the client went away.
    void WaitOrStop(int fd, int ms) {
        for (int waited = 0; waited < ms && !m_stop; waited += 10) {
            char b;
            if (Readable(fd, 10) && recv(fd, &b, 1, MSG_PEEK | MSG_DONTWAIT) == 0) return;
        }
    }
    void Echo(int fd) {
        char buf[4096];
        while (!m_stop) {
            if (!Readable(fd, 20)) continue;
            ssize_t n = recv(fd, buf, sizeof(buf), 0);
            if (n <= 0) return;
            SendAll(fd, buf, static_cast<std::size_t>(n));
        }
    }

    Mode m_mode;
    PlainListener m_listener;
    std::atomic<bool> m_stop{false};
    std::atomic<std::size_t> m_sent{0};
    std::mutex m_lock;
    std::string m_request;
    std::thread m_thread;
};

using testsupport::TinyProxy;

}  // namespace prendle_test
