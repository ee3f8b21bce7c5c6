#include "platform/client_settings.h"
#include "update_worker.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "dailylog/shared_daily_log.h"
#include "file_replacer.h"
#include "platform/clock_wait.h"
#include "platform/debug_output.h"
#include "platform/named_objects.h"
#include "platform/process.h"
#include "platform/service_control.h"
#include "platform/settings_store.h"
#include "platform/unique_fd.h"
#include "platform/user_place.h"
#include "update_texts.h"

namespace quistral {

namespace {

using platform::client_settings::kClientKey;
constexpr const char* kPluginKey = "SOFTWARE\\Morvane\\LSPProxy";
constexpr const char* kPackFile = "UpdatePack.dat";
constexpr const char* kUnpackDir = "UpdateDir";
constexpr const char* kSetupFile = "UpdateSetup.exe";
constexpr const char* kClientProgram = "VornClient";
constexpr const char* kCertificateText =
    "The update server's certificate is not trusted, no update was fetched from it.";
constexpr const char* kUnpackText =
    "The update package could not be unpacked, please get a new installation package from the Download "
    "Center.";

void Log(const std::string& text) { SharedDailyLog::Instance().Write(LOG_ALWAYS_40, 4, "%s", text.c_str()); }

// The install script's record of what it put in the program folder (its uninstall removes exactly
// what the record names): the files a package adds there go into it too, so that an uninstall
// after an update leaves none of them. Only a plain file of ours that nobody else may write is
// the install's record; without one (a folder no install script made) nothing is noted.
constexpr const char* kInstallRecord = ".qel-install";

void NoteInFolderRecord(const std::string& programDir, const std::vector<std::string>& targets) {
    const std::string path = programDir + kInstallRecord;
    const platform::UniqueFd fd(
        ::open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
        (st.st_mode & 022) != 0)
        return;
    std::string lines;
    for (const std::string& target : targets) {
        // Targets outside the folder (%sys%) lie below the machine root, which the uninstall
        // clears as a whole; a name that would break the record's lines is not noted.
        if (target.compare(0, programDir.size(), programDir) != 0 || target.size() == programDir.size() ||
            target.find('\n') != std::string::npos)
            continue;
        lines += "file " + target.substr(programDir.size()) + "\n";
    }
    if (!lines.empty() && ::write(fd.Get(), lines.data(), lines.size()) != static_cast<ssize_t>(lines.size()))
        Log("[WorkerThrd] cannot note the package's files in " + path);
}

bool NativeSixtyFour() {
    utsname u{};
    if (::uname(&u) != 0) return false;
    return std::strcmp(u.machine, "x86_64") == 0 || std::strcmp(u.machine, "aarch64") == 0;
}

std::string Setting(const char* key, const char* name, bool* ok) {
    std::string value;
    auto store = platform::SettingsStore::Machine();
    *ok = store && store->GetString(key, name, &value) == 0;
    if (!*ok && store) {
        DWORD number = 0;
        if (store->GetDword(key, name, &number) == 0) {
            value = std::to_string(number);
            *ok = true;
        }
    }
    return value;
}

}  // namespace

UpdateWorker::UpdateWorker(UpdateConfig config, UpdateSink& sink)
    : m_config(std::move(config)),
      m_sink(sink),
      m_clock(m_config.clock ? *m_config.clock : platform::SystemClock()) {
    if (!m_config.programDir.empty() && m_config.programDir.back() != '/') m_config.programDir += '/';
}

std::string UpdateWorker::T(const std::string& english) const {
    return ClientMode() ? Tr(english) : TrPlugin(english);
}

void UpdateWorker::RequestStop() {
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_stop.store(true);
        // The request that runs now (the list, the package) ends at once, not at the next poll.
        if (m_lib) m_lib->StopDownload();
    }
    m_cv.notify_all();
}

void UpdateWorker::PauseUnlessStopped(DWORD ms) {
    std::unique_lock<std::mutex> l(m_lock);
    platform::WaitOn(m_clock, l, m_cv, ms, [this] { return m_stop.load(); });
}

void UpdateWorker::Pause(DWORD ms) {
    std::unique_lock<std::mutex> l(m_lock);
    platform::WaitOn(m_clock, l, m_cv, ms, [] { return false; });
}

void UpdateWorker::Finish(bool success, bool close) {
    m_sink.EnableClose(success);
    if (close) m_sink.CloseDialog();
}

bool UpdateWorker::Run() {
    CGlimrow lib(m_config.programDir.c_str(), m_config.netTiming);
    struct Registration {
        UpdateWorker& w;
        Registration(UpdateWorker& worker, CGlimrow* lib) : w(worker) {
            std::lock_guard<std::mutex> g(w.m_lock);
            w.m_lib = lib;
            // A stop given before the library was known still ends its first request.
            if (w.m_stop.load()) lib->StopDownload();
        }
        ~Registration() {
            std::lock_guard<std::mutex> g(w.m_lock);
            w.m_lib = nullptr;
        }
    } registration(*this, &lib);
    m_sink.SetStatus(T("Achieving upgrade information..."));
    // Until the package is there nothing was changed: Close stops the update.
    m_sink.EnableStop();
    if (!TakeUpdateList(lib)) return false;
    m_sink.SetProgress(5);
    unsigned long rc = Download(lib);
    m_lastError = rc;
    if (DownloadEnded(rc)) return false;
    m_sink.DisableClose();
    if (rc == 0 && lib.IsNeedUninst()) {
        StartFullSetup();
        Finish(false, true);
        return false;
    }
    if (rc == 0) rc = Apply(lib);
    m_lastError = rc;
    if (rc != 0) {
        Finish(false, false);
        return false;
    }
    m_sink.SetStatus(T("Program configuration is done."));
    m_sink.SetStatus(T("Update succeed."));
    RecordNewVersion(lib);
    Finish(true, false);
    return true;
}

bool UpdateWorker::TakeUpdateList(CGlimrow& lib) {
    if (m_config.mode == UpdateMode::kCheckClient) {
        int rc = CheckMode(lib);
        if (rc != 1) {
            Finish(false, true);
            return false;
        }
    } else if (!ReadClientList(lib)) {
        return false;
    }
    return true;
}

bool UpdateWorker::DownloadEnded(unsigned long rc) {
    if (rc == ERROR_UPD_STOPPED) {
        m_sink.SetResult(T("You have canceled update, please connect again."));
        m_sink.Message(T("You have canceled update, please connect again."), T("SSL-VPN Update Tips"));
        Finish(false, true);
        return true;
    }
    if (rc == ERROR_UPD_HTTP) {
        m_sink.SetResult(T("Download the update package failed, please try again later."));
        m_sink.Message(
            T("Download the update package failed, please check the network connection or download new "
              "installation package from the Download Center."),
            T("SSL-VPN Update Tips"));
        Finish(false, true);
        return true;
    }
    return false;
}

void UpdateWorker::StartFullSetup() {
    Log("[WorkerThrd] Need Uninst.");
    m_sink.SetProgress(100);
    Pause(m_config.timing.setupDelayMs);
    const std::string setup = Path(kSetupFile);
    // Downloaded over a verified connection; started without a shell, with its argument as one word.
    ::chmod(setup.c_str(), 0700);
    platform::SpawnOptions options;
    options.directory = m_config.programDir;
    options.detached = true;
    if (platform::Spawn({setup, "/SILENT", m_config.argToken}, options) < 0) {
        Log("[WorkerThrd] the setup program could not be started");
        m_sink.Message(T("The installation program fails to start, please download from the Download Center "
                         "and run the new installation package."),
                       T("Update Tips"));
    }
}

void UpdateWorker::RecordNewVersion(CGlimrow& lib) {
    const char* version = lib.GetUpdateVersion();
    auto store = platform::SettingsStore::Machine();
    if (ClientMode()) {
        store->SetValue(kClientKey, platform::client_settings::kVersion, platform::REG_SZ, version,
                        static_cast<DWORD>(std::strlen(version)));
        m_sink.SetResult(T("Click on close button, the client program will run automatically."));
    } else {
        store->SetValue(kPluginKey, "Version", platform::REG_SZ, version,
                        static_cast<DWORD>(std::strlen(version)));
        m_sink.SetResult(TrPlugin("Click on close button, the client program will run automatically."));
    }
}

bool UpdateWorker::ReadClientList(CGlimrow& lib) {
    char list[] = "UpdateList.txt";
    const std::string parseFailed =
        T("Parsing update information failed, please quit update and try again later, or get a new "
          "installation package from the Download Center.");
    if (!platform::UsesUserPlace()) {
        if (lib.ParseUpdate(list) == 0) return true;
        m_sink.SetResult(parseFailed);
        Finish(false, false);
        return false;
    }
    // A member's check keeps the list in the member's own place, the program folder being root's.
    std::string why;
    const std::string place = platform::UserPlace(&why);
    CGlimrow own(place.c_str());
    if (place.empty() || own.ParseUpdate(list) != 0) {
        Log("[WorkerThrd] no update list in this user's own place" + (why.empty() ? "" : ": " + why));
        m_sink.SetResult(parseFailed);
        Finish(false, false);
        return false;
    }
    // Nor can a member store the package in root's folder, replace its files, stop its services or
    // record the version: said before anything is fetched, never taken for a failed download.
    Log("[WorkerThrd] update " + std::string(own.GetUpdateVersion()) +
        " not applied: replacing the files of " + m_config.programDir + " needs root's rights");
    m_sink.SetResult(T("Fail to update applications, please close anti-virus softwares and try again."));
    Finish(false, false);
    return false;
}

int UpdateWorker::CheckMode(CGlimrow& lib) {
    bool okAddr = false, okPort = false, okVersion = false;
    std::string server = Setting(kClientKey, platform::client_settings::kUpdateServerAddr, &okAddr);
    std::string port = Setting(kClientKey, platform::client_settings::kUpdateServerPort, &okPort);
    std::string version = Setting(kClientKey, platform::client_settings::kVersion, &okVersion);
    if (m_stop.load()) return -1;
    if (!okAddr || !okPort || !okVersion || server.empty()) {
        m_sink.Message(T("Not found new version."), T("Update Tips"));
        return 0;
    }
    server.resize(std::min<std::size_t>(server.size(), 256));
    version.resize(std::min<std::size_t>(version.size(), 20));
    auto portNumber = static_cast<unsigned short>(std::atoi(port.c_str()));
    char list[] = "UpdateList.txt";
    char remote[] = "/download/sslvpn/default/ClientUpdateList.txt";
    unsigned long rc = lib.ConnectServer(server.data(), portNumber);
    if (rc == 0) rc = lib.GetUpdateList(remote, list);
    if (rc == 0 && lib.ParseUpdate(list) != 0) {
        Log("[CheckUpdate] the update list was not read");
        rc = ERROR_UPD_INI;
    }
    if (rc != 0 || lib.CheckUpdate(version.c_str()) == 0) {
        // Closed by the user while the list came: nothing more to say.
        if (m_stop.load()) return -1;
        if (rc != 0) {
            char line[96];
            std::snprintf(line, sizeof(line), "[CheckUpdate] no update list from the server (0x%lx)", rc);
            Log(line);
        }
        // A server that was not trusted is not the same as one without a newer version.
        m_sink.Message(T(rc == ERROR_UPD_CERTIFICATE ? kCertificateText : "Not found new version."),
                       T("Update Tips"));
        return 0;
    }
    lib.CloseConnect();
    if (lib.IsForceUpdate()) {
        if (!m_sink.AskYesNo(
                T("A new version of Morvane VornClient is required. \n\nWould you like to update now?"),
                T("Update Tips")))
            return -1;
    } else {
        std::string text =
            T("A new version of Morvane VornClient is available. \n\nWould you like to update now?");
        if (IsChinese() && lib.IsNeedUninst())
            text =
                "Morvane "
                "VornClient检测到版本更新，建议您选择升级。\n\n升级新版本需要自动卸载并重新安装客户端。\n是否"
                "现在进行升级？";
        if (!m_sink.AskYesNo(text, T("Update Tips"))) return 2;
    }
    if (lib.SetServerAddr(list, server.data(), portNumber) != 0) {
        m_sink.Message(
            T("The update information could not be recorded, please quit the client and try again."),
            T("Update Tips"));
        return -1;
    }
    return 1;
}

unsigned long UpdateWorker::Download(CGlimrow& lib) {
    Log("[DownloadFile] DownloadFile.");
    m_sink.SetStatus(T("Downloading update package..."));
    const std::string failText = DownloadFailedResult(ClientMode());
    char list[] = "UpdateList.txt";
    char host[300] = {};
    unsigned short port = 0;
    unsigned long rc = lib.GetServerAddr(list, host, &port);
    if (rc == 0) {
        m_server = std::string(host) + ":" + std::to_string(port);
        rc = lib.ConnectServer(host, port);
    }
    if (rc == 0) rc = StartPackDownload(lib);
    if (rc == 0) rc = FollowDownload(lib);
    bool unpackRefused = false;
    if (rc == 0 && !lib.IsNeedUninst()) {
        m_sink.SetStatus(T("Releasing update package..."));
        std::string pack = Path(kPackFile), dir = Path(kUnpackDir);
        rc = lib.ExtractPackedFiles(pack.data(), dir.data());
        m_sink.SetProgress(60);
        unpackRefused = rc != 0;
        if (m_stop.load()) rc = ERROR_UPD_STOPPED;
    }
    if (rc == ERROR_UPD_CERTIFICATE) {
        m_sink.SetResult(T(kCertificateText));
    } else if (rc != 0 && unpackRefused && rc != ERROR_UPD_STOPPED) {
        // The package came whole but is not one this program unpacks: no network fault.
        Log("[DownloadFile] the package was refused at unpacking");
        m_sink.SetResult(T(kUnpackText));
    } else if (rc != 0) {
        m_sink.SetResult(failText);
    }
    return rc;
}

unsigned long UpdateWorker::StartPackDownload(CGlimrow& lib) {
    m_sink.SetProgress(10);
    if (!lib.IsNeedUninst()) {
        char pack[] = "UpdatePack.dat";
        return lib.GetUpdatePack(pack);
    }
    char setup[] = "UpdateSetup.exe";
    if (ClientMode()) {
        bool ok = false;
        std::string version = Setting(kClientKey, platform::client_settings::kVersion, &ok);
        Log("[DownloadFile] szVersion=" + version);
        return lib.GetSetupPack(2, version.data(), setup);
    }
    char empty[] = "";
    return lib.GetSetupPack(1, empty, setup);
}

unsigned long UpdateWorker::FollowDownload(CGlimrow& lib) {
    unsigned long rc = 0;
    unsigned long total = 1, done = 0;
    unsigned long loggedTotal = 0, loggedDone = 0, loggedRc = 0;
    bool logged = false;
    for (;;) {
        if (m_stop.load()) {
            // The stopped request ends within a moment: its end is waited for, not polled.
            lib.StopDownload();
            lib.JoinDownload();
        }
        rc = lib.GetDownloadStatus(&total, &done);
        // A stalled server gives the same count poll after poll: one line for each new one.
        if (!logged || done != loggedDone || total != loggedTotal || rc != loggedRc) {
            char line[160];
            std::snprintf(line, sizeof(line),
                          "[DownloadFile] Download %lu, Total %lu, GetDownloadStatus返回%lu", done, total,
                          rc);
            Log(line);
            logged = true;
            loggedDone = done;
            loggedTotal = total;
            loggedRc = rc;
        }
        // 64-bit arithmetic: packages beyond 40 MiB would overflow 32 bits here.
        std::uint64_t percent = total ? static_cast<std::uint64_t>(done) * 50 / total : 0;
        m_sink.SetProgress(10 + static_cast<int>(std::min<std::uint64_t>(percent, 50)));
        if (rc != 0 || done >= total) break;
        PauseUnlessStopped(m_config.timing.pollMs);
    }
    lib.CloseConnect();
    return rc;
}

bool UpdateWorker::StopService(const std::string& name) {
    platform::DebugOutput(" Stop Service: " + name + "\n");
    platform::SERVICE_STATUS st{};
    DWORD rc = platform::ControlServiceByName(name, platform::SERVICE_CONTROL_STOP, &st,
                                              m_config.timing.serviceWaitMs);
    if (rc != 0 && rc != platform::kErrorServiceNotActive) {
        platform::DebugOutput(" Stop Service " + name + " Failed. " + std::to_string(rc) + "\n");
        return false;
    }
    if (rc == 0) m_stopped.push_back(name);
    // Files are replaced and the service started again only once its process has ended.
    platform::ClockDeadline deadline(m_clock, m_config.timing.serviceWaitMs);
    while (platform::GetServiceProcessId(name) != 0) {
        if (deadline.Expired()) {
            platform::DebugOutput(" Stop Service " + name + " Failed. still running\n");
            return false;
        }
        Pause(10);
    }
    platform::DebugOutput(" Stop Service " + name + " OK\n");
    return true;
}

bool UpdateWorker::StartService(const std::string& name) {
    platform::DebugOutput(" Start Service: " + name + "\n");
    DWORD rc = platform::StartServiceByName(name, m_config.timing.serviceWaitMs);
    if (rc != 0 && rc != platform::kErrorServiceAlreadyRunning) {
        platform::DebugOutput(" Start Service " + name + " Failed. " + std::to_string(rc) + "\n");
        return false;
    }
    platform::DebugOutput(" Start Service " + name + " OK\n");
    return true;
}

void UpdateWorker::StartStoppedServices() {
    for (auto it = m_stopped.rbegin(); it != m_stopped.rend(); ++it) StartService(*it);
    m_stopped.clear();
}

void UpdateWorker::StopClient() {
    // The client normally quits by itself after starting us; one that still runs is asked to.
    auto running = [] {
        for (const auto& p : platform::ListProcesses())
            if (strcasecmp(p.name.c_str(), kClientProgram) == 0 ||
                strcasecmp(p.name.c_str(), "VornClient.exe") == 0)
                return true;
        return false;
    };
    if (!running()) return;
    if (auto ev = platform::NamedEvent::Open("Global\\StopMorvaneVornClientEvent")) ev->Set();
    platform::ClockDeadline deadline(m_clock, m_config.timing.serviceWaitMs);
    while (running() && !deadline.Expired()) Pause(20);
}

unsigned long UpdateWorker::ApplyFail(unsigned long code, const std::string& text) {
    m_sink.SetResult(T(text));
    StartStoppedServices();
    return code;
}

unsigned long UpdateWorker::Apply(CGlimrow& lib) {
    unsigned long mask = 0;
    if (unsigned long rc = lib.GetUpdateComps(&mask)) {
        m_sink.SetResult(T("Update information is incorrect."));
        return rc;
    }
    m_sink.SetProgress(65);
    m_sink.SetStatus(T("Setting service status ..."));
    const char* drvText = "Fail to set driver status, please close anti-virus softwares and try again.";
    const char* srvText = "Fail to set service status, please close anti-virus softwares and try again.";
    const char* appText = "Fail to update applications, please close anti-virus softwares and try again.";
    if ((mask & UPDATE_COMP_DRV) && !StopService(kDriverService))
        return ApplyFail(ERROR_UPD_SERVICE_STOP, drvText);
    if ((mask & UPDATE_COMP_SRV) && ClientMode() && !StopService(kNetworkService))
        return ApplyFail(ERROR_UPD_SERVICE_STOP, srvText);
    if (ClientMode()) StopClient();

    m_sink.SetProgress(75);
    m_sink.SetStatus(T("Updating the application ..."));
    const bool native64 = NativeSixtyFour();
    char suffix[16];
    std::snprintf(suffix, sizeof(suffix), "%08x", m_config.startTime);
    FileReplacer replacer(suffix);
    std::vector<std::string> targets;
    for (unsigned long bit : {UPDATE_COMP_DRV, UPDATE_COMP_LSP, UPDATE_COMP_SRV, UPDATE_COMP_APP}) {
        if (!(mask & bit)) continue;
        for (const char* entry = lib.GetFileList(bit); entry && *entry; entry += std::strlen(entry) + 1) {
            std::string line(entry);
            std::size_t eq = line.find('=');
            if (eq == std::string::npos) continue;
            std::string name = line.substr(0, eq);
            if (name.find("x64") != std::string::npos && !native64) continue;
            if (!IsPlainFileName(name)) return ApplyFail(ERROR_UPD_SERVICE_STOP, appText);
            replacer.Add(line.substr(eq + 1), Path(kUnpackDir) + "/" + name);
            targets.push_back(line.substr(eq + 1));
        }
    }
    if (!replacer.Apply()) {
        Log("[WorkerThrd] cannot replace " + replacer.Failed());
        return ApplyFail(ERROR_UPD_SERVICE_STOP, appText);
    }
    NoteInFolderRecord(m_config.programDir, targets);

    m_sink.SetProgress(90);
    m_sink.SetStatus(T("Setting service status ..."));
    // The services of the lists are started whether or not this run found them running.
    std::vector<std::string> toStart;
    if (mask & UPDATE_COMP_DRV) toStart.push_back(kDriverService);
    if ((mask & UPDATE_COMP_SRV) && ClientMode()) toStart.push_back(kNetworkService);
    m_stopped.clear();
    bool started = true;
    std::string failedText;
    for (const std::string& name : toStart) {
        // A failure is reported, but the rest are still started.
        if (!StartService(name) && started) {
            started = false;
            failedText = name == kDriverService ? drvText : srvText;
        }
    }
    if (!started) {
        m_sink.SetResult(T(failedText));
        return ERROR_UPD_SERVICE_START;
    }
    m_sink.SetProgress(100);
    m_sink.SetResult(
        T("Update is done, the client program will be run automatically after you click the close "
          "button."));
    // Close stays disabled until the worker has recorded the new version and finished: a Close
    // pressed now would restart the client while the old version still stood in the settings.
    return 0;
}

}  // namespace quistral
