// Service side of the service layer: the dispatcher that serves the control socket, runs the
// service's main function on its own thread and ends when the service reports it stopped.
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/atomic_file.h"
#include "platform/local_pipe.h"
#include "platform/service_control.h"
#include "platform/settings_store.h"
#include "platform/secure_dir.h"
#include "platform/unique_fd.h"
#include "service_common.h"

struct platform::ServiceStatusHandleTag {};

namespace platform {
namespace {

// One dispatcher per process, as with the Windows dispatcher.
struct Dispatcher {
    std::mutex lock;
    std::string name;
    bool active = false;
    bool mainDone = false;
    ServiceHandlerFunction handler = nullptr;
    SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 0, 0};
    std::condition_variable changed;  // status or mainDone changed
    ServiceStatusHandleTag handle;
    UniqueFd published;  // the status file, write-locked while the dispatcher runs
};

Dispatcher& TheDispatcher() {
    static Dispatcher d;
    return d;
}

bool Accepts(const SERVICE_STATUS& st, DWORD code) {
    if (st.dwCurrentState == SERVICE_STOPPED || st.dwCurrentState == SERVICE_STOP_PENDING) return false;
    switch (code) {
        case SERVICE_CONTROL_STOP: return (st.dwControlsAccepted & SERVICE_ACCEPT_STOP) != 0;
        case SERVICE_CONTROL_PAUSE:
        case SERVICE_CONTROL_CONTINUE: return (st.dwControlsAccepted & SERVICE_ACCEPT_PAUSE_CONTINUE) != 0;
        case SERVICE_CONTROL_INTERROGATE: return true;
        default: return code >= 128 && code <= 255;
    }
}

// A silent peer loses its connection after this long; others are served meanwhile.
constexpr int kControlIdleMs = 2000;

// Serves the control socket: one request per connection, answered with the status the handler
// left. The handler runs on the pipe's thread, one control at a time. Only root (and the
// service's own user, when the service does not run as root) may connect: queries and controls
// are theirs.
class ControlPipe : public LocalPipeServer::Handler {
public:
    explicit ControlPipe(Dispatcher& d) : m_d(d) {}
    void OnRequest(PipeRequest& request, PipeReply* reply) override {
        reply->close = true;
        svc::Request req{};
        if (request.data.size() != sizeof(req)) return;  // refused whole: closed unanswered
        std::memcpy(&req, request.data.data(), sizeof(req));
        if (req.magic != svc::kMagic) return;
        svc::Reply answer{svc::kMagic, Handle(req), {}};
        {
            std::lock_guard<std::mutex> g(m_d.lock);
            answer.status = m_d.status;
        }
        reply->data.resize(sizeof(answer));
        std::memcpy(reply->data.data(), &answer, sizeof(answer));
    }

private:
    DWORD Handle(const svc::Request& req) {
        if (req.op == svc::kOpQuery) return kErrorSuccess;
        if (req.op != svc::kOpControl) return kErrorInvalidParameter;
        ServiceHandlerFunction handler;
        SERVICE_STATUS st;
        {
            std::lock_guard<std::mutex> g(m_d.lock);
            handler = m_d.handler;
            st = m_d.status;
        }
        if (handler == nullptr) return kErrorServiceCannotAcceptCtrl;
        if (!Accepts(st, req.code)) {
            return (st.dwCurrentState == SERVICE_STOPPED || st.dwCurrentState == SERVICE_STOP_PENDING)
                       ? kErrorServiceCannotAcceptCtrl
                       : kErrorInvalidServiceControl;
        }
        handler(req.code);
        return kErrorSuccess;
    }
    Dispatcher& m_d;
};

// Written as a fresh file under a name nobody can foresee (never through a link or into a file
// somebody left there) and renamed into place, so a reader sees a whole pid or none.
bool WritePidFile(const std::string& name) {
    const std::string dir = svc::ServiceDir();
    const std::string path = svc::PidPath(name);
    if (dir.empty() || path.empty()) return false;
    return WriteFileAtomically(path, std::to_string(::getpid()) + "\n", 0644);
}

// The status file is made under a fresh name, locked and filled before it is renamed into place:
// a reader never sees it unlocked or empty while the service runs. The lock is an open-file-
// description lock, so no other descriptor of this process can drop it by closing the file.
UniqueFd PublishStatus(const std::string& name, const SERVICE_STATUS& status) {
    const std::string dir = svc::ServiceDir();
    const std::string path = svc::StatusPath(name);
    if (dir.empty() || path.empty()) return UniqueFd();
    const std::string tmpName = svc::FileStem(name) + ".status.tmp";
    const std::string tmp = dir + "/" + tmpName;
    UniqueFd fd(CreateFileExclusive(dir, tmpName, 0644));
    if (!fd && errno == EEXIST) {
        ::unlink(tmp.c_str());
        fd.Reset(CreateFileExclusive(dir, tmpName, 0644));
    }
    if (!fd) return UniqueFd();
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    svc::StatusText text;
    svc::FormatStatus(::getpid(), status.dwCurrentState, text);
    // The umask may have narrowed the mode; readers need it readable by everyone.
    if (::fchmod(fd.Get(), 0644) != 0 || ::fcntl(fd.Get(), F_OFD_SETLK, &lock) != 0 ||
        ::pwrite(fd.Get(), text, svc::kStatusTextSize, 0) != static_cast<ssize_t>(svc::kStatusTextSize) ||
        ::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return UniqueFd();
    }
    return fd;
}

void UpdatePublishedStatus(const Dispatcher& d) {
    if (!d.published) return;
    svc::StatusText text;
    svc::FormatStatus(::getpid(), d.status.dwCurrentState, text);
    (void)!::pwrite(d.published.Get(), text, svc::kStatusTextSize, 0);
}

// Removed before the lock goes with the descriptor, so that no reader finds the file unlocked
// with a running state in it (a reader treats an unlocked file as stopped anyway).
void WithdrawStatus(Dispatcher& d, const std::string& name) {
    if (!d.published) return;
    struct stat mine {
    }, there{};
    const std::string path = svc::StatusPath(name);
    if (::fstat(d.published.Get(), &mine) == 0 && ::lstat(path.c_str(), &there) == 0 &&
        mine.st_dev == there.st_dev && mine.st_ino == there.st_ino) {
        ::unlink(path.c_str());
    }
    d.published.Reset();
}

void RemoveRecordIfMarked(const std::string& name) {
    auto store = SettingsStore::Machine();
    DWORD marked = 0;
    if (store && store->GetDword(svc::RecordKey(name), "DeleteFlag", &marked) == kRegOk && marked != 0) {
        store->DeleteKey(svc::RecordKey(name));
    }
}

}  // namespace

DWORD RunServiceDispatcher(const std::string& name, ServiceMainFunction serviceMain) {
    const char* started = std::getenv("QEL_SERVICE_NAME");
    if (serviceMain == nullptr || started == nullptr || ::strcasecmp(started, name.c_str()) != 0) {
        return kErrorFailedServiceControllerConnect;
    }
    Dispatcher& d = TheDispatcher();
    {
        std::lock_guard<std::mutex> g(d.lock);
        if (d.active) return kErrorServiceAlreadyRunning;
        d.active = true;
        d.name = name;
        d.handler = nullptr;
        d.mainDone = false;
        d.status = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 0, 0};
    }
    // The pid file comes first: once the socket answers, the service's process is known.
    const bool pidWritten = WritePidFile(name);
    ControlPipe control(d);
    LocalPipeLimits limits;
    limits.maxMessage = sizeof(svc::Request);
    limits.idleTimeoutMs = kControlIdleMs;
    LocalPipeServer pipe(control, PeerPolicy::RootOrSelf(), limits);
    UniqueFd published;
    if (pidWritten) {
        std::lock_guard<std::mutex> g(d.lock);
        published = PublishStatus(name, d.status);
    }
    if (!pidWritten || !published || !pipe.Start(svc::SocketPath(name))) {
        ::unlink(svc::PidPath(name).c_str());
        std::lock_guard<std::mutex> g(d.lock);
        d.published = std::move(published);
        WithdrawStatus(d, name);
        d.active = false;
        return kErrorGeneralFailure;
    }
    {
        std::lock_guard<std::mutex> g(d.lock);
        d.published = std::move(published);
        UpdatePublishedStatus(d);
    }

    std::string argv0 = name;
    std::thread mainThread([&] {
        char* argv[] = {argv0.data(), nullptr};
        serviceMain(1, argv);
        std::lock_guard<std::mutex> g(d.lock);
        d.mainDone = true;
        d.changed.notify_all();
    });
    {
        std::unique_lock<std::mutex> g(d.lock);
        // A main function that ended without registering a handler can never be stopped.
        d.changed.wait(g, [&] {
            return d.status.dwCurrentState == SERVICE_STOPPED || (d.mainDone && d.handler == nullptr);
        });
    }
    // The socket goes first (Stop removes it), so that from now on the service reads as stopped.
    pipe.Stop();
    mainThread.join();
    {
        std::lock_guard<std::mutex> g(d.lock);
        WithdrawStatus(d, name);
    }
    ::unlink(svc::PidPath(name).c_str());
    RemoveRecordIfMarked(name);
    std::lock_guard<std::mutex> g(d.lock);
    d.active = false;
    d.handler = nullptr;
    return kErrorSuccess;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandler(const std::string& name, ServiceHandlerFunction handler) {
    Dispatcher& d = TheDispatcher();
    std::lock_guard<std::mutex> g(d.lock);
    if (!d.active || handler == nullptr || ::strcasecmp(d.name.c_str(), name.c_str()) != 0) return nullptr;
    d.handler = handler;
    return &d.handle;
}

bool SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS* status) {
    Dispatcher& d = TheDispatcher();
    std::lock_guard<std::mutex> g(d.lock);
    if (!d.active || handle != &d.handle || status == nullptr) return false;
    d.status = *status;
    UpdatePublishedStatus(d);
    d.changed.notify_all();
    return true;
}

}  // namespace platform
