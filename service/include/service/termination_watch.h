// SIGTERM and SIGINT as a stop request: while a StopOnTermination lives, either signal calls
// `onTerm` once, on a thread of the watch's own (never in the signal handler), so that a stop by
// the init system runs the service's ordinary stop instead of killing it in the middle of a command.
//
// One watch per process at a time (a second one is inactive). The destructor puts the previous
// signal dispositions back and returns once `onTerm` has returned.
#pragma once
#include <atomic>
#include <functional>
#include <thread>

#include "platform/unique_fd.h"

namespace service {

class StopOnTermination {
public:
    explicit StopOnTermination(std::function<void()> onTerm);
    ~StopOnTermination();
    StopOnTermination(const StopOnTermination&) = delete;
    StopOnTermination& operator=(const StopOnTermination&) = delete;

    bool Active() const { return m_active; }

private:
    void Run();

    std::function<void()> m_onTerm;
    platform::UniqueFd m_wake;
    std::atomic<bool> m_quit{false};
    bool m_active = false;
    std::thread m_thread;
};

}  // namespace service
