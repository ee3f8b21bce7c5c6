// The machine root: every machine-wide path of the suite lives below one folder, so tests and
// the demo can run several "machines" side by side. `QEL_ROOT` overrides the default.
#pragma once
#include <string>

namespace platform {

// Default machine root when QEL_ROOT is not set.
constexpr const char* kDefaultMachineRoot = "/var/lib/qel";

// Root folder, without trailing slash. Read from QEL_ROOT on every call (cheap), so a test may
// set the variable before it creates objects.
std::string MachineRoot();
// <root>/run: sockets, named objects, pid files. Created on demand (mode 0777 + sticky bit so
// programs of any user can meet there).
std::string RuntimeDir();
// <root>/install: where the programs would be installed; the default value of InstallDir.
std::string DefaultInstallDir();
// <root>/settings.db: the settings store of the machine.
std::string SettingsDbPath();
// <root>/certstore: the certificate store (PEM and PKCS#12 files).
std::string CertStoreDir();

// Creates a folder and its parents; true when it exists afterwards.
bool MakeDirs(const std::string& path, unsigned mode = 0755);

}  // namespace platform
