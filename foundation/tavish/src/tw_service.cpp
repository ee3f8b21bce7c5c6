// TwService over the platform service layer.
#include "tavish/tw_service.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "dailylog/shared_daily_log.h"
#include "platform/machine_root.h"
#include "platform/process.h"
#include "platform/settings_store.h"
#include "platform/unique_fd.h"

TwService* TwService::m_This = nullptr;
platform::SERVICE_STATUS TwService::m_ServiceStatus{};
platform::SERVICE_STATUS_HANDLE TwService::m_ServiceStatusHandle = nullptr;
std::atomic<bool> TwService::m_bQuit{false};

namespace {

constexpr DWORD kShutdownInProgress = 1115;

void CopyName(char (&dst)[128], const char* src) {
    std::strncpy(dst, src != nullptr ? src : "", sizeof(dst) - 1);
    dst[sizeof(dst) - 1] = '\0';
}

// The console run's quit doorbell while it runs, -1 otherwise.
std::atomic<int> g_consoleQuitFd{-1};

void OnConsoleSignal(int) { TwService::Terminate(); }

// Longest wait of "-u" for the service's process to end after the stop request.
constexpr DWORD kStopWaitMs = 30000;

// Until the service's process has ended (or its record is gone); false after `limitMs`.
bool WaitForStopped(const char* name, DWORD limitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    for (;;) {
        platform::SERVICE_STATUS st{};
        // Between its STOPPED report and its end the process reads as pending, and a record
        // removed then is only marked: it would outlive this uninstall.
        // A query that failed on a closing socket says nothing: only a missing record ends the wait.
        const DWORD rc = platform::QueryServiceStatusByName(name, &st);
        if (rc == platform::kErrorServiceDoesNotExist) return true;
        if (rc == platform::kErrorSuccess && st.dwCurrentState == platform::SERVICE_STOPPED &&
            !platform::ServiceProcessAlive(name)) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// A record left, usable or only marked for deletion.
bool StillRegistered(const char* name) {
    platform::SERVICE_STATUS st{};
    return platform::QueryServiceStatusByName(name, &st) != platform::kErrorServiceDoesNotExist;
}

// The status record is changed by the service's main thread (at start) and by the control
// handler on the dispatcher's thread.
std::mutex g_statusLock;
// The service reports RUNNING before InitializeService runs, so a control could arrive while the
// service is still starting its threads; the hooks therefore never overlap: a stop waits until
// InitializeService has returned.
std::mutex g_hookLock;

const char* StateText(DWORD state) {
    if (state == platform::SERVICE_RUNNING) return "SERVICE_RUNNING";
    if (state == platform::SERVICE_START_PENDING) return "SERVICE_START_PENDING";
    return "other";
}

}  // namespace

TwService::TwService() { InitMembers(); }

TwService::TwService(const char* name) {
    InitMembers();
    CopyName(m_Name, name);
}

TwService::~TwService() {
    if (m_This == this) m_This = nullptr;
}

void TwService::EnableLogEvent(bool enable) { m_bLogEvent = enable; }

void TwService::InitMembers() {
    if (m_This != nullptr) {
        // No desktop to show a message box on: the text goes to standard error.
        std::fprintf(stderr, "Exception!: Service can not have more than 1 instance!\n");
        return;
    }
    m_This = this;
    m_bInitialized = false;
    m_bLogEvent = false;
    m_Name[0] = '\0';
}

void TwService::InitializeService() {}
void TwService::ProcessPause() {}
void TwService::ProcessContinue() {}
void TwService::ProcessStart() {}
void TwService::ProcessStop() {}
void TwService::ReportStatus() {}
void TwService::HandleOtherCode(DWORD) {}

void TwService::SetName(const char* name) { CopyName(m_Name, name); }

int TwService::ServiceMain(const char* name, int argc, char** argv) {
    int rc = 0;
    const std::string dir = platform::ProgramDir();
    if (!dir.empty() && ::chdir(dir.c_str()) != 0) {
        TW_LOG(LOG_CLIENT_LOGIN, 5, "[TwService::ServiceMain] chdir(%s) failed", dir.c_str());
    }
    if (argc < 2) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwService::ServiceMain] before Initialize");
        Initialize(name);
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwService::ServiceMain] after Initialize");
    } else if (std::strcmp(argv[1], "-i") == 0) {
        SetName(name);
        if (Register(platform::ProgramPath().c_str())) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwService::ServiceMain] Register %s successfully", m_Name);
        } else {
            TW_LOG(LOG_CLIENT_LOGIN, 5, "[TwService::ServiceMain] Register %s was not successful", m_Name);
        }
    } else if (std::strcmp(argv[1], "-u") == 0) {
        SetName(name);
        if (StopService(name) == 1) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwService::ServiceMain] StopService %s successfully", m_Name);
        } else {
            TW_LOG(LOG_CLIENT_LOGIN, 5, "[TwService::ServiceMain] StopService %s was not successful", m_Name);
        }
        // A record removed while its service still runs is only marked, and the stopping service
        // deletes it only if it has not passed that point yet: the record goes once the process did.
        if (!WaitForStopped(m_Name, kStopWaitMs)) {
            TW_LOG(LOG_CLIENT_LOGIN, 5, "[TwService::ServiceMain] %s did not stop within %u ms", m_Name,
                   static_cast<unsigned>(kStopWaitMs));
        }
        if (UnRegister()) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwService::ServiceMain] UnRegister %s successfully", m_Name);
        } else {
            TW_LOG(LOG_CLIENT_LOGIN, 5, "[TwService::ServiceMain] UnRegister %s was not successful", m_Name);
        }
        // Whoever uninstalls must learn that the service is still there.
        if (StillRegistered(m_Name)) rc = 1;
    } else if (std::strcmp(argv[1], "-t") == 0) {
        RunConsole();
    } else {
        std::printf("%s -i|-u|-t|-h\n", argv[0]);
        std::printf("\t-i\t- Register %s Service\n", name);
        std::printf("\t-u\t- Unregister %s Service\n", name);
        std::printf("\t-t\t- Debug %s in Console mode\n", name);
        std::printf("\t-h\t- print this help message\n");
        std::fflush(stdout);
    }
    delete this;
    return rc;
}

// The console run ends on "yes" (any case), on Terminate() or on SIGINT/SIGTERM. It sleeps until
// one of them comes: on its input and on the quit doorbell that Terminate rings (from a signal
// handler too: a write to an eventfd is safe there). Once standard input is at its end nothing
// more can be typed, so the loop stops reading (and prompting) and waits for the other two.
void TwService::RunConsole() {
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwService::ServiceMain] initialize service ...");
    const platform::UniqueFd quit(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    g_consoleQuitFd.store(quit.Get());
    struct sigaction sa {};
    sa.sa_handler = OnConsoleSignal;
    struct sigaction oldInt {
    }, oldTerm{};
    sigaction(SIGINT, &sa, &oldInt);
    sigaction(SIGTERM, &sa, &oldTerm);
    InitializeService();
    bool inputOpen = true;
    bool prompt = true;
    std::string word;
    while (!m_bQuit.load()) {
        if (inputOpen && prompt) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwService::ServiceMain] Stop service ? ");
            prompt = false;
        }
        pollfd fds[2] = {{quit.Get(), POLLIN, 0}, {inputOpen ? STDIN_FILENO : -1, POLLIN, 0}};
        if (::poll(fds, 2, quit ? -1 : 20) < 0 && errno != EINTR) break;
        if (fds[1].revents == 0) continue;
        char buffer[256];
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got <= 0) {
            inputOpen = false;
            continue;
        }
        // Words as scanf("%127s") would take them: a longer one is cut into pieces.
        bool yes = false;
        for (ssize_t i = 0; i <= got && !yes; ++i) {
            const bool blank = i == got || std::isspace(static_cast<unsigned char>(buffer[i])) != 0;
            if (!blank && word.size() < 127) {
                word.push_back(buffer[i]);
                continue;
            }
            if (!blank) {  // a full piece: it ends here, the character starts the next one
                yes = ::strcasecmp(word.c_str(), "yes") == 0;
                word.assign(1, buffer[i]);
                prompt = true;
                continue;
            }
            if (i == got) break;  // a word may go on in the next read
            if (word.empty()) continue;
            yes = ::strcasecmp(word.c_str(), "yes") == 0;
            word.clear();
            prompt = true;
        }
        if (yes) break;
    }
    g_consoleQuitFd.store(-1);
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwService::ServiceMain] stop service ...");
    ProcessStop();
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);
}

bool TwService::Initialize(const char* name) {
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwService::Initialize] Enter Initialize");
    if (name != nullptr) CopyName(m_Name, name);
    if (m_Name[0] == '\0') return false;
    const DWORD rc = platform::RunServiceDispatcher(m_Name, MyServiceMain);
    if (rc != platform::kErrorSuccess) return false;
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwService::Initialize] Leave Initialize");
    return true;
}

bool TwService::Report() {
    std::lock_guard<std::mutex> g(g_statusLock);
    return platform::SetServiceStatus(m_ServiceStatusHandle, &m_ServiceStatus);
}

namespace {
// Sets the state (and clears exit code, check point and wait hint when asked) under the lock.
void SetState(platform::SERVICE_STATUS* status, DWORD state, bool clear) {
    std::lock_guard<std::mutex> g(g_statusLock);
    status->dwCurrentState = state;
    if (clear) {
        status->dwWin32ExitCode = 0;
        status->dwCheckPoint = 0;
        status->dwWaitHint = 0;
    }
}
}  // namespace

void TwService::MyServiceMain(DWORD, char**) {
    {
        std::lock_guard<std::mutex> g(g_statusLock);
        m_ServiceStatus = platform::SERVICE_STATUS{
            platform::SERVICE_WIN32_OWN_PROCESS | platform::SERVICE_WIN32_SHARE_PROCESS,
            platform::SERVICE_START_PENDING,
            platform::SERVICE_ACCEPT_STOP | platform::SERVICE_ACCEPT_PAUSE_CONTINUE,
            0,
            0,
            0,
            0};
    }
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwService::MyServiceMain] Enter MyServiceMain");
    if (m_This == nullptr) return;
    m_ServiceStatusHandle = platform::RegisterServiceCtrlHandler(m_This->m_Name, MyControlHandler);
    if (m_ServiceStatusHandle == nullptr) return;
    std::lock_guard<std::mutex> hooks(g_hookLock);
    SetState(&m_ServiceStatus, platform::SERVICE_RUNNING, false);
    if (Report()) {
        m_This->InitializeService();
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwService::MyServiceMain] Leave MyServiceMain");
    }
}

void TwService::MyControlHandler(DWORD code) {
    if (m_This == nullptr) return;
    std::lock_guard<std::mutex> hooks(g_hookLock);
    switch (code) {
        case platform::SERVICE_CONTROL_STOP:
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwService::MyControlHandler] Receive SERVICE_CONTROL_STOP");
            SetState(&m_ServiceStatus, platform::SERVICE_STOP_PENDING, true);
            if (Report()) {
                m_This->ProcessStop();
                SetState(&m_ServiceStatus, platform::SERVICE_STOPPED, false);
                Report();
            }
            return;
        case platform::SERVICE_CONTROL_PAUSE:
            m_This->ProcessPause();
            SetState(&m_ServiceStatus, platform::SERVICE_PAUSED, false);
            break;
        case platform::SERVICE_CONTROL_CONTINUE:
            m_This->ProcessContinue();
            SetState(&m_ServiceStatus, platform::SERVICE_RUNNING, false);
            break;
        case platform::SERVICE_CONTROL_INTERROGATE: m_This->ReportStatus(); break;
        default: m_This->HandleOtherCode(code); break;
    }
    Report();
}

bool TwService::Register(const char* binaryPath) {
    if (m_Name[0] == '\0') {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[Register]strlen(m_Name) == 0, return false");
        return false;
    }
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[Register] Enter Register");
    if (!platform::SettingsStore::Machine()) {
        TW_LOG(LOG_CLIENT_LOGIN, 5, "[Register]OpenSCManager failed, lasterror=%d, return false",
               static_cast<int>(platform::kErrorGeneralFailure));
        return false;
    }
    platform::ServiceConfig config;
    config.displayName = m_Name;
    config.binaryPath = binaryPath != nullptr ? binaryPath : "";
    config.serviceType = platform::SERVICE_WIN32_OWN_PROCESS | platform::SERVICE_INTERACTIVE_PROCESS;
    config.startType = platform::SERVICE_AUTO_START;
    config.errorControl = platform::SERVICE_ERROR_NORMAL;
    const DWORD rc = platform::InstallService(m_Name, config);
    if (rc == platform::kErrorSuccess) {
        const DWORD actions = platform::SetServiceRestartOnFailure(m_Name, 0xFFFFFFFFu, 500);
        if (actions == platform::kErrorSuccess) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[Register] CreateService succeed, ChangeServiceConfig2 succeed");
        } else {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[Register] CreateService succeed, ChangeServiceConfig2 failed %d",
                   static_cast<int>(actions));
        }
        return true;
    }
    if (rc == platform::kErrorServiceExists) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[Register] SERVICE_EXISTS, return true");
        return true;
    }
    TW_LOG(LOG_CLIENT_LOGIN, 5, "[Register] CreateService failed, lasterror = %d", static_cast<int>(rc));
    return false;
}

bool TwService::UnRegister() {
    if (m_Name[0] == '\0') {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[UnRegister] strlen(m_Name) == 0, return false");
        return false;
    }
    if (!platform::SettingsStore::Machine()) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[UnRegister] OpenSCManager failed, lasterror=%d, return false",
               static_cast<int>(platform::kErrorGeneralFailure));
        return false;
    }
    const DWORD rc = platform::UninstallService(m_Name);
    if (rc == platform::kErrorServiceDoesNotExist) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[UnRegister] schService == NULL, return false");
        return false;
    }
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[UnRegister] schService != NULL, DeleteService returned %u, return true",
           static_cast<unsigned>(rc));
    return true;
}

int TwService::StartService(const char* name) {
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwService::StartService] ServiceName=%s", name != nullptr ? name : "");
    if (!platform::SettingsStore::Machine()) {
        TW_LOG(LOG_CLIENT_LOGIN, 5,
               "[TwService::StartService] OpenSCManager(SC_MANAGER_ALL_ACCESS) fails, LastError=0x%x",
               platform::kErrorGeneralFailure);
        return 0;
    }
    if (name == nullptr || !platform::ServiceInstalled(name)) {
        TW_LOG(LOG_CLIENT_LOGIN, 5,
               "[TwService::StartService] OpenService(ServiceName=%s, SERVICE_START) fails, LastError=0x%x",
               name != nullptr ? name : "", platform::kErrorServiceDoesNotExist);
        return 0;
    }
    platform::SERVICE_STATUS st{};
    if (platform::QueryServiceStatusByName(name, &st) == platform::kErrorSuccess &&
        st.dwCurrentState == platform::SERVICE_RUNNING) {
        return 1;
    }
    const DWORD rc = platform::StartServiceByName(name, kStartWaitMs);
    if (rc != platform::kErrorSuccess) {
        TW_LOG(LOG_CLIENT_LOGIN, 5,
               "[TwService::StartService] StartService(ServiceHandle=0x%x) return 0x%x, LastError=0x%x", 0u,
               0u, rc);
        return rc == platform::kErrorServiceAlreadyRunning ? 1 : 0;
    }
    // The status is looked at every 2 s (more often, silently, so a quick start is seen at once),
    // and never longer than kStartWaitMs in all.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartWaitMs);
    for (;;) {
        if (platform::QueryServiceStatusByName(name, &st) != platform::kErrorSuccess) {
            TW_LOG(LOG_CLIENT_LOGIN, 5,
                   "[TwService::StartService] QueryServiceStatus(ServiceHandle=0x%x) fails, LastError=0x%x\n",
                   0u, platform::kErrorServiceNotActive);
            break;
        }
        if (st.dwCurrentState != platform::SERVICE_START_PENDING) break;
        TW_LOG(LOG_CLIENT_LOGIN, 5, "[TwService::StartService] ServiceStatus = %d-%s",
               static_cast<int>(st.dwCurrentState), StateText(st.dwCurrentState));
        const auto slice = std::chrono::steady_clock::now() + std::chrono::milliseconds(2000);
        while (std::chrono::steady_clock::now() < slice && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (platform::QueryServiceStatusByName(name, &st) == platform::kErrorSuccess &&
                st.dwCurrentState != platform::SERVICE_START_PENDING) {
                break;
            }
        }
        if (std::chrono::steady_clock::now() >= deadline) break;
    }
    return 1;
}

int TwService::StopService(const char* name) {
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwService::StopService] Enter StopService ServiceName %s",
           name != nullptr ? name : "");
    if (!platform::SettingsStore::Machine()) {
        TW_LOG(LOG_CLIENT_LOGIN, 5,
               "[TwService::StopService] OpenSCManager(SC_MANAGER_ALL_ACCESS) fails, LastError=0x%x",
               platform::kErrorGeneralFailure);
        return 0;
    }
    if (name == nullptr || !platform::ServiceInstalled(name)) {
        TW_LOG(LOG_CLIENT_LOGIN, 5,
               "[TwService::StopService] OpenService(ServiceName=%s, SERVICE_START) fails, LastError=0x%x",
               name != nullptr ? name : "", platform::kErrorServiceDoesNotExist);
        return 0;
    }
    platform::SERVICE_STATUS st{};
    if (platform::QueryServiceStatusByName(name, &st) == platform::kErrorSuccess &&
        st.dwCurrentState != platform::SERVICE_RUNNING) {
        TW_LOG(LOG_CLIENT_LOGIN, 5, "[TwService::StopService] QueryServiceStatus is not SERVICE_RUNNING");
        return 1;
    }
    const DWORD rc = platform::ControlServiceByName(name, platform::SERVICE_CONTROL_STOP, &st);
    if (rc != platform::kErrorSuccess) {
        TW_LOG(LOG_CLIENT_LOGIN, 5,
               "[TwService::StopService] ControlService(ServiceHandle=0x%x, SERVICE_CONTROL_STOP) return "
               "0x%x, LastError=0x%x",
               0u, 0u, rc);
        return (rc == kShutdownInProgress || rc == platform::kErrorServiceNotActive) ? 1 : 0;
    }
    return 1;
}

bool TwService::IsServiceRunning(const char* name) {
    platform::SERVICE_STATUS st{};
    return name != nullptr && platform::QueryServiceStatusByName(name, &st) == platform::kErrorSuccess &&
           st.dwCurrentState == platform::SERVICE_RUNNING;
}

bool TwService::HaveStopServicePriv(const char* name) {
    return name != nullptr && platform::CanControlService(name);
}

bool TwService::SendControlCode(const char* name, DWORD code) {
    if (name == nullptr) return false;
    platform::SERVICE_STATUS st{};
    return platform::ControlServiceByName(name, code, &st) == platform::kErrorSuccess;
}

void TwService::Terminate() {
    m_bQuit.store(true);
    const int fd = g_consoleQuitFd.load();
    if (fd >= 0) {
        const std::uint64_t one = 1;
        (void)!::write(fd, &one, sizeof one);
    }
}

void TwService::LogEvent(const char* text) {
    if (text == nullptr) return;
    const std::string path = platform::MachineRoot() + "/log.txt";
    const platform::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (!fd) return;
    std::string line = text;
    line += "\r\n";
    (void)!::write(fd.Get(), line.data(), line.size());
}

void TwService::OpenConcole() {}
void TwService::CloseConsole() {}
