// The machine root: every machine-wide path of the suite lives below one folder, so tests and
// the demo can run several "machines" side by side. `QEL_ROOT` overrides the default.
#pragma once
#include <sys/types.h>

#include <string>

namespace platform {

// Default machine root when QEL_ROOT is not set.
constexpr const char* kDefaultMachineRoot = "/var/lib/qel";
// Group whose members (the GUI client's users) may write the client's settings.
constexpr const char* kClientGroupName = "qel";

// Root folder, without trailing slash. QEL_ROOT is read once per process (the first call), so a
// machine's paths cannot change under running code; thread-safe.
std::string MachineRoot();
// The root a process with this QEL_ROOT value uses (empty: not set): the default, or the value
// without trailing slashes.
std::string MachineRootFrom(const std::string& qelRoot);
// Forgets the root read before, so that the next call reads QEL_ROOT again. For tests that
// switch machine roots; objects opened under the old root keep their paths.
void ResetMachineRoot();

// The group of the client's users, as the install chose it for the whole machine: the machine's
// record <root>/client-group (written by the install; taken only as a plain file of root that
// nobody else may write, holding one group name), else QEL_GROUP (a name or a number) when set,
// else "qel". Every daemon and every root program of a machine thus agrees on it, whoever started
// them and with whatever environment (the update program restarting the services).
std::string ClientGroupName();
// Its number; root's group (0) when no such group exists, so that only root may write then. Read
// with the root.
gid_t ClientGroupId();
// <root>/client-group.
constexpr const char* kClientGroupRecord = "client-group";

// <root>/run: sockets, named objects, pid files. Created by root with mode 0755 and checked before
// use (see secure_dir.h); empty when it fails the check or cannot be made.
std::string RuntimeDir();
// <root>/run/<name>: a folder of the runtime folder, made by its first user with `mode` and checked
// like it before every use (see secure_dir.h); empty when refused (the reason goes to the debug
// output). Root's folders (services, dhcp) are 0755; a meeting place of every user is 01777.
std::string RuntimeSubDir(const std::string& name, unsigned mode = 0755);
// The folders of the runtime folder where every user meets (mode 01777): named objects and the GUI
// clients' instance sockets. The runtime folder is root's, so a user cannot make them: root's
// daemons make them when they start (false when one was refused).
constexpr const char* kObjectsRuntimeDir = "objects";
constexpr const char* kGuiRuntimeDir = "gui";
bool MakeSharedRuntimeDirs();
// <root>/install: where the programs would be installed; the default value of InstallDir.
std::string DefaultInstallDir();
// <root>/settings.db: the root-only part of the settings store.
std::string SettingsDbPath();
// <root>/client/settings.db: the part of the settings store the client's group may write.
std::string ClientSettingsDbPath();
// <root>/certstore: the certificate store (PEM and PKCS#12 files).
std::string CertStoreDir();

// Creates a folder and its parents; true when it exists afterwards.
bool MakeDirs(const std::string& path, unsigned mode = 0755);

}  // namespace platform
