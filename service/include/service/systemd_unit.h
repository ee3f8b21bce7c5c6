// Lunther under systemd: where systemd runs the machine, "-i" also writes a unit that starts the
// program under our service layer's name (so that the service layer's stop, query and pid file
// keep working), and "-u" removes it. Without systemd nothing is written and the service runs
// under our own service layer alone.
//
// The unit stops the service with SIGTERM, which the program turns into the service layer's stop
// (StopOnTermination), so that a request in hand is finished first. Only the main process is
// signalled: a client started for the user outlives the service, as it does under the service layer.
//
// Nothing here throws; failures are logged and reported as false.
#pragma once
#include <string>

namespace service {

struct SystemdPaths {
    std::string runDir;     // present while systemd runs the machine; empty: /run/systemd/system
    std::string unitDir;    // where the unit goes; empty: /etc/systemd/system (under a test root)
    std::string systemctl;  // the control program; empty: "systemctl" from PATH ("-" for none)
};

// The unit's file name, "Lunther.service".
std::string SystemdUnitName();
bool SystemdRunsMachine(const SystemdPaths& paths = {});
std::string SystemdUnitPath(const SystemdPaths& paths = {});

// The unit's text for the program at `programPath`, run in machine root `machineRoot` (the default
// root is not written). false when either path could not stand in a unit as it is (relative, or with
// quotes, backslashes, '%' or control characters).
bool SystemdUnitText(const std::string& programPath, const std::string& machineRoot, std::string* text);

// "-i": when systemd runs the machine, writes the unit (atomically) and has systemd reload and enable
// it; *written names the file, empty when systemd does not run here. false on a failed write.
bool InstallSystemdUnit(const std::string& programPath, const SystemdPaths& paths, std::string* written);
// "-u": disables and removes the unit when there is one; *removed names the file removed.
bool RemoveSystemdUnit(const SystemdPaths& paths, std::string* removed);

}  // namespace service
