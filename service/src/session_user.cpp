// The active seat's user and starting the client for that user.
#include "service/session_user.h"

#include <pwd.h>
#include <sys/stat.h>

#include <fstream>
#include <map>

#include "platform/process.h"
#include "service_log.h"

namespace service {
namespace {

// "KEY=value" lines of one of logind's state files.
std::map<std::string, std::string> ReadStateFile(const std::string& path) {
    std::map<std::string, std::string> values;
    std::ifstream in(path);
    std::string line;
    for (int lines = 0; lines < 256 && std::getline(in, line); ++lines) {
        const auto eq = line.find('=');
        if (eq != std::string::npos && line.size() < 4096) values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return values;
}

bool SafeDisplayValue(const std::string& v) {
    if (v.empty() || v.size() > 64) return false;
    for (const char c : v) {
        if (!(isalnum(static_cast<unsigned char>(c)) || c == ':' || c == '.' || c == '-' || c == '_'))
            return false;
    }
    return true;
}

}  // namespace

bool FindActiveSessionUser(SessionUser* user, const std::string& runDir) {
    const auto seat = ReadStateFile(runDir + "/systemd/seats/seat0");
    const auto uidIt = seat.find("ACTIVE_UID");
    if (uidIt == seat.end()) return false;
    char* end = nullptr;
    const unsigned long uid = std::strtoul(uidIt->second.c_str(), &end, 10);
    if (end == uidIt->second.c_str() || *end != '\0' || uid == 0 || uid > 0x7fffffffu) return false;
    struct passwd pw {};
    struct passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (::getpwuid_r(static_cast<uid_t>(uid), &pw, buf.data(), buf.size(), &found) != 0 || found == nullptr) {
        return false;
    }
    user->uid = pw.pw_uid;
    user->gid = pw.pw_gid;
    user->name = pw.pw_name;
    user->home = pw.pw_dir;
    user->environment.clear();
    const std::string runtimeDir = runDir + "/user/" + std::to_string(uid);
    struct stat st {};
    if (::stat(runtimeDir.c_str(), &st) == 0 && st.st_uid == uid) {
        user->environment.push_back("XDG_RUNTIME_DIR=" + runtimeDir);
        if (::stat((runtimeDir + "/wayland-0").c_str(), &st) == 0)
            user->environment.push_back("WAYLAND_DISPLAY=wayland-0");
    }
    const auto sessionIt = seat.find("ACTIVE");
    if (sessionIt != seat.end() && SafeDisplayValue(sessionIt->second)) {
        const auto session = ReadStateFile(runDir + "/systemd/sessions/" + sessionIt->second);
        const auto display = session.find("DISPLAY");
        if (display != session.end() && SafeDisplayValue(display->second)) {
            user->environment.push_back("DISPLAY=" + display->second);
        }
    }
    return true;
}

pid_t StartAsUser(const SessionUser& user, const std::string& program, const std::vector<std::string>& args,
                  bool detached) {
    if (user.uid == 0) {
        SVC_LOG("[RunProcess] refused to start %s as root", program.c_str());
        return -1;
    }
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    platform::SpawnOptions options;
    options.uid = static_cast<int>(user.uid);
    options.gid = static_cast<int>(user.gid);
    options.directory = user.home;
    options.newSession = true;
    options.quietOutput = true;
    options.detached = detached;
    options.extraEnv = user.environment;
    // The folder the client starts in is its HOME too, whatever the password file says.
    if (!user.home.empty()) options.extraEnv.push_back("HOME=" + user.home);
    SVC_LOG("[RunProcess]CreateProcess %s", program.c_str());
    const pid_t pid = platform::Spawn(argv, options);
    if (pid < 0) SVC_LOG("[RunProcess]CreateProcess 失败 %d ", errno);
    return pid;
}

SessionClientLauncher::SessionClientLauncher(std::string program, UserFinder findUser)
    : m_program(program.empty() ? platform::ProgramDir() + "/VornClient" : std::move(program)),
      m_findUser(findUser ? std::move(findUser)
                          : UserFinder([](SessionUser* u) { return FindActiveSessionUser(u); })) {}

bool SessionClientLauncher::Launch(const std::vector<std::string>& args) {
    SessionUser user;
    if (!m_findUser(&user)) {
        SVC_LOG("[RunProcess] no user at the machine's seat; %s not started", m_program.c_str());
        return false;
    }
    return StartAsUser(user, m_program, args, true) > 0;
}

}  // namespace service
