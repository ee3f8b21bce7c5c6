// The thread base class of the suite: derive, override Execute (and Terminate when Execute blocks
// on something the stop request alone cannot interrupt), then Create(autoDelete) and Resume().
#pragma once
#include <atomic>
#include <memory>
#include <thread>

#include "platform/clock.h"

constexpr unsigned long TW_SUCCEED = 1;

struct TwThreadTiming {
    unsigned stopWaitMs = 6000;  // how long a stop waits for the thread before it gives it up
};

// Lifecycle: constructed (not valid) -> Create (valid, suspended: the thread exists and waits at
// its start) -> Resume (runs PreExecute, Execute, PostExecute) -> terminated. With auto-delete the
// object deletes itself on its own thread after Execute and must not be touched after Resume.
//
// Stopping: Terminate sets m_StopRequest (which Execute loops poll) and lets a never-started thread
// go; such a thread skips PreExecute/Execute and only runs PostExecute.
//
// Destruction: a derived class whose Execute uses the derived object's members (or whose Terminate
// signals its own events) MUST call StopAndWait() first thing in its destructor, so that the thread
// is stopped through the derived Terminate and joined while the derived part still exists. The
// base destructor only repeats the stop with the base Terminate for classes that did not.
//
// Linux has no safe way to kill a thread: a thread that ignores the stop request for
// TwThreadTiming::stopWaitMs (measured on the clock given at construction) is left running (detached) and
// reported on the debug output; once it finishes it no longer touches the object.
//
// Thread-safety: Terminate/Resume/Is* from any thread; flags are atomic.
class TwThread {
public:
    TwThread();
    // `clock` must outlive the object (and a thread left running after it).
    explicit TwThread(const TwThreadTiming& timing, const platform::Clock& clock = platform::SystemClock());
    virtual ~TwThread();
    TwThread(const TwThread&) = delete;
    TwThread& operator=(const TwThread&) = delete;

    // TW_SUCCEED when the thread exists (waiting for Resume), 0 when it could not be created.
    unsigned long Create(int autoDelete);

    // A started thread cannot be suspended on Linux: Suspend returns 1 only when the thread has
    // not started yet, 0 otherwise (and when not valid).
    virtual unsigned long Suspend();
    // Lets a created thread start; 1 when it runs (or already ran), 0 when not valid.
    virtual unsigned long Resume();
    // Cooperative: sets the stop request, then lets a never-started thread go. 0 when not valid.
    virtual unsigned long Terminate();
    virtual int IsTerminated();
    virtual int IsSuspended();
    virtual int IsValid();

    // Windows priority values (-15, -2..2, 15) mapped onto the thread's nice value; 1 on success,
    // 0 when there is no thread or the system refused (raising needs CAP_SYS_NICE).
    unsigned long SetPriority(int priority);

    // The pthread handle (null before Create), the kernel thread id, the derived class's error
    // code, and Execute's result once the thread finished (0 when Execute never ran).
    void* GetHandle() const;
    operator void*() const { return GetHandle(); }  // NOLINT(google-explicit-constructor)
    unsigned long GetId();
    unsigned long GetErrorCode();
    unsigned long GetExitCode();

    // Appends text and CR LF to "ThrdLog.txt" under the machine root; nothing when it cannot open.
    static void LogEvent(const char* text);

protected:
    virtual unsigned long Execute();  // the base body returns 1
    virtual void PreExecute();
    virtual void PostExecute();  // base: terminated = 1, then self-delete with auto-delete

    // Stops the thread through the (most derived available) Terminate, waits up to stopWaitMs
    // and joins it. True when the thread is gone (or there was none); false when it had to be
    // left running. Not for auto-delete objects, and never from the thread itself.
    bool StopAndWait();

    std::atomic<unsigned long> m_ErrorCode{0};
    std::atomic<int> m_StopRequest{0};
    std::atomic<int> m_Terminated{0};
    std::atomic<int> m_Suspended{1};
    std::atomic<int> m_Valid{0};
    std::atomic<int> m_AutoDelete{0};

private:
    struct Control;
    static void ThreadProc(TwThread* self, std::shared_ptr<Control> control);
    bool WaitAndJoin();

    TwThreadTiming m_timing;
    const platform::Clock& m_clock;
    std::shared_ptr<Control> m_control;
    std::thread m_thread;
    void* m_Handle = nullptr;
    unsigned long m_ThreadId = 0;
};
