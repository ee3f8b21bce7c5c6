#include "glimrow/client_update_check.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>

#include "dailylog/shared_daily_log.h"
#include "platform/clock_wait.h"
#include "platform/process.h"
#include "platform/user_place.h"

namespace {

void Log(const std::string& text) {
    SharedDailyLog::Instance().Write(LOG_CLIENT_LOGIN, 4, "%s", text.c_str());
}

}  // namespace

TwClientUpdateCheck::TwClientUpdateCheck(ClientUpdateUi& ui, ClientUpdateTiming timing,
                                         const platform::Clock& clock)
    : m_ui(ui),
      m_timing(timing),
      m_clock(clock),
      m_abandoned(std::make_shared<std::atomic<bool>>(false)),
      m_refusedRequired(std::make_shared<std::atomic<bool>>(false)) {}

TwClientUpdateCheck::~TwClientUpdateCheck() {
    if (m_thread.joinable()) m_thread.join();
}

bool TwClientUpdateCheck::UpdateProgramRunning(const std::string& programDir) {
    std::error_code ec;
    const std::filesystem::path dir = std::filesystem::weakly_canonical(programDir, ec);
    auto updateName = [](const std::string& name) {
        return strcasecmp(name.c_str(), "Quistral") == 0 || strcasecmp(name.c_str(), "Quistral.exe") == 0 ||
               strcasecmp(name.c_str(), "UpdateSetup.exe") == 0;
    };
    for (const auto& p : platform::ListProcesses()) {
        // Both the program and the name the process goes by: a helper forked from the update
        // program that never execs (the service layer's monitor of a service it restarted) keeps
        // the program but calls itself otherwise, and outlives the update by far.
        if (!updateName(p.name) || !updateName(p.task)) continue;
        // The update program always runs from the client's folder, started by its full path. A
        // root-owned one's program is not readable to a member: the path it was started by says
        // where it runs (an update program of some other folder, a test's for one, replaces
        // nothing of this client's); one started by a bare name counts, as a check by name
        // alone would count it.
        const std::string where = p.path.empty() ? platform::ProcessFirstArgument(p.pid) : p.path;
        if (where.empty() || where.front() != '/' || programDir.empty() || ec) return true;
        std::error_code pec;
        if (std::filesystem::weakly_canonical(std::filesystem::path(where).parent_path(), pec) == dir || pec)
            return true;
    }
    return false;
}

bool TwClientUpdateCheck::StartUpdateProgram(const ClientUpdateRequest& request) {
    std::string dir = request.programDir;
    if (!dir.empty() && dir.back() == '/') dir.pop_back();
    std::vector<std::string> argv{dir + "/Quistral", "Client"};
    argv.insert(argv.end(), request.clientArgs.begin(), request.clientArgs.end());
    platform::SpawnOptions options;
    options.directory = dir;
    options.detached = true;
    int fds[2] = {-1, -1};
    if (!request.password.empty() && ::pipe2(fds, O_CLOEXEC) == 0) options.stdinFd = fds[0];
    pid_t pid = platform::Spawn(argv, options);
    if (fds[0] >= 0) {
        ::close(fds[0]);
        std::string line = request.password + "\n";
        if (pid > 0) (void)!::write(fds[1], line.data(), line.size());
        ::close(fds[1]);
    }
    return pid > 0;
}

int TwClientUpdateCheck::CheckUpdate(const ClientUpdateRequest& request, const std::atomic<bool>& cancel) {
    // The list goes where this user may write it: the program folder is root's.
    std::string why;
    const std::string listDir = platform::UserFilePath("", request.programDir, &why);
    if (listDir.empty()) {
        Log("[CheckUpdate] no folder for the update list: " + why);
        return cancel.load() ? -1 : 0;
    }
    CGlimrow lib(listDir.c_str(), m_timing.net);
    auto abandoned = m_abandoned;
    auto ui = [&](auto fn) {
        if (!abandoned->load()) fn();
    };
    auto cancelled = [&] {
        if (!cancel.load()) return false;
        Log("[CheckUpdate] logon cancelled");
        lib.CloseConnect();
        return true;
    };
    ui([&] { m_ui.ShowCheckText(241); });
    std::string server = request.server;
    if (lib.ConnectServer(server.data(), request.port) != 0) {
        Log("cUpdate.ConnectServer failed");
        return cancelled() ? -1 : 0;
    }
    if (cancelled()) return -1;
    ui([&] { m_ui.ShowCheckText(240); });
    char remote[] = "/download/sslvpn/default/ClientUpdateList.txt", local[] = "UpdateList.txt";
    if (unsigned long rc = lib.GetUpdateList(remote, local)) {
        Log("[CheckUpdate] GetUpdateList failed " + std::to_string(rc));
        return cancelled() ? -1 : 0;
    }
    if (cancelled()) return -1;
    ui([&] { m_ui.ShowCheckText(239); });
    if (lib.ParseUpdate(local) != 0) {
        Log("[CheckUpdate] ParseUpdate failed");
        return cancelled() ? -1 : 0;
    }
    if (cancelled()) return -1;
    ui([&] { m_ui.ShowCheckText(238); });
    if (lib.CheckUpdate(request.version.c_str()) == 0) {
        Log("[CheckUpdate] no update");
        return cancelled() ? -1 : 0;
    }
    lib.CloseConnect();
    if (abandoned->load()) return 0;
    if (lib.IsForceUpdate()) {
        if (!m_ui.AskYesNo(243)) {
            Log("[CheckUpdate] required update refused");
            m_refusedRequired->store(true);
            ui([&] { m_ui.ShowMessage(236); });
            return -1;
        }
    } else if (!m_ui.AskYesNo(lib.IsNeedUninst() ? 242 : 237)) {
        return 0;
    }
    if (cancelled()) return -1;
    if (lib.SetServerAddr(local, server.data(), request.port) != 0) {
        ui([&] { m_ui.AskYesNo(234); });
        return -1;
    }
    return 1;
}

bool TwClientUpdateCheck::Run(const ClientUpdateRequest& request, const std::atomic<bool>& cancel,
                              int* result) {
    *result = 0;
    m_lastRefused = false;
    if (UpdateProgramRunning(request.programDir)) {
        Log("[SSLClientCheckUpdate] an update program runs");
        *result = -1;
        return false;
    }
    if (m_thread.joinable()) m_thread.join();
    m_refusedRequired->store(false);
    auto done = std::make_shared<std::atomic<bool>>(false);
    auto outcome = std::make_shared<std::atomic<int>>(0);
    m_abandoned->store(false);
    m_thread = std::thread([this, request, &cancel, done, outcome] {
        outcome->store(CheckUpdate(request, cancel));
        done->store(true);
    });
    platform::ClockDeadline deadline(m_clock, m_timing.limitMs);
    std::mutex lock;
    std::condition_variable cv;
    while (!done->load()) {
        if (deadline.Expired()) {
            Log("[SSLClientCheckUpdate] CheckUpdate timeout");
            m_abandoned->store(true);
            break;
        }
        m_ui.Pump();
        std::unique_lock<std::mutex> l(lock);
        platform::WaitOn(m_clock, l, cv, m_timing.pumpMs, [&] { return done->load(); });
    }
    int ret = done->load() ? outcome->load() : 0;
    m_lastRefused = ret == -1 && m_refusedRequired->load();
    Log("[SSLClientCheckUpdate] m_nCheckUpdRet=" + std::to_string(ret));
    if (ret == -1 || cancel.load()) {
        *result = -1;
        return false;
    }
    if (ret != 1) return true;
    if (!StartUpdateProgram(request)) {
        Log("[SSLClientCheckUpdate] the update program could not be started");
        m_ui.ShowMessage(230);
        *result = -1;
        return false;
    }
    *result = 1;
    return false;
}
