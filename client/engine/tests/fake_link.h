// A scripted tunnel link for the connector's unit tests: the handshake completes (or never
// does, or breaks), every message the connector sends is recorded, and a reply function decides
// what the gateway answers. Events are delivered on the link's own thread, as the TLS library
// delivers them on its workers, never inside the connector's call. Like the TLS library, a
// delivery holds the session's lock and a send takes it, so that a lock taken under a delivery and
// before a send is an inversion the thread checker sees; sends made from inside a delivery are
// counted.
#pragma once
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/tunnel_link.h"

namespace engine::test {

using Bytes = std::vector<std::uint8_t>;

class FakeLink final : public TunnelLink {
public:
    enum class Handshake { kConnect, kSilent, kDrop };

    FakeLink() : m_thread([this] { Run(); }) {}
    ~FakeLink() override { Shutdown(); }

    bool Initialize(TunnelLinkEvents* events, const std::string& caPath) override {
        m_events = events;
        caFolder = caPath;
        return initializeOk;
    }
    void Shutdown() override {
        {
            std::lock_guard<std::mutex> g(m_lock);
            if (m_stop) return;
            m_stop = true;
        }
        m_cv.notify_all();
        if (m_thread.joinable()) m_thread.join();
    }
    void SetCipherList(const std::string& list) override {
        std::lock_guard<std::mutex> g(m_lock);
        cipherLists.push_back(list);
    }
    void UseHttpProxy(DWORD, WORD, const std::string&, const std::string&) override {}
    void SetCancelEvent(platform::Event*) override {}
    int ChooseCertificate(const std::string& subject, const std::string& serial) override {
        std::lock_guard<std::mutex> g(m_lock);
        chosen.push_back(subject + "/" + serial);
        return chooseResult;
    }
    bool Attach(int fd, DWORD, WORD) override {
        ::close(fd);
        std::lock_guard<std::mutex> g(m_lock);
        ++attaches;
        if (!attachOk) return false;
        m_session = true;
        ++m_generation;
        const Handshake h =
            silentFromAttach > 0 && attaches > silentFromAttach ? Handshake::kSilent : handshake;
        if (h == Handshake::kConnect) Post([this] { m_events->OnLinkConnect(); });
        if (h == Handshake::kDrop) {
            m_session = false;
            Post([this] { End(); });
        }
        return true;
    }
    bool HasSession() override {
        std::lock_guard<std::mutex> g(m_lock);
        return m_session;
    }
    bool PreviousSessionClosed() override {
        std::lock_guard<std::mutex> g(m_lock);
        return previousClosed.load() && m_ending == 0;
    }
    int Send(const std::uint8_t* data, std::size_t length, bool /*more*/) override {
        Bytes msg(data, data + length);
        std::function<void(const Bytes&)> reply;
        {
            if (InDelivery()) ++sendsInDelivery;
            std::lock_guard<std::recursive_mutex> session(m_sessionLock);
            std::lock_guard<std::mutex> g(m_lock);
            if (!m_session) return -1;
            sent.push_back(msg);
            reply = onSend;
        }
        m_cv.notify_all();
        if (reply) reply(msg);
        return static_cast<int>(length);
    }
    void DisconnectSession() override {
        std::lock_guard<std::mutex> g(m_lock);
        ++disconnects;
        if (!m_session) return;
        m_session = false;
        ++m_ending;
        Post([this] {
            m_events->OnLinkDisconnect(false, 0, 0, true);
            std::lock_guard<std::mutex> g2(m_lock);
            --m_ending;
        });
    }
    void ReleaseSession() override {
        std::lock_guard<std::mutex> g(m_lock);
        m_session = false;
    }
    bool PeerAddress(std::string* text, WORD* port) override {
        *text = "198.51.100.10";
        *port = 443;
        return true;
    }
    bool LocalAddress(std::string* text, WORD* port) override {
        *text = "203.0.113.5";
        *port = 40000;
        return true;
    }
    std::vector<BYTE> MasterKey() override { return std::vector<BYTE>(48, 0x5A); }
    std::string PeerCertificateFingerprint() override {
        std::lock_guard<std::mutex> g(m_lock);
        return fingerprint;
    }

    // The gateway speaks: bytes (possibly several messages, or part of one) in one delivery.
    void Deliver(const Bytes& bytes) {
        std::lock_guard<std::mutex> g(m_lock);
        Post([this, bytes] {
            std::lock_guard<std::recursive_mutex> session(m_sessionLock);
            InDelivery() = true;
            std::size_t used = 0;
            // What the connector did not take stays, as the TLS library's cache keeps it.
            m_pending.insert(m_pending.end(), bytes.begin(), bytes.end());
            used = m_events->OnLinkReceive(m_pending.data(), m_pending.size());
            m_pending.erase(m_pending.begin(),
                            m_pending.begin() + static_cast<long>(std::min(used, m_pending.size())));
            InDelivery() = false;
        });
    }
    // The gateway hangs up.
    void Drop() {
        std::lock_guard<std::mutex> g(m_lock);
        m_session = false;
        ++m_ending;
        Post([this] {
            m_events->OnLinkDisconnect(false, 0, 0, false);
            std::lock_guard<std::mutex> g2(m_lock);
            --m_ending;
        });
    }
    std::vector<Bytes> Sent() {
        std::lock_guard<std::mutex> g(m_lock);
        return sent;
    }
    std::vector<Bytes> SentWithCode(std::uint8_t code) {
        std::vector<Bytes> out;
        for (auto& m : Sent())
            if (m.size() >= 2 && m[1] == code && (m[0] >> 4) == 1) out.push_back(m);
        return out;
    }
    int Disconnects() {
        std::lock_guard<std::mutex> g(m_lock);
        return disconnects;
    }
    // Every event posted so far was delivered.
    bool Idle() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_queue.empty() && !m_busy;
    }

    // Settings, set before the connector uses the link.
    Handshake handshake = Handshake::kConnect;
    bool initializeOk = true;
    bool attachOk = true;
    int chooseResult = 1;
    int silentFromAttach = 0;  // > 0: the handshakes after this many attaches never complete
    std::atomic<bool> previousClosed{true};
    std::function<void(const Bytes&)> onSend;
    // What happened.
    std::string caFolder;
    std::string fingerprint = "5A:5A:5A";  // of the gateway's certificate; "": it presented none
    std::vector<std::string> cipherLists, chosen;
    std::vector<Bytes> sent;
    int attaches = 0;
    int disconnects = 0;
    std::atomic<int> sendsInDelivery{0};

private:
    // Whether the calling thread is inside a delivery.
    static bool& InDelivery() {
        thread_local bool inside = false;
        return inside;
    }
    // Under m_lock.
    void Post(std::function<void()> work) {
        m_queue.push_back(std::move(work));
        m_cv.notify_all();
    }
    void End() { m_events->OnLinkDisconnect(false, 0, 0, false); }
    void Run() {
        std::unique_lock<std::mutex> g(m_lock);
        for (;;) {
            m_cv.wait(g, [this] { return m_stop || !m_queue.empty(); });
            if (m_stop) return;
            auto work = std::move(m_queue.front());
            m_queue.pop_front();
            m_busy = true;
            g.unlock();
            work();
            g.lock();
            m_busy = false;
        }
    }

    TunnelLinkEvents* m_events = nullptr;
    std::recursive_mutex m_sessionLock;  // taken before m_lock
    std::mutex m_lock;
    std::condition_variable m_cv;
    std::deque<std::function<void()>> m_queue;
    Bytes m_pending;
    bool m_session = false;
    bool m_stop = false;
    bool m_busy = false;
    unsigned m_generation = 0;
    int m_ending = 0;  // ends posted, not yet delivered
    std::thread m_thread;
};

// A connected socket for the connector's hand-over (the fake link closes it).
inline int SocketForLink() {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return -1;
    ::close(pair[1]);
    return pair[0];
}

}  // namespace engine::test
