// Lunther's systemd unit, written by "-i" and removed by "-u".
#include "service/systemd_unit.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/machine_root.h"
#include "platform/process.h"
#include "service/lsp_proxy_service.h"
#include "service_log.h"

namespace service {
namespace {

constexpr const char* kTag = "[LuntherUnit]";
// systemctl gets this long for each call; an install must not hang on a stuck manager.
constexpr DWORD kSystemctlWaitMs = 30000;

std::string RunDir(const SystemdPaths& paths) {
    return paths.runDir.empty() ? "/run/systemd/system" : paths.runDir;
}

std::string UnitDir(const SystemdPaths& paths) {
    if (!paths.unitDir.empty()) return paths.unitDir;
    const std::string root = platform::MachineRoot();
    return root == platform::kDefaultMachineRoot ? "/etc/systemd/system" : root + "/etc/systemd/system";
}

// A path that stands in a unit file quoted, as it is: systemd would expand '%' and '\', and a
// quote or a line break would end the value.
bool UnitSafePath(const std::string& path) {
    if (path.empty() || path[0] != '/' || path.size() > 1024) return false;
    for (const char c : path) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f || c == '"' || c == '\\' || c == '%' || c == '\'') return false;
    }
    return true;
}

void Systemctl(const SystemdPaths& paths, const std::vector<std::string>& args) {
    if (paths.systemctl == "-") return;
    const std::string program =
        platform::FindProgram(paths.systemctl.empty() ? std::string("systemctl") : paths.systemctl);
    if (program.empty()) {
        SVC_LOG("%s systemctl not found; run it yourself", kTag);
        return;
    }
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    const pid_t pid = platform::Spawn(argv);
    if (pid < 0) {
        SVC_LOG("%s systemctl %s could not start: errno %d", kTag, args[0].c_str(), errno);
        return;
    }
    int code = -1;
    if (platform::WaitProcess(pid, kSystemctlWaitMs, &code) != platform::kWaitObject0) {
        platform::KillProcess(pid, SIGKILL);
        platform::WaitProcess(pid, kSystemctlWaitMs, &code);
        SVC_LOG("%s systemctl %s did not end; killed", kTag, args[0].c_str());
        return;
    }
    SVC_LOG("%s systemctl %s: exit code %d", kTag, args[0].c_str(), code);
}

}  // namespace

std::string SystemdUnitName() { return std::string(kServiceName) + ".service"; }

bool SystemdRunsMachine(const SystemdPaths& paths) {
    struct stat st {};
    return ::lstat(RunDir(paths).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string SystemdUnitPath(const SystemdPaths& paths) { return UnitDir(paths) + "/" + SystemdUnitName(); }

bool SystemdUnitText(const std::string& programPath, const std::string& machineRoot, std::string* text) {
    const bool ownRoot = !machineRoot.empty() && machineRoot != platform::kDefaultMachineRoot;
    if (!UnitSafePath(programPath) || (ownRoot && !UnitSafePath(machineRoot))) return false;
    std::string t;
    t += "# Written by \"" + std::string(kServiceName) + " -i\"; \"" + kServiceName + " -u\" removes it.\n";
    t += "[Unit]\nDescription=" + std::string(kServiceName) + " privileged network service\n";
    t += "After=network.target\n\n";
    t += "[Service]\nType=simple\n";
    // The service layer's name: the program then runs its dispatcher, pid file and control socket.
    t += "Environment=QEL_SERVICE_NAME=" + std::string(kServiceName) + "\n";
    if (ownRoot) t += "Environment=\"QEL_ROOT=" + machineRoot + "\"\n";
    t += "ExecStart=\"" + programPath + "\"\n";
    // The service layer's failure action: started again half a second after an abnormal end.
    t += "Restart=on-failure\nRestartSec=500ms\n";
    // A stop finishes the request in hand (SetIP may take 11 s); the user's client is left running.
    t += "KillMode=process\nTimeoutStopSec=60\n\n";
    t += "[Install]\nWantedBy=multi-user.target\n";
    *text = std::move(t);
    return true;
}

bool InstallSystemdUnit(const std::string& programPath, const SystemdPaths& paths, std::string* written) {
    written->clear();
    if (!SystemdRunsMachine(paths)) {
        SVC_LOG("%s systemd does not run this machine: no unit written", kTag);
        return true;
    }
    std::string text;
    if (!SystemdUnitText(programPath, platform::MachineRoot(), &text)) {
        SVC_LOG("%s %s cannot stand in a unit file: no unit written", kTag,
                PrintableText(programPath).c_str());
        return false;
    }
    const std::string path = SystemdUnitPath(paths);
    if (!platform::MakeDirs(UnitDir(paths), 0755) || !platform::WriteFileAtomically(path, text, 0644)) {
        SVC_LOG("%s %s could not be written: errno %d", kTag, path.c_str(), errno);
        return false;
    }
    SVC_LOG("%s %s written", kTag, path.c_str());
    *written = path;
    Systemctl(paths, {"daemon-reload"});
    Systemctl(paths, {"enable", SystemdUnitName()});
    return true;
}

bool RemoveSystemdUnit(const SystemdPaths& paths, std::string* removed) {
    removed->clear();
    const std::string path = SystemdUnitPath(paths);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return true;
    // Disabling needs the unit still in place: it reads the unit's install section.
    if (SystemdRunsMachine(paths)) Systemctl(paths, {"disable", SystemdUnitName()});
    if (::unlink(path.c_str()) != 0) {
        SVC_LOG("%s %s could not be removed: errno %d", kTag, path.c_str(), errno);
        return false;
    }
    SVC_LOG("%s %s removed", kTag, path.c_str());
    *removed = path;
    if (SystemdRunsMachine(paths)) Systemctl(paths, {"daemon-reload"});
    return true;
}

}  // namespace service
