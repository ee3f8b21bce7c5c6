#include "util/tw_thread.h"

#include <sys/resource.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <system_error>

#include "platform/clock_wait.h"
#include "platform/machine_root.h"
#include "platform/process.h"
#include "util/debug_print.h"

// What the owner and the thread share. It outlives the object, so a thread that was given up
// on (or whose object deleted itself) still has somewhere safe to record that it finished.
struct TwThread::Control {
    std::mutex mutex;
    std::condition_variable cv;
    bool idReady = false;
    unsigned long tid = 0;
    bool released = false;   // Resume or Terminate let the thread start
    bool abandoned = false;  // the object is gone or going: the thread must not touch it again
    bool inPost = false;     // PostExecute is running
    bool finished = false;   // the thread no longer touches the object
    unsigned long exitCode = 0;
};

TwThread::TwThread() : TwThread(TwThreadTiming{}) {}

TwThread::TwThread(const TwThreadTiming& timing, const platform::Clock& clock)
    : m_timing(timing), m_clock(clock) {}

TwThread::~TwThread() {
    if (m_Valid.load() && !m_AutoDelete.load() && m_thread.joinable()) {
        if (std::this_thread::get_id() == m_thread.get_id()) {
            m_thread.detach();  // deleted from its own Execute: nothing to wait for
        } else {
            {
                std::lock_guard<std::mutex> guard(m_control->mutex);
                if (m_control->released && !m_control->finished) {
                    DbgPrint(
                        "TwThread: thread %lu still running while its object is destroyed; "
                        "the derived destructor should call StopAndWait\n",
                        m_ThreadId);
                }
            }
            TwThread::Terminate();
            WaitAndJoin();
        }
    }
    if (m_Valid.load() && m_AutoDelete.load() && m_control) {
        // Deleted by somebody else before it ever ran: let the parked thread go without it.
        std::lock_guard<std::mutex> guard(m_control->mutex);
        if (!m_control->released) {
            m_control->abandoned = true;
            m_control->released = true;
            m_control->cv.notify_all();
        }
    }
    if (m_Valid.load()) m_Handle = nullptr;
}

unsigned long TwThread::Create(int autoDelete) {
    if (m_Valid.load()) return 0;  // one thread per object
    auto control = std::make_shared<Control>();
    m_AutoDelete.store(autoDelete);
    try {
        m_thread = std::thread(&TwThread::ThreadProc, this, control);
    } catch (const std::system_error&) {
        m_AutoDelete.store(0);
        return 0;
    }
    m_control = control;
    {
        std::unique_lock<std::mutex> lock(control->mutex);
        control->cv.wait(lock, [&] { return control->idReady; });
        m_ThreadId = control->tid;
    }
    m_Handle = reinterpret_cast<void*>(m_thread.native_handle());
    if (autoDelete) m_thread.detach();
    m_Suspended.store(1);
    m_Valid.store(1);
    return TW_SUCCEED;
}

void TwThread::ThreadProc(TwThread* self, std::shared_ptr<Control> control) {
    {
        std::unique_lock<std::mutex> lock(control->mutex);
        control->tid = platform::CurrentThreadId();
        control->idReady = true;
        control->cv.notify_all();
        control->cv.wait(lock, [&] { return control->released; });
        if (control->abandoned) {
            control->finished = true;
            control->cv.notify_all();
            return;
        }
    }
    unsigned long code = 0;
    // A thread asked to stop before it ever ran does not start its work.
    if (self->m_StopRequest.load() == 0) {
        self->PreExecute();
        code = self->Execute();
    }
    {
        std::lock_guard<std::mutex> guard(control->mutex);
        control->exitCode = code;
        if (control->abandoned) {
            control->finished = true;
            control->cv.notify_all();
            return;
        }
        control->inPost = true;
    }
    self->PostExecute();  // may delete the object
    std::lock_guard<std::mutex> guard(control->mutex);
    control->finished = true;
    control->cv.notify_all();
}

bool TwThread::StopAndWait() {
    if (!m_Valid.load() || m_AutoDelete.load() || !m_thread.joinable()) return true;
    if (std::this_thread::get_id() == m_thread.get_id()) return false;
    Terminate();
    return WaitAndJoin();
}

bool TwThread::WaitAndJoin() {
    std::unique_lock<std::mutex> lock(m_control->mutex);
    bool done = platform::WaitOn(m_clock, lock, m_control->cv, m_timing.stopWaitMs,
                                 [&] { return m_control->finished; });
    if (!done && m_control->inPost) {
        // Execute has returned; PostExecute is short, so this is not the stuck case.
        m_control->cv.wait(lock, [&] { return m_control->finished; });
        done = true;
    }
    if (!done) {
        m_control->abandoned = true;
        lock.unlock();
        DbgPrint("TwThread: thread %lu did not stop within %u ms; left running\n", m_ThreadId,
                 m_timing.stopWaitMs);
        m_thread.detach();
        return false;
    }
    lock.unlock();
    m_thread.join();
    return true;
}

unsigned long TwThread::Suspend() {
    if (!m_Valid.load()) return 0;
    if (m_Suspended.load()) return 1;
    return 0;  // no way to stop a running thread from outside on Linux
}

unsigned long TwThread::Resume() {
    if (!m_Valid.load()) return 0;
    if (!m_Suspended.load()) return 1;
    // The flag changes before the thread is let go: an auto-delete thread may finish and delete
    // the object at once, after which nothing here may touch it.
    m_Suspended.store(0);
    std::lock_guard<std::mutex> guard(m_control->mutex);
    m_control->released = true;
    m_control->cv.notify_all();
    return 1;
}

unsigned long TwThread::Terminate() {
    if (!IsValid()) return 0;
    // The request goes first, so a thread let go by Resume below already sees it.
    m_StopRequest.store(1);
    Resume();
    return 1;
}

int TwThread::IsTerminated() { return m_Terminated.load(); }
int TwThread::IsSuspended() { return m_Suspended.load(); }
int TwThread::IsValid() { return m_Valid.load(); }

unsigned long TwThread::Execute() { return 1; }
void TwThread::PreExecute() {}

void TwThread::PostExecute() {
    m_Terminated.store(1);
    if (m_AutoDelete.load()) delete this;
}

unsigned long TwThread::SetPriority(int priority) {
    if (!m_Valid.load() || m_ThreadId == 0) return 0;
    int niceValue;
    switch (priority) {
        case -15: niceValue = 19; break;  // idle
        case -2: niceValue = 10; break;   // lowest
        case -1: niceValue = 5; break;    // below normal
        case 0: niceValue = 0; break;     // normal
        case 1: niceValue = -5; break;    // above normal
        case 2: niceValue = -10; break;   // highest
        case 15: niceValue = -20; break;  // time critical
        default: niceValue = priority < 0 ? 10 : -10; break;
    }
    return setpriority(PRIO_PROCESS, static_cast<id_t>(m_ThreadId), niceValue) == 0 ? 1 : 0;
}

void* TwThread::GetHandle() const { return m_Handle; }
unsigned long TwThread::GetId() { return m_ThreadId; }
unsigned long TwThread::GetErrorCode() { return m_ErrorCode.load(); }

unsigned long TwThread::GetExitCode() {
    if (!m_control) return 0;
    std::lock_guard<std::mutex> guard(m_control->mutex);
    return m_control->exitCode;
}

void TwThread::LogEvent(const char* text) {
    std::string path = platform::MachineRoot() + "/ThrdLog.txt";
    FILE* file = std::fopen(path.c_str(), "ab");
    if (!file) return;
    std::fprintf(file, "%s\r\n", text ? text : "");
    std::fclose(file);
}
