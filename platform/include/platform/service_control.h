// The service layer: what the service control manager gives the suite, without systemd.
//
// Records: a service is installed as the key "SYSTEM\\CurrentControlSet\\Services\\<name>" of the
// settings store (values "ImagePath", "DisplayName", "Type", "Start", "ErrorControl",
// "FailureActions", "DeleteFlag"). Service names are compared case-insensitively.
//
// Running: StartServiceByName spawns the program named by "ImagePath" as a daemon (own session,
// standard streams on /dev/null) with QEL_SERVICE_NAME=<name> in its environment. A small monitor
// process waits for it and, when it ends abnormally (non-zero exit or a signal) and failure actions
// were set, starts it again after the configured delay, unless the service was stopped or removed
// meanwhile. The program calls RunServiceDispatcher from its main thread; the dispatcher serves
// the control socket RuntimeDir()/services/<name>.sock, keeps a pid file next to it, runs the
// service's main function on a thread and returns when the service reports SERVICE_STOPPED.
//
// Control requests come one at a time and run the handler on the dispatcher's thread. The control
// socket admits root and the service's own user (peer credentials); every other user learns the
// state (not the controls) from RuntimeDir()/services/<name>.status, which the dispatcher writes
// and holds write-locked for its life, so a reader needs no access to the service's process.
// Every wait is bounded. Error contract: Windows numbers (0 success).
#pragma once
#include <cstddef>
#include <string>

#include "platform/types.h"
#include "platform/win_error_codes.h"

namespace platform {

#pragma pack(push, 1)
struct SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
};
#pragma pack(pop)
static_assert(sizeof(SERVICE_STATUS) == 28);

// States.
constexpr DWORD SERVICE_STOPPED = 1;
constexpr DWORD SERVICE_START_PENDING = 2;
constexpr DWORD SERVICE_STOP_PENDING = 3;
constexpr DWORD SERVICE_RUNNING = 4;
constexpr DWORD SERVICE_CONTINUE_PENDING = 5;
constexpr DWORD SERVICE_PAUSE_PENDING = 6;
constexpr DWORD SERVICE_PAUSED = 7;
// Controls.
constexpr DWORD SERVICE_CONTROL_STOP = 1;
constexpr DWORD SERVICE_CONTROL_PAUSE = 2;
constexpr DWORD SERVICE_CONTROL_CONTINUE = 3;
constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;
// Controls accepted (bits).
constexpr DWORD SERVICE_ACCEPT_STOP = 1;
constexpr DWORD SERVICE_ACCEPT_PAUSE_CONTINUE = 2;
// Types and start types.
constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x10;
constexpr DWORD SERVICE_WIN32_SHARE_PROCESS = 0x20;
constexpr DWORD SERVICE_INTERACTIVE_PROCESS = 0x100;
constexpr DWORD SERVICE_AUTO_START = 2;
constexpr DWORD SERVICE_DEMAND_START = 3;
constexpr DWORD SERVICE_ERROR_NORMAL = 1;

// Result numbers.
constexpr DWORD kErrorServiceRequestTimeout = 1053;
constexpr DWORD kErrorInvalidServiceControl = 1052;
constexpr DWORD kErrorServiceAlreadyRunning = 1056;
constexpr DWORD kErrorServiceDoesNotExist = 1060;
constexpr DWORD kErrorServiceCannotAcceptCtrl = 1061;
constexpr DWORD kErrorServiceNotActive = 1062;
constexpr DWORD kErrorFailedServiceControllerConnect = 1063;
constexpr DWORD kErrorProcessAborted = 1067;
constexpr DWORD kErrorServiceExists = 1073;
constexpr DWORD kErrorInvalidName = 123;

struct ServiceConfig {
    std::string displayName;
    std::string binaryPath;  // full path of the program; started without arguments
    DWORD serviceType = SERVICE_WIN32_OWN_PROCESS;
    DWORD startType = SERVICE_DEMAND_START;
    DWORD errorControl = SERVICE_ERROR_NORMAL;
};

// --- Control side (any process) ---

// Creates the record. kErrorServiceExists when it exists already.
DWORD InstallService(const std::string& name, const ServiceConfig& config);
// Failure actions: restart `restartDelayMs` after an abnormal end; the reset period is stored.
DWORD SetServiceRestartOnFailure(const std::string& name, DWORD resetPeriodSeconds, DWORD restartDelayMs);
// Removes the record; a running service is only marked and removed when it stops.
DWORD UninstallService(const std::string& name);
bool ServiceInstalled(const std::string& name);
// Reads the record's program path.
DWORD GetServiceBinaryPath(const std::string& name, std::string* path);

// Starts the service and waits at most `timeoutMs` until its dispatcher answers:
// kErrorServiceAlreadyRunning, kErrorServiceDoesNotExist, kErrorProcessAborted (it ended before
// answering), kErrorServiceRequestTimeout (it was killed after the wait).
DWORD StartServiceByName(const std::string& name, DWORD timeoutMs = 30000);
// Status of an installed service; SERVICE_STOPPED when it is not running.
DWORD QueryServiceStatusByName(const std::string& name, SERVICE_STATUS* status);
// Sends a control code and receives the status the service reports after handling it. A stop
// request also keeps the monitor from restarting the service. kErrorServiceNotActive when not
// running, kErrorInvalidServiceControl when the service does not accept it, kErrorAccessDenied
// (5) for a caller without the right, kErrorServiceRequestTimeout when no answer came within
// `timeoutMs`.
DWORD ControlServiceByName(const std::string& name, DWORD code, SERVICE_STATUS* status,
                           DWORD timeoutMs = 30000);
// Whether the caller may send controls (root or the service's own user).
bool CanControlService(const std::string& name);
// Pid of the running service process, 0 when none.
DWORD GetServiceProcessId(const std::string& name);
// Whether the service's process still lives, whatever state it reports: a service that has
// reported SERVICE_STOPPED still tears down (and may still remove its own record) until it ends.
bool ServiceProcessAlive(const std::string& name);

// --- Service side (the service's own program) ---

using ServiceMainFunction = void (*)(DWORD argc, char** argv);
using ServiceHandlerFunction = void (*)(DWORD control);
struct ServiceStatusHandleTag;
using SERVICE_STATUS_HANDLE = ServiceStatusHandleTag*;

// Runs the dispatcher (blocks until the service reports SERVICE_STOPPED).
// kErrorFailedServiceControllerConnect when the process was not started by the service layer
// under `name`; other failures as Windows numbers.
DWORD RunServiceDispatcher(const std::string& name, ServiceMainFunction serviceMain);
// Registers the control handler (from the service's main function); null when no dispatcher of
// that name runs in this process.
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandler(const std::string& name, ServiceHandlerFunction handler);
// Publishes the status; true on success.
bool SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS* status);

}  // namespace platform
