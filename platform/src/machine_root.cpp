// Machine-wide paths. Everything hangs off one root so that several "machines" can share a host.
#include "platform/machine_root.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

#include "platform/debug_output.h"
#include "platform/secure_dir.h"
#include "platform/unique_fd.h"

namespace platform {
namespace {

struct RootState {
    std::mutex lock;
    bool read = false;
    std::string root;
    std::string groupName;
    gid_t group = 0;
};

RootState& State() {
    static RootState s;
    return s;
}

bool ValidGroupName(const std::string& name) {
    if (name.empty() || name.size() > 32) return false;
    for (const char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == '_' || c == '-' || c == '.';
        if (!ok) return false;
    }
    return name[0] != '-';
}

// The install's record of the group: a plain file of root, writable by nobody else, in the
// machine root (which nobody else may rename entries of, see RuntimeDir). Anything else is not
// the install's and is ignored.
std::string RecordedGroup(const std::string& root) {
    const std::string path = root + "/" + kClientGroupRecord;
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (fd.Get() < 0) return std::string();
    if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != 0 || (st.st_mode & 022) != 0) {
        DebugOutput("client group record refused (not a plain file of root that only root writes): " + path);
        return std::string();
    }
    char text[64] = {};
    const ssize_t n = ::read(fd.Get(), text, sizeof(text) - 1);
    std::string name(text, n > 0 ? static_cast<std::size_t>(n) : 0);
    while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
    if (!ValidGroupName(name)) {
        DebugOutput("client group record refused (no group name): " + path);
        return std::string();
    }
    return name;
}

std::string ChooseGroupName(const std::string& root) {
    const std::string recorded = RecordedGroup(root);
    if (!recorded.empty()) return recorded;
    const char* env = std::getenv("QEL_GROUP");
    return (env != nullptr && env[0] != '\0') ? env : kClientGroupName;
}

gid_t LookUpGroup(const std::string& name) {
    char* end = nullptr;
    const unsigned long number = std::strtoul(name.c_str(), &end, 10);
    if (end != nullptr && *end == '\0' && number < 0xFFFFFFFFul) return static_cast<gid_t>(number);
    group buf{};
    group* found = nullptr;
    char text[4096];
    if (::getgrnam_r(name.c_str(), &buf, text, sizeof(text), &found) == 0 && found != nullptr) {
        return found->gr_gid;
    }
    return 0;
}

void ReadOnce(RootState& s) {
    if (s.read) return;
    const char* env = std::getenv("QEL_ROOT");
    s.root = MachineRootFrom(env != nullptr ? env : "");
    s.groupName = ChooseGroupName(s.root);
    s.group = LookUpGroup(s.groupName);
    s.read = true;
}

}  // namespace

std::string MachineRootFrom(const std::string& qelRoot) {
    std::string root = qelRoot.empty() ? std::string(kDefaultMachineRoot) : qelRoot;
    while (root.size() > 1 && root.back() == '/') {
        root.pop_back();
    }
    return root;
}

std::string MachineRoot() {
    RootState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    ReadOnce(s);
    return s.root;
}

void ResetMachineRoot() {
    RootState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    s.read = false;
}

std::string ClientGroupName() {
    RootState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    ReadOnce(s);
    return s.groupName;
}

gid_t ClientGroupId() {
    RootState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    ReadOnce(s);
    return s.group;
}

std::string RuntimeDir() {
    const std::string root = MachineRoot();
    const std::string dir = root + "/run";
    MakeDirs(root);
    struct stat st {};
    // Whoever may rename entries of the machine root could swap the runtime folder after the
    // check below; a shared temporary folder (sticky) is fine.
    if (::lstat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
        ((st.st_mode & 022) != 0 && (st.st_mode & S_ISVTX) == 0)) {
        DebugOutput("machine root refused (missing, not a folder or writable by others): " + root);
        return std::string();
    }
    std::string why;
    if (!EnsureSecureDir(dir, SecureDirRule{0755}, &why)) {
        DebugOutput("runtime folder refused: " + why);
        return std::string();
    }
    return dir;
}

std::string RuntimeSubDir(const std::string& name, unsigned mode) {
    const std::string run = RuntimeDir();
    if (run.empty() || name.empty() || name.find('/') != std::string::npos) return std::string();
    const std::string dir = run + "/" + name;
    std::string why;
    if (!EnsureSecureDir(dir, SecureDirRule{mode}, &why)) {
        DebugOutput("runtime folder refused: " + why);
        return std::string();
    }
    return dir;
}

bool MakeSharedRuntimeDirs() {
    bool ok = true;
    for (const char* name : {kObjectsRuntimeDir, kGuiRuntimeDir})
        ok = !RuntimeSubDir(name, 01777).empty() && ok;
    return ok;
}

std::string DefaultInstallDir() { return MachineRoot() + "/install"; }

std::string SettingsDbPath() { return MachineRoot() + "/settings.db"; }

std::string ClientSettingsDbPath() { return MachineRoot() + "/client/settings.db"; }

std::string CertStoreDir() { return MachineRoot() + "/certstore"; }

bool MakeDirs(const std::string& path, unsigned mode) {
    if (path.empty()) {
        return false;
    }
    std::string partial;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty() || partial == "/") {
            continue;
        }
        if (::mkdir(partial.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST) {
            return false;
        }
    }
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace platform
