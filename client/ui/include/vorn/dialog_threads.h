// The main dialog's two helper threads.
//
// MonitorThread watches the engine's logon: one running longer than the cut is handed to `cut`
// (on this thread), after which the monitor ends. WatchdogThread waits for the machine-wide stop
// event and then calls `onStop` once (on its thread; the dialog posts 2031 from there).
//
// Both stop cooperatively: Stop() wakes the thread and joins it; no thread is killed. Stop()
// must not be called from the thread itself.
#pragma once
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/named_objects.h"
#include "vorn/ui_timing.h"

namespace vorn {

class MonitorThread {
public:
    MonitorThread(std::function<bool()> logonRunning, std::function<void()> cut, const UiTiming& timing,
                  const platform::Clock& clock);
    ~MonitorThread();
    void Start();
    void Stop();

private:
    void Run();

    std::function<bool()> m_logonRunning;
    std::function<void()> m_cut;
    UiTiming m_timing;
    const platform::Clock& m_clock;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_stop = false;
    std::thread m_thread;
};

class WatchdogThread {
public:
    // Creates (or opens) the manual-reset event `eventName`.
    WatchdogThread(const std::string& eventName, std::function<void()> onStop, const UiTiming& timing);
    ~WatchdogThread();
    bool Valid() const { return m_event != nullptr; }
    void Start();
    // The owner goes: the thread ends without calling onStop.
    void Terminate();

private:
    void Execute();

    std::unique_ptr<platform::NamedEvent> m_event;
    std::function<void()> m_onStop;
    UiTiming m_timing;
    std::atomic<bool> m_terminated{false};
    std::thread m_thread;
};

}  // namespace vorn
