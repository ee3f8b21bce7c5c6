#include "engine.h"

#include <algorithm>
#include <mutex>
#include <new>
#include <thread>

#include "accept_socket.h"

namespace prendle {

std::atomic<long> Engine::s_liveConnections{0};
std::atomic<long> Engine::s_trimPeriodMs{5000};

namespace {

std::mutex g_engineMutex;
Engine* g_engine = nullptr;
int g_managers = 0;

// Keeps the session sockets supplied: reads what arrived and writes what is queued. Never runs
// user code. It sleeps until a socket is ready: a stop wakes it through the port (WakeAll), so an
// idle engine costs no wake-ups.
class IoWorker : public TwThread {
public:
    explicit IoWorker(platform::ReadinessPort& port) : m_port(port) {}
    ~IoWorker() override { StopAndWait(); }

protected:
    unsigned long Execute() override {
        while (m_StopRequest.load() == 0) m_port.RunOnce(platform::kInfinite);
        return 0;
    }

private:
    platform::ReadinessPort& m_port;
};

// Runs the user callbacks for received chunks, in order per session.
class DispatchWorker : public TwThread {
public:
    explicit DispatchWorker(platform::CompletionQueue& port) : m_port(port) {}
    ~DispatchWorker() override { StopAndWait(); }

protected:
    unsigned long Execute() override {
        while (m_StopRequest.load() == 0) {
            platform::CompletionQueue::Completion completion;
            if (!m_port.Get(&completion, platform::kInfinite)) continue;
            if (completion.context == nullptr) continue;
            TwAcceptSocket::Dispatch(completion.key);
        }
        return 0;
    }

private:
    platform::CompletionQueue& m_port;
};

}  // namespace

unsigned long Engine::Acquire(Engine** engine) {
    std::lock_guard<std::mutex> guard(g_engineMutex);
    if (g_engine == nullptr) {
        auto* fresh = new (std::nothrow) Engine;
        if (fresh == nullptr) return 10;
        if (!fresh->Start()) {
            fresh->Stop();
            delete fresh;
            return 11;
        }
        g_engine = fresh;
    }
    ++g_managers;
    *engine = g_engine;
    return TW_SUCCEED;
}

void Engine::Release() {
    std::lock_guard<std::mutex> guard(g_engineMutex);
    if (--g_managers > 0 || g_engine == nullptr) return;
    g_engine->Stop();
    delete g_engine;
    g_engine = nullptr;
}

bool Engine::Start() {
    if (!m_ioPort.Valid()) return false;
    unsigned processors = std::thread::hardware_concurrency();
    if (processors == 0) processors = 1;
    // Half the cores per port, at least two (a handler that blocks leaves another free): together
    // as many threads as cores. Twice the cores per port only added threads that woke for work
    // another one took.
    m_workersPerPort = std::max<std::size_t>(2, processors / 2);
    for (std::size_t i = 0; i < m_workersPerPort; ++i) {
        for (int kind = 0; kind < 2; ++kind) {
            std::unique_ptr<TwThread> worker;
            if (kind == 0) {
                worker.reset(new (std::nothrow) IoWorker(m_ioPort));
            } else {
                worker.reset(new (std::nothrow) DispatchWorker(m_dispatchPort));
            }
            if (!worker || worker->Create(0) != TW_SUCCEED || worker->Resume() != TW_SUCCEED) return false;
            m_workers.push_back(std::move(worker));
        }
    }
    return m_trimTimer.Start(std::chrono::milliseconds(s_trimPeriodMs.load()), [this] { m_pool.Trim(); });
}

void Engine::Stop() {
    m_trimTimer.Stop();
    for (auto& worker : m_workers) worker->Terminate();
    // Only once every stop flag is set may the wake-ups go out: an empty completion taken by a
    // worker that was not yet told to stop would be lost for the one that was.
    for (std::size_t i = 0; i < m_workers.size(); ++i) m_dispatchPort.Post({});
    m_ioPort.WakeAll();
    m_workers.clear();  // each destructor waits for its thread
    m_ioPort.ClearWake();
}

}  // namespace prendle
