// Each user's own place: where what a user's client writes for its user goes (its private part of
// the settings store, "history.ini", the update check's list, the certificates it accepted, crash
// reports, "SystemRouteTable.dat"). The machine's folders belong to root, and a folder the group
// shares lets every member read, replace or plant beside another's files; a member's files
// therefore live in a folder only that member can use. Decided here once; every writer asks here.
//
// For a process whose effective uid is not 0 the place is $XDG_STATE_HOME/qel (when absolute),
// else $HOME/.local/state/qel, else <home of the passwd entry>/.local/state/qel: mode 0700, owned
// by the user, made with its missing parents on first use and checked before every use. A link
// in its place, a folder of another user or one that is not a folder is refused, never adopted; a
// folder of the user's own with a wider mode is narrowed. Root's runs (euid 0) keep the
// machine-wide places (machine root, InstallDir).
#pragma once
#include <sys/types.h>

#include <string>

namespace platform {

// The name of the place below the state folder.
constexpr const char* kUserPlaceName = "qel";

// true when this process keeps its user's files in the user's own place (euid not 0).
bool UsesUserPlace();

// The place named for a user with these environment values (empty: not set) and passwd home; empty
// when none can be named. Nothing is made or checked.
std::string UserPlaceFor(const std::string& xdgStateHome, const std::string& home,
                         const std::string& passwdHome);

// This process's place, made and checked (see the file comment); empty for root, and empty with
// *error (when given) saying why when it is refused or cannot be made. Thread-safe.
std::string UserPlace(std::string* error = nullptr);

// Where the file `name` a user writes goes: `rootPath` for root's runs; else <UserPlace>/<name>,
// or empty with *error when the place is refused.
std::string UserFilePath(const std::string& name, const std::string& rootPath, std::string* error = nullptr);

// The place of the running process `pid` as root's programs find it (its real uid, its
// environment's XDG_STATE_HOME and HOME, the passwd entry), not made or checked. false when the
// process cannot be read or shows no environment (it has ended); *uid and *gid get its user.
bool UserPlaceOfProcess(pid_t pid, uid_t* uid, gid_t* gid, std::string* place);

// The file `path` is a regular file of `uid` with one link and no access for anyone else.
bool IsOwnPrivateFile(const std::string& path, uid_t uid);

// While it lives, this thread opens and creates files with the rights of `uid`/`gid` (its file
// system identity, setfsuid/setfsgid), so that root reads what a user left without following
// what that user could plant and leaves nothing of root's in the user's place. Nothing happens for
// uid 0 or when the process is not root.
class ScopedFileIdentity {
public:
    ScopedFileIdentity(uid_t uid, gid_t gid);
    ~ScopedFileIdentity();
    ScopedFileIdentity(const ScopedFileIdentity&) = delete;
    ScopedFileIdentity& operator=(const ScopedFileIdentity&) = delete;

private:
    bool m_active = false;
};

}  // namespace platform
