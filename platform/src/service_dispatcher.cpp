// Service side of the service layer: the dispatcher that serves the control socket, runs the
// service's main function on its own thread and ends when the service reports it stopped.
#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/service_control.h"
#include "platform/settings_store.h"
#include "platform/secure_dir.h"
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
    int wakeFd = -1;
    ServiceStatusHandleTag handle;
};

Dispatcher& TheDispatcher() {
    static Dispatcher d;
    return d;
}

bool PeerMayControl(int fd) {
    ucred cred{};
    socklen_t len = sizeof(cred);
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return false;
    return cred.uid == 0 || cred.uid == ::geteuid();
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

// Handles one request on an accepted connection. The handler runs here, on the dispatcher's
// thread, and the answer carries the status it left.
void Serve(Dispatcher& d, int fd) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 2000) <= 0) return;
    svc::Request req{};
    // MSG_TRUNC reports the real length, so a longer message is refused rather than cut.
    if (::recv(fd, &req, sizeof(req), MSG_TRUNC) != static_cast<ssize_t>(sizeof(req)) || req.magic != svc::kMagic) {
        return;
    }
    svc::Reply reply{svc::kMagic, kErrorSuccess, {}};
    if (req.op == svc::kOpControl) {
        ServiceHandlerFunction handler;
        SERVICE_STATUS st;
        {
            std::lock_guard<std::mutex> g(d.lock);
            handler = d.handler;
            st = d.status;
        }
        if (!PeerMayControl(fd)) {
            reply.result = kErrorAccessDenied;
        } else if (handler == nullptr) {
            reply.result = kErrorServiceCannotAcceptCtrl;
        } else if (!Accepts(st, req.code)) {
            reply.result = (st.dwCurrentState == SERVICE_STOPPED || st.dwCurrentState == SERVICE_STOP_PENDING)
                               ? kErrorServiceCannotAcceptCtrl
                               : kErrorInvalidServiceControl;
        } else {
            handler(req.code);
        }
    } else if (req.op != svc::kOpQuery) {
        reply.result = kErrorInvalidParameter;
    }
    {
        std::lock_guard<std::mutex> g(d.lock);
        reply.status = d.status;
    }
    ::send(fd, &reply, sizeof(reply), MSG_NOSIGNAL);
}

int OpenListener(const std::string& name) {
    const std::string path = svc::SocketPath(name);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path)) return -1;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    ::unlink(path.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(fd, 16) != 0) {
        ::close(fd);
        return -1;
    }
    // Everyone may query; controls are checked per request by peer credentials.
    ::chmod(path.c_str(), 0666);
    return fd;
}

// Written as a fresh file (never through a link or into a file somebody left there) and renamed
// into place, so a reader sees a whole pid or none.
bool WritePidFile(const std::string& name) {
    const std::string dir = svc::ServiceDir();
    const std::string path = svc::PidPath(name);
    if (dir.empty() || path.empty()) return false;
    const std::string tmpName = svc::FileStem(name) + ".pid.tmp";
    const std::string tmp = dir + "/" + tmpName;
    int fd = CreateFileExclusive(dir, tmpName, 0644);
    if (fd < 0 && errno == EEXIST) {
        // Left by a crashed start; unlink removes the entry itself, even a link.
        ::unlink(tmp.c_str());
        fd = CreateFileExclusive(dir, tmpName, 0644);
    }
    if (fd < 0) return false;
    const std::string text = std::to_string(::getpid()) + "\n";
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    if (!written || ::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
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
        d.wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    }
    // The pid file comes first: once the socket answers, the service's process is known.
    const bool pidWritten = WritePidFile(name);
    const int listener = pidWritten ? OpenListener(name) : -1;
    if (listener < 0 || d.wakeFd < 0) {
        if (listener >= 0) ::close(listener);
        ::unlink(svc::PidPath(name).c_str());
        std::lock_guard<std::mutex> g(d.lock);
        d.active = false;
        return kErrorGeneralFailure;
    }

    std::string argv0 = name;
    std::thread mainThread([&] {
        char* argv[] = {argv0.data(), nullptr};
        serviceMain(1, argv);
        std::lock_guard<std::mutex> g(d.lock);
        d.mainDone = true;
        const std::uint64_t one = 1;
        (void)!::write(d.wakeFd, &one, sizeof(one));
    });
    for (;;) {
        {
            std::lock_guard<std::mutex> g(d.lock);
            if (d.status.dwCurrentState == SERVICE_STOPPED) break;
            // A main function that ended without registering a handler can never be stopped.
            if (d.mainDone && d.handler == nullptr) break;
        }
        pollfd p[2] = {{listener, POLLIN, 0}, {d.wakeFd, POLLIN, 0}};
        if (::poll(p, 2, 1000) < 0 && errno != EINTR) break;
        if ((p[1].revents & POLLIN) != 0) {
            std::uint64_t v;
            (void)!::read(d.wakeFd, &v, sizeof(v));
        }
        if ((p[0].revents & POLLIN) != 0) {
            const int c = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0) {
                Serve(d, c);
                ::close(c);
            }
        }
    }
    // Remove the socket first, so that from now on the service reads as stopped.
    ::unlink(svc::SocketPath(name).c_str());
    ::close(listener);
    mainThread.join();
    ::unlink(svc::PidPath(name).c_str());
    RemoveRecordIfMarked(name);
    std::lock_guard<std::mutex> g(d.lock);
    ::close(d.wakeFd);
    d.wakeFd = -1;
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
    const std::uint64_t one = 1;
    (void)!::write(d.wakeFd, &one, sizeof(one));
    return true;
}

}  // namespace platform
