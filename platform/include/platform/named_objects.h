// Named objects shared by all processes of one machine root ("Global\\..." names). They live as
// files in RuntimeDir()/objects; a name is mapped to a file name safely (no path from the name).
// There are no sessions: "Global\\X", "Local\\X" and "X" are one object. A mutex and an event
// cannot share a name (Create fails, last error 6). Create sets the last error to 183
// (ERROR_ALREADY_EXISTS) when the object existed, else 0. Handles may be used by several threads.
// Cross-process state: record locks on the object's file (they die with their process) and a
// shared page of it (owner pid, event flag, futex words).
#pragma once
#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/types.h"

namespace platform {

// A named mutex. Ownership is per object (one owner thread at a time inside the process, like a
// Windows mutex handle used by several threads) and per process across processes. A holder that
// dies leaves the mutex abandoned: the next Wait obtains it and returns kWaitAbandoned.
class NamedMutex {
public:
    // Creates or opens. Null on failure (errno kept).
    static std::unique_ptr<NamedMutex> Create(const std::string& name, bool initiallyOwned = false);
    ~NamedMutex();
    // kWaitObject0, kWaitAbandoned, kWaitTimeout or kWaitFailed. Re-entrant for the owner thread
    // (each Wait needs its Release). Abandoned: the owning process died, or the owning thread of
    // this process ended, without releasing it. Closing the last handle of a process while owning
    // it abandons it too. The time-out is counted on `clock` (a manual clock's wait ends when the
    // test moves it past the deadline; the holder is looked for every 50 ms meanwhile).
    DWORD Wait(DWORD timeoutMs, const Clock& clock = SystemClock());
    // false (last error 288) when the calling thread does not own it.
    bool Release();
    // true when Create found the object already existing (ERROR_ALREADY_EXISTS).
    bool AlreadyExisted() const;

private:
    NamedMutex();
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// A named event, manual- or auto-reset, shared across processes.
class NamedEvent {
public:
    static std::unique_ptr<NamedEvent> Create(const std::string& name, bool manualReset, bool initialState);
    // Opens an existing one; null (last error 2) when no process holds it.
    static std::unique_ptr<NamedEvent> Open(const std::string& name);
    ~NamedEvent();
    bool Set();
    bool Reset();
    // kWaitObject0 or kWaitTimeout (kWaitFailed on error). Auto-reset: one waiter takes it. The
    // time-out is counted on `clock`.
    DWORD Wait(DWORD timeoutMs, const Clock& clock = SystemClock());
    bool AlreadyExisted() const;

private:
    NamedEvent();
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// True while at least one live process holds a NamedMutex or NamedEvent of that name. The answer
// ends with the last holder: a crashed holder does not keep the name alive.
bool NamedObjectExists(const std::string& name);

// One process that holds a name, as the kernel tells it: every holder marks its object file with
// a lock of its own process, whose owner any user may ask for.
struct NamedObjectHolder {
    long pid = 0;  // 0: the system does not name it (another pid namespace, /proc with hidepid)
    bool uidKnown = false;
    unsigned uid = 0;
    std::string user;     // the account's name, else its number; empty when the uid is unknown
    std::string program;  // its program's short name (up to 15 characters); empty when unknown
};

// Whether a process other than the caller holds `name`; *holder names one of them (pid 0 when
// none of them can be named). Reads only what any local user may read.
bool FindNamedObjectHolder(const std::string& name, NamedObjectHolder* holder);

// Whether `holder` is known to run as the caller's own user or as root: the only holders a
// program of the suite waits for or obeys (named objects are open to every local user).
bool HeldByUserOrRoot(const NamedObjectHolder& holder);

// The file that stands for `name` (what an administrator looks for with fuser or lsof).
std::string NamedObjectFile(const std::string& name);

}  // namespace platform
