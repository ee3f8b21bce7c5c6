// Named objects as files in RuntimeDir()/objects, one file per name, locked with open-file-
// description (OFD) record locks, which belong to an open file like flock() locks but can be
// converted atomically and probed with F_OFD_GETLK:
//   byte 0  presence: every process holding the name keeps a shared lock; the process that finds
//           no other holder (exclusive lock granted) created the object and initialises it;
//   byte 1  the mutex itself: exclusive lock while some thread of a process owns it;
//   byte 2  guard: serialises create/open so the first holder finishes initialising first.
//   byte 3  holder mark: a classic (process-owned) read lock of every holder, so that anybody can
//           learn a holder's pid (F_GETLK names the owner of such a lock, never of an OFD lock).
//           A process loses it when it closes any descriptor of the file, so each process keeps
//           one descriptor per name and never opens a second one while it holds the name.
// The first page of the file is shared memory with the object's state (owner pid of a mutex,
// flag of an event, which a futex waits on). Within one process all handles of a name share one
// open file, so the locks describe processes and a std::mutex / condition variable arbitrates
// between the process's threads.
#include "platform/named_objects.h"

#include <fcntl.h>
#include <pwd.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "platform/errors.h"
#include "platform/win_error_codes.h"
#include "platform/machine_root.h"
#include "platform/unique_fd.h"
#include "mapping_guard.h"

namespace platform {

namespace {

constexpr off_t kPresenceByte = 0;
constexpr off_t kMutexByte = 1;
constexpr off_t kGuardByte = 2;
constexpr off_t kHolderByte = 3;
constexpr std::size_t kMapSize = 4096;
constexpr std::uint32_t kMagic = 0x4f4c4551;  // "QELO"
constexpr std::uint32_t kTypeMutex = 1;
constexpr std::uint32_t kTypeEvent = 2;
constexpr DWORD kErrorAlreadyExists = 183;
constexpr DWORD kErrorInvalidHandle = 6;
constexpr DWORD kErrorNotOwner = 288;
// ERROR_FILE_INVALID: the object's file was changed under it (truncated, replaced, linked).
constexpr DWORD kErrorFileInvalid = 1006;
// A mutex holder that dies does not wake anybody; waiters look again at least this often.
constexpr int kMutexRecheckMs = 50;
constexpr std::size_t kMaxFileName = 200;

#pragma pack(push, 1)
struct SharedState {
    std::uint32_t magic;
    std::uint32_t type;
    std::int32_t ownerPid;    // mutex: pid of the owning process, 0 when released cleanly
    std::uint32_t releases;   // mutex: bumped on every release (futex word for waiters)
    std::uint32_t manual;     // event: manual reset
    std::uint32_t signalled;  // event: the flag (futex word)
};
#pragma pack(pop)
static_assert(sizeof(SharedState) == 24, "shared object header layout");

long Futex(std::uint32_t* word, int op, std::uint32_t value, const struct timespec* timeout) {
    return ::syscall(SYS_futex, word, op, value, timeout, nullptr, 0);
}

// Waits while *word == expected, at most `ms` (negative: no limit). Spurious returns are fine.
void FutexWait(std::uint32_t* word, std::uint32_t expected, int ms) {
    struct timespec ts {};
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    Futex(word, FUTEX_WAIT, expected, ms < 0 ? nullptr : &ts);
}

void FutexWakeAll(std::uint32_t* word) { Futex(word, FUTEX_WAKE, INT_MAX, nullptr); }

// A lock of the one byte at `start`.
struct flock OneByte(short type, off_t start) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = 1;
    return fl;
}

int LockRange(int fd, short type, off_t start, bool wait) {
    struct flock fl = OneByte(type, start);
    for (;;) {
        int rc = ::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl);
        if (rc < 0 && errno == EINTR) {
            continue;
        }
        return rc;
    }
}

bool OthersHold(int fd, off_t start) {
    struct flock fl = OneByte(F_WRLCK, start);
    return ::fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
}

// The holder mark of this process (see the top of the file); a failure only hides the holder.
void MarkHolder(int fd) {
    struct flock fl = OneByte(F_RDLCK, kHolderByte);
    while (::fcntl(fd, F_SETLK, &fl) < 0 && errno == EINTR) {
    }
}

// The pid of a process other than this one that has the holder mark; 0 when none can be named.
long MarkedHolder(int fd) {
    struct flock fl = OneByte(F_WRLCK, kHolderByte);
    if (::fcntl(fd, F_GETLK, &fl) != 0 || fl.l_type == F_UNLCK || fl.l_pid <= 0) return 0;
    return fl.l_pid;
}

bool ThreadAlive(pid_t tid) {
    std::string task = "/proc/self/task/" + std::to_string(tid);
    return ::access(task.c_str(), F_OK) == 0;
}

// "Global\\VORNCLIENT_FILELOG" -> "VORNCLIENT_FILELOG". There are no sessions here, so the
// global and local namespaces are one. Anything but [A-Za-z0-9_-] is %-escaped: no name can
// reach outside the folder or make a hidden file.
std::string FileNameFor(const std::string& name) {
    std::string rest = name;
    for (const char* prefix : {"Global\\", "Local\\"}) {
        std::size_t n = std::strlen(prefix);
        if (rest.size() >= n && ::strncasecmp(rest.c_str(), prefix, n) == 0) {
            rest = rest.substr(n);
            break;
        }
    }
    static const char* hex = "0123456789ABCDEF";
    std::string out = "obj-";
    for (const char byte : rest) {
        const auto c = static_cast<unsigned char>(byte);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
            c == '-') {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    if (out.size() > kMaxFileName) {
        // Too long for a file name: keep a readable start and make it unique with a hash.
        std::uint64_t h = 1469598103934665603ull;  // FNV-1a over the whole name
        for (const char byte : rest) {
            const auto c = static_cast<unsigned char>(byte);
            h = (h ^ c) * 1099511628211ull;
        }
        out.resize(kMaxFileName - 17);
        out.push_back('~');
        for (int shift = 60; shift >= 0; shift -= 4) {
            out.push_back(hex[(h >> shift) & 15]);
        }
    }
    return out;
}

// Every user's programs meet here, so it is sticky like /tmp: nobody removes or replaces another
// user's object file. Made and checked like root's folders (a planted link is refused).
std::string ObjectsDir() { return RuntimeSubDir(kObjectsRuntimeDir, 01777); }

// A waiter on an object nobody signals any more looks at it this often, so that a file another
// user truncated is noticed (the guard swaps in a zero page on the first touch).
constexpr int kBrokenRecheckMs = 1000;

// One per name and process, shared by every handle of the process.
struct SharedObject {
    UniqueFd fd;  // closing it drops every lock of this process on the name
    SharedState* state = nullptr;
    std::uint32_t type = 0;
    // Mutex ownership among the threads of this process.
    std::mutex lock;
    std::condition_variable changed;
    pid_t ownerTid = 0;
    unsigned recursion = 0;
    bool acquiring = false;  // a thread holds the in-process claim and waits for the file lock

    // False once the file was cut or overwritten under us: the object can no longer be used.
    bool Intact() const {
        if (std::atomic_ref<std::uint32_t>(state->magic).load() == kMagic) {
            return true;
        }
        SetLastError(kErrorFileInvalid);
        return false;
    }

    ~SharedObject() {
        if (state != nullptr) {
            detail::UnguardMapping(state);
            ::munmap(state, kMapSize);
        }
    }
};

std::mutex g_registryLock;
std::map<std::string, std::weak_ptr<SharedObject>>& Registry() {
    static std::map<std::string, std::weak_ptr<SharedObject>> registry;
    return registry;
}

// Opens the file of an object, creating it when asked. An existing file is opened without
// O_CREAT: with fs.protected_regular, O_CREAT on another user's file in a sticky folder fails.
int OpenObjectFile(const std::string& path, bool create) {
    const int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW;
    for (int attempt = 0; attempt < 5; ++attempt) {
        int fd = ::open(path.c_str(), flags);
        if (fd >= 0 || errno != ENOENT || !create) {
            return fd;
        }
        fd = ::open(path.c_str(), flags | O_CREAT | O_EXCL, 0666);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
        // Somebody else created it just now: open theirs.
    }
    errno = EAGAIN;
    return -1;
}

// Maps the object file's state; false (errno set) when it cannot be mapped or guarded.
bool MapState(SharedObject* obj, int fd) {
    void* map = ::mmap(nullptr, kMapSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        obj->state = nullptr;
        return false;
    }
    // A forked child (a service's monitor, which never execs) would otherwise keep the
    // mapping, and with it this file's locks: the object would outlive its last holder.
    ::madvise(map, kMapSize, MADV_DONTFORK);
    obj->state = static_cast<SharedState*>(map);
    if (!detail::GuardMapping(map, kMapSize)) {
        ::munmap(map, kMapSize);
        obj->state = nullptr;
        errno = ENOMEM;
        return false;
    }
    return true;
}

// The state other holders made is whole and of `type` (0: either kind).
bool JoinedStateFits(const SharedObject& obj, std::uint32_t type) {
    if (obj.state->magic != kMagic) {
        errno = EINVAL;
        SetLastError(kErrorFileInvalid);
        return false;
    }
    if (type != 0 && obj.state->type != type) {
        errno = EEXIST;  // the name belongs to an object of another kind
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    return true;
}

// Opens the object file, joins the holders and maps the state. *existed tells whether another
// holder was there. With mustExist, fails (ERROR_FILE_NOT_FOUND) rather than create.
std::shared_ptr<SharedObject> Attach(const std::string& path, std::uint32_t type, bool mustExist,
                                     bool* existed) {
    int fd = OpenObjectFile(path, !mustExist);
    if (fd < 0) {
        return nullptr;
    }
    auto obj = std::make_shared<SharedObject>();
    obj->fd.Reset(fd);
    obj->type = type;
    struct stat st {};
    // Only a plain file of its own may be mapped: not a device or fifo, not a second name of
    // some other file.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
        errno = EINVAL;
        SetLastError(kErrorFileInvalid);
        return nullptr;
    }
    if (st.st_uid == ::geteuid() && (st.st_mode & 0777) != 0666) {
        ::fchmod(fd, 0666);  // any user's program may open the name, whoever created it
    }
    if (LockRange(fd, F_WRLCK, kGuardByte, true) < 0) {
        return nullptr;
    }
    if (mustExist && !OthersHold(fd, kPresenceByte)) {
        LockRange(fd, F_UNLCK, kGuardByte, false);
        errno = ENOENT;
        return nullptr;
    }
    bool first = LockRange(fd, F_WRLCK, kPresenceByte, false) == 0;
    bool ok = true;
    if (first) {
        ok = ::ftruncate(fd, static_cast<off_t>(kMapSize)) == 0;
    } else {
        ok = LockRange(fd, F_RDLCK, kPresenceByte, true) == 0;
        // The holders keep it at full size; a shorter file was cut by somebody, and mapping it
        // would fault on first touch.
        if (ok && (::fstat(fd, &st) != 0 || st.st_size != static_cast<off_t>(kMapSize))) {
            errno = EINVAL;
            SetLastError(kErrorFileInvalid);
            ok = false;
        }
    }
    if (ok) ok = MapState(obj.get(), fd);
    if (ok && first) {
        // Nobody else holds the name: whatever the file holds is left over from dead holders.
        std::memset(obj->state, 0, sizeof(SharedState));
        obj->state->type = type;
        obj->state->magic = kMagic;
        ok = LockRange(fd, F_RDLCK, kPresenceByte, false) == 0;  // atomic conversion
    }
    if (ok && !first) ok = JoinedStateFits(*obj, type);
    LockRange(fd, F_UNLCK, kGuardByte, false);
    if (!ok) {
        return nullptr;
    }
    MarkHolder(fd);
    *existed = !first;
    return obj;
}

// The process-wide object of `name`; type 0 accepts either kind (Open of an event checks it).
std::shared_ptr<SharedObject> Acquire(const std::string& name, std::uint32_t type, bool mustExist,
                                      bool* existed) {
    if (name.empty()) {
        errno = EINVAL;
        SetLastError(87);
        return nullptr;
    }
    // By full path: a test may switch machine roots while objects of the old one live on.
    const std::string dir = ObjectsDir();
    if (dir.empty()) {
        errno = EACCES;
        SetLastError(kErrorAccessDenied);
        return nullptr;
    }
    const std::string file = dir + "/" + FileNameFor(name);
    std::lock_guard<std::mutex> guard(g_registryLock);
    auto& registry = Registry();
    auto it = registry.find(file);
    if (it != registry.end()) {
        if (auto obj = it->second.lock()) {
            if (type != 0 && obj->type != type) {
                errno = EEXIST;
                SetLastError(kErrorInvalidHandle);
                return nullptr;
            }
            *existed = true;
            return obj;
        }
    }
    for (auto i = registry.begin(); i != registry.end();) {
        i = i->second.expired() ? registry.erase(i) : std::next(i);
    }
    SetLastError(0);
    auto obj = Attach(file, type, mustExist, existed);
    if (!obj) {
        if (GetLastError() != kErrorInvalidHandle && GetLastError() != kErrorFileInvalid) {
            SetLastError(WinErrorFromErrno(errno));
        }
        return nullptr;
    }
    registry[file] = obj;
    return obj;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// NamedMutex

struct NamedMutex::Impl {
    std::shared_ptr<SharedObject> obj;
    bool existed = false;
};

NamedMutex::NamedMutex() : m_impl(std::make_unique<Impl>()) {}

NamedMutex::~NamedMutex() = default;

std::unique_ptr<NamedMutex> NamedMutex::Create(const std::string& name, bool initiallyOwned) {
    std::unique_ptr<NamedMutex> m(new NamedMutex());
    m->m_impl->obj = Acquire(name, kTypeMutex, false, &m->m_impl->existed);
    if (!m->m_impl->obj) {
        return nullptr;
    }
    // As with CreateMutex: initial ownership only for the creator of the object.
    if (initiallyOwned && !m->m_impl->existed) {
        m->Wait(0);
    }
    SetLastError(m->m_impl->existed ? kErrorAlreadyExists : 0);
    return m;
}

bool NamedMutex::AlreadyExisted() const { return m_impl->existed; }

DWORD NamedMutex::Wait(DWORD timeoutMs, const Clock& clock) {
    SharedObject& o = *m_impl->obj;
    const pid_t me = static_cast<pid_t>(::gettid());
    const ClockDeadline deadline(clock, timeoutMs);
    std::unique_lock<std::mutex> lk(o.lock);
    if (o.ownerTid == me) {
        ++o.recursion;
        return kWaitObject0;
    }
    // First among the threads of this process...
    while (o.ownerTid != 0 || o.acquiring) {
        if (o.ownerTid != 0 && !ThreadAlive(o.ownerTid)) {
            // The owning thread ended without releasing: the process still holds the lock.
            o.ownerTid = me;
            o.recursion = 1;
            return kWaitAbandoned;
        }
        int left = deadline.RemainingMs();
        if (left == 0) {
            return kWaitTimeout;
        }
        // A thread that ends while owning notifies nobody; look again now and then.
        int slice = left < 0 || left > kMutexRecheckMs ? kMutexRecheckMs : left;
        o.changed.wait_for(lk, std::chrono::milliseconds(slice));
    }
    o.acquiring = true;
    lk.unlock();
    // ...then among processes. A release bumps `releases` and wakes us; a holder that dies
    // does not, so we look again every kMutexRecheckMs.
    std::atomic_ref<std::uint32_t> releases(o.state->releases);
    bool got = false;
    for (;;) {
        if (!o.Intact()) {
            break;
        }
        std::uint32_t seen = releases.load();
        if (LockRange(o.fd.Get(), F_WRLCK, kMutexByte, false) == 0) {
            got = true;
            break;
        }
        if (errno != EAGAIN && errno != EACCES) {
            break;
        }
        int left = deadline.RemainingMs();
        if (left == 0) {
            break;
        }
        FutexWait(&o.state->releases, seen, left < 0 || left > kMutexRecheckMs ? kMutexRecheckMs : left);
    }
    lk.lock();
    o.acquiring = false;
    if (!got) {
        o.changed.notify_all();
        return deadline.Expired() && o.Intact() ? kWaitTimeout : kWaitFailed;
    }
    std::atomic_ref<std::int32_t> ownerPid(o.state->ownerPid);
    bool abandoned = ownerPid.exchange(static_cast<std::int32_t>(::getpid())) != 0;
    o.ownerTid = me;
    o.recursion = 1;
    return abandoned ? kWaitAbandoned : kWaitObject0;
}

bool NamedMutex::Release() {
    SharedObject& o = *m_impl->obj;
    std::lock_guard<std::mutex> lk(o.lock);
    if (o.ownerTid != static_cast<pid_t>(::gettid())) {
        SetLastError(kErrorNotOwner);
        return false;
    }
    if (--o.recursion > 0) {
        return true;
    }
    // Released in any case below (the lock is ours), but a broken object is reported.
    const bool intact = o.Intact();
    std::atomic_ref<std::int32_t>(o.state->ownerPid).store(0);
    LockRange(o.fd.Get(), F_UNLCK, kMutexByte, false);
    std::atomic_ref<std::uint32_t>(o.state->releases).fetch_add(1);
    FutexWakeAll(&o.state->releases);
    o.ownerTid = 0;
    o.changed.notify_all();
    return intact;
}

// ---------------------------------------------------------------------------------------------
// NamedEvent

struct NamedEvent::Impl {
    std::shared_ptr<SharedObject> obj;
    bool existed = false;
};

NamedEvent::NamedEvent() : m_impl(std::make_unique<Impl>()) {}

NamedEvent::~NamedEvent() = default;

std::unique_ptr<NamedEvent> NamedEvent::Create(const std::string& name, bool manualReset, bool initialState) {
    std::unique_ptr<NamedEvent> e(new NamedEvent());
    e->m_impl->obj = Acquire(name, kTypeEvent, false, &e->m_impl->existed);
    if (!e->m_impl->obj) {
        return nullptr;
    }
    if (!e->m_impl->existed) {
        // Only the creator decides the kind and the initial state, as with CreateEvent.
        SharedState* st = e->m_impl->obj->state;
        std::atomic_ref<std::uint32_t>(st->manual).store(manualReset ? 1 : 0);
        std::atomic_ref<std::uint32_t>(st->signalled).store(initialState ? 1 : 0);
    }
    SetLastError(e->m_impl->existed ? kErrorAlreadyExists : 0);
    return e;
}

std::unique_ptr<NamedEvent> NamedEvent::Open(const std::string& name) {
    std::unique_ptr<NamedEvent> e(new NamedEvent());
    e->m_impl->obj = Acquire(name, kTypeEvent, true, &e->m_impl->existed);
    if (!e->m_impl->obj) {
        return nullptr;
    }
    SetLastError(0);
    return e;
}

bool NamedEvent::AlreadyExisted() const { return m_impl->existed; }

bool NamedEvent::Set() {
    if (!m_impl->obj->Intact()) {
        return false;
    }
    SharedState* st = m_impl->obj->state;
    std::atomic_ref<std::uint32_t>(st->signalled).store(1);
    FutexWakeAll(&st->signalled);
    return true;
}

bool NamedEvent::Reset() {
    if (!m_impl->obj->Intact()) {
        return false;
    }
    std::atomic_ref<std::uint32_t>(m_impl->obj->state->signalled).store(0);
    return true;
}

DWORD NamedEvent::Wait(DWORD timeoutMs, const Clock& clock) {
    SharedState* st = m_impl->obj->state;
    std::atomic_ref<std::uint32_t> flag(st->signalled);
    const bool manual = std::atomic_ref<std::uint32_t>(st->manual).load() != 0;
    const ClockDeadline deadline(clock, timeoutMs);
    for (;;) {
        if (!m_impl->obj->Intact()) {
            return kWaitFailed;
        }
        std::uint32_t one = 1;
        if (manual ? flag.load() == 1 : flag.compare_exchange_strong(one, 0)) {
            return kWaitObject0;
        }
        int left = deadline.RemainingMs();
        if (left == 0) {
            return kWaitTimeout;
        }
        FutexWait(&st->signalled, 0, left < 0 || left > kBrokenRecheckMs ? kBrokenRecheckMs : left);
    }
}

// ---------------------------------------------------------------------------------------------

namespace {

// This process's object of `file`, if it holds one.
std::shared_ptr<SharedObject> HeldHere(const std::string& file) {
    std::lock_guard<std::mutex> guard(g_registryLock);
    auto& registry = Registry();
    auto it = registry.find(file);
    return it == registry.end() ? nullptr : it->second.lock();
}

std::string ObjectFile(const std::string& name) {
    if (name.empty()) {
        return {};
    }
    const std::string dir = ObjectsDir();
    return dir.empty() ? std::string() : dir + "/" + FileNameFor(name);
}

std::string ReadSmallFile(const std::string& path) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd) {
        return {};
    }
    char buf[64];
    const ssize_t n = ::read(fd.Get(), buf, sizeof(buf));
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

}  // namespace

bool NamedObjectExists(const std::string& name) {
    const std::string path = ObjectFile(name);
    if (path.empty()) {
        return false;
    }
    // Held here: a second descriptor of the file, once closed, would drop this process's mark.
    if (HeldHere(path)) {
        return true;
    }
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd) {
        return false;
    }
    return OthersHold(fd.Get(), kPresenceByte);
}

bool HeldByUserOrRoot(const NamedObjectHolder& holder) {
    return holder.uidKnown && (holder.uid == ::geteuid() || holder.uid == 0);
}

std::string NamedObjectFile(const std::string& name) { return ObjectFile(name); }

bool FindNamedObjectHolder(const std::string& name, NamedObjectHolder* holder) {
    *holder = NamedObjectHolder{};
    const std::string path = ObjectFile(name);
    if (path.empty()) {
        return false;
    }
    const std::shared_ptr<SharedObject> own = HeldHere(path);
    UniqueFd opened;
    int fd = own ? own->fd.Get() : -1;
    if (!own) {
        opened.Reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
        fd = opened.Get();
    }
    // Locks of another open file of this process would count too; this process has none but `own`.
    if (fd < 0 || !OthersHold(fd, kPresenceByte)) {
        return false;
    }
    holder->pid = MarkedHolder(fd);
    if (holder->pid == 0) {
        return true;
    }
    const std::string proc = "/proc/" + std::to_string(holder->pid);
    struct stat st {};
    if (::stat(proc.c_str(), &st) == 0) {
        holder->uidKnown = true;
        holder->uid = st.st_uid;
        holder->user = std::to_string(st.st_uid);
        struct passwd pw {};
        struct passwd* found = nullptr;
        char buf[1024];
        if (::getpwuid_r(st.st_uid, &pw, buf, sizeof(buf), &found) == 0 && found != nullptr) {
            holder->user = found->pw_name;
        }
    }
    std::string program = ReadSmallFile(proc + "/comm");
    while (!program.empty() && (program.back() == '\n' || program.back() == '\0')) program.pop_back();
    for (char& c : program) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';  // a name is the holder's to choose
    }
    holder->program = program.substr(0, 15);
    return true;
}

}  // namespace platform
