#include "quistral_app.h"

#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <ctime>
#include <thread>

#include "dailylog/shared_daily_log.h"
#include "platform/named_objects.h"
#include "platform/process.h"
#include "platform/service_control.h"
#include "platform/unique_fd.h"
#include "update_texts.h"

namespace quistral {

namespace {

constexpr const char* kMutexName = "Global\\MorvaneQelCltUpdMutex";
constexpr const char* kCleanerEvent = "Global\\TerminateMorvaneBrevikEvent";
constexpr std::size_t kTokenMax = 128;
constexpr std::size_t kPasswordMax = 512;

void Log(const std::string& text) { SharedDailyLog::Instance().Write(LOG_ALWAYS_40, 4, "%s", text.c_str()); }

bool StartNetworkService() {
    DWORD rc = platform::StartServiceByName(UpdateWorker::kNetworkService);
    return rc == 0 || rc == platform::kErrorServiceAlreadyRunning;
}

bool StopNetworkService() {
    platform::SERVICE_STATUS st{};
    DWORD rc =
        platform::ControlServiceByName(UpdateWorker::kNetworkService, platform::SERVICE_CONTROL_STOP, &st);
    return rc == 0 || rc == platform::kErrorServiceNotActive;
}

// The password the client handed over on our standard input (never on a command line).
std::string ReadPassword(int fd, DWORD timeoutMs) {
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) return {};
    std::string text;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (text.size() < kPasswordMax) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buf[128];
        ssize_t n = ::read(fd, buf, sizeof(buf));
        if (n <= 0) break;
        text.append(buf, static_cast<std::size_t>(n));
        if (text.find('\n') != std::string::npos) break;
    }
    auto nl = text.find('\n');
    if (nl != std::string::npos) text.resize(nl);
    if (text.size() > kPasswordMax) text.resize(kPasswordMax);
    return text;
}

// Starts the client with its arguments; a password goes to its standard input.
void StartClient(const std::string& programDir, const std::vector<std::string>& args,
                 const std::string& password) {
    std::vector<std::string> argv{programDir + "/VornClient"};
    argv.insert(argv.end(), args.begin(), args.end());
    platform::SpawnOptions options;
    options.directory = programDir;
    options.detached = true;
    // Installed set-user-id, we give the client back to the user who started us.
    if (::getuid() != ::geteuid()) {
        options.uid = static_cast<int>(::getuid());
        options.gid = static_cast<int>(::getgid());
    }
    int pipeFds[2] = {-1, -1};
    if (!password.empty() && ::pipe2(pipeFds, O_CLOEXEC) == 0) options.stdinFd = pipeFds[0];
    pid_t pid = platform::Spawn(argv, options);
    if (pipeFds[0] >= 0) {
        ::close(pipeFds[0]);
        std::string line = password + "\n";
        if (pid > 0) (void)!::write(pipeFds[1], line.data(), line.size());
        ::close(pipeFds[1]);
    }
    Log(pid > 0 ? "[InitInstance] client started" : "[InitInstance] the client could not be started");
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
    CommandLine cl;
    if (args.empty()) {
        cl.action = CommandLine::Action::kStartServiceOnly;
        return cl;
    }
    const std::string& word = args[0];
    if (word == "CheckClient") {
        cl.mode = UpdateMode::kCheckClient;
    } else if (word == "Client") {
        cl.mode = UpdateMode::kClient;
    } else if (word == "Plugin") {
        cl.mode = UpdateMode::kPlugin;
    } else {
        return cl;
    }
    for (std::size_t i = 1; i < args.size(); ++i)
        if (!args[i].empty()) cl.rest.push_back(args[i]);
    if (cl.rest.empty()) {
        if (cl.mode == UpdateMode::kPlugin) cl.action = CommandLine::Action::kStartServiceOnly;
        return cl;
    }
    // The client's arguments are an option ("-logon ...", "-browserlogon ...").
    if (cl.mode == UpdateMode::kClient && cl.rest[0][0] != '-') return cl;
    cl.token = cl.rest[0].substr(0, kTokenMax);
    cl.action = CommandLine::Action::kRun;
    return cl;
}

bool StopCleaner(const AppTiming& timing) {
    auto ev = platform::NamedEvent::Open(kCleanerEvent);
    if (!ev) {
        Log("[InitInstance] the cleaner is not running");
        return true;
    }
    ev->Set();
    Log("[InitInstance] setEvent(Global\\TerminateMorvaneBrevikEvent)");
    ev.reset();  // our own handle would keep the name alive
    auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] {
        return static_cast<DWORD>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                .count());
    };
    bool killed = false;
    for (;;) {
        if (!killed && elapsed() > timing.cleanerKillAfterMs) {
            Log("[InitInstance] the cleaner did not end in time");
            killed = true;
            for (const auto& p : platform::ListProcesses()) {
                if (strcasecmp(p.name.c_str(), "Brevik") == 0 ||
                    strcasecmp(p.name.c_str(), "Brevik.exe") == 0) {
                    Log("[InitInstance] Find Brevik.exe PID=" + std::to_string(p.pid));
                    if (!platform::KillProcess(p.pid, SIGKILL)) killed = false;  // tried again next round
                }
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(timing.cleanerPollMs));
        if (!platform::NamedObjectExists(kCleanerEvent)) {
            Log("[InitInstance] the cleaner has ended");
            return true;
        }
        if (elapsed() > timing.cleanerGiveUpMs) {
            Log("[InitInstance] the cleaner may still run");
            return false;
        }
    }
}

// Named objects are open to every local user: a mark held by a process of neither this user nor
// root is no update program this one must wait for, and the user is told whose it is.
std::string ForeignHolderText() {
    platform::NamedObjectHolder h;
    if (!platform::FindNamedObjectHolder(kMutexName, &h) || !h.uidKnown || platform::HeldByUserOrRoot(h))
        return std::string();
    Log("[InitInstance] the update mark is held by pid " + std::to_string(h.pid) + " of user " + h.user);
    const std::string file = platform::NamedObjectFile(kMutexName);
    const std::string program = h.program.empty() ? "?" : h.program;
    if (IsChinese())
        return std::string("\n\n“") + kMutexName + "”被用户 " + h.user + " 的进程 " + std::to_string(h.pid) +
               "（" + program + "）占用，它不是升级程序。\n管理员可结束占用文件 " + file + " 的进程。";
    return std::string("\n\n\"") + kMutexName + "\" is held by process " + std::to_string(h.pid) + " (" +
           program + ") of user " + h.user + ", not by an update program.\nAn administrator can end the " +
           "process that holds the file " + file + ".";
}

int RunQuistral(const std::vector<std::string>& args, AppShell& shell, const AppConfig& config) {
    SetChinese(ChooseChinese());
    Log(std::string("[CQuistralApp::InitInstance] langid=") + (IsChinese() ? "2052" : "1033"));
    auto mutex = platform::NamedMutex::Create(kMutexName, true);
    if (!mutex || mutex->AlreadyExisted()) {
        mutex.reset();
        shell.Message(
            Tr("There is an update progress running, please try again later.") + ForeignHolderText(),
            Tr("Update Tips"));
        return 0;
    }
    CommandLine cl = ParseCommandLine(args);
    std::string password;
    if (cl.action == CommandLine::Action::kRun && cl.mode == UpdateMode::kClient && cl.rest[0] == "-logon") {
        // "-logon user [password|-]": a password given here (by an old client) leaves the command
        // line; "-" (or nothing) means it comes on standard input. The restarted client gets
        // "-logon user -" and the password on its standard input.
        if (cl.rest.size() > 2 && cl.rest[2] != "-") {
            password = cl.rest[2];
        } else {
            password = ReadPassword(config.stdinFd, config.timing.passwordReadMs);
        }
        if (cl.rest.size() >= 2) {
            cl.rest.resize(2);
            cl.rest.push_back("-");
        }
    }
    if (cl.action == CommandLine::Action::kStartServiceOnly) {
        StartNetworkService();
        return 0;
    }
    if (cl.action != CommandLine::Action::kRun) return 0;
    if (cl.mode == UpdateMode::kPlugin && !StopNetworkService()) {
        shell.Message(Tr("Unable to set service status, please close anti-virus softwares and try again."),
                      Tr("Update Tips"));
        StartNetworkService();
        return 0;
    }
    StopCleaner(config.timing);

    UpdateConfig uc;
    uc.mode = cl.mode;
    uc.programDir = config.programDir;
    uc.argToken = cl.token;
    uc.startTime = static_cast<std::uint32_t>(std::time(nullptr));
    uc.timing = config.updateTiming;
    uc.netTiming = config.netTiming;
    int result = shell.RunDialog(uc);
    Log("[InitInstance] dialog result " + std::to_string(result));

    // The restarted client must find the update over, or it would refuse to log on.
    mutex->Release();
    mutex.reset();
    if (cl.mode == UpdateMode::kPlugin) {
        StartNetworkService();
    } else if (result == 1 || cl.mode == UpdateMode::kClient) {
        // The client quit for the update: it comes back whatever the outcome.
        StartClient(config.programDir,
                    cl.mode == UpdateMode::kCheckClient ? std::vector<std::string>{} : cl.rest, password);
    }
    return 0;
}

}  // namespace quistral
