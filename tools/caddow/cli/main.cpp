// caddow: the installer helper's functions for an install script, one call per run.
//
//   caddow SaveQelConfig | RestoreQelConfig | DetectNetworkAdapters | SendCmdToNetsh
//   caddow SetInstIPConfig <setup file name> | UpdateServiceAcl <service> | UpdateFileAcl <file>
//   caddow IsNTFS <path>
//   caddow SetInstallDir <folder> | ClearInstallDir     (the setup program's own step: InstallDir)
//   caddow SetVersion     (the setup program's own step: the version of the files it installs)
//
// Exit code 0 when the function succeeded (a 1/0 answer of 1, or a function without answer), 1 when
// it answered 0, 2 for a wrong command line. DetectNetworkAdapters prints its count.
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "caddow/caddow.h"
#include "caddow/qel_config.h"
#include "platform/client_settings.h"
#include "platform/settings_store.h"

namespace {

int Usage() {
    std::fprintf(
        stderr,
        "usage: caddow SaveQelConfig|RestoreQelConfig|DetectNetworkAdapters|SendCmdToNetsh|ClearInstallDir|"
        "SetVersion\n"
        "       caddow SetInstIPConfig|UpdateServiceAcl|UpdateFileAcl|IsNTFS|SetInstallDir <argument>\n");
    return 2;
}

int Answer(int ok) { return ok == 1 ? 0 : 1; }

std::wstring Widen(const std::string& s) {
    std::wstring out;
    for (const char c : s) out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    return out;
}

int SetInstallDir(const char* folder) {
    auto store = platform::SettingsStore::Machine();
    if (!store || folder[0] != '/') return 1;
    return store->SetString(caddow::kClientKey, caddow::kInstallDirValue, folder) == platform::kRegOk ? 0 : 1;
}

// The files installed with this program are of its build: whatever an earlier install or update
// recorded would otherwise stay in the title and in the update check.
int SetVersion() {
    auto store = platform::SettingsStore::Machine();
    if (!store) return 1;
    return store->SetString(caddow::kClientKey, platform::client_settings::kVersion,
                            platform::client_settings::kBuiltVersion) == platform::kRegOk
               ? 0
               : 1;
}

int ClearInstallDir() {
    auto store = platform::SettingsStore::Machine();
    if (!store) return 1;
    const LONG rc = store->DeleteValue(caddow::kClientKey, caddow::kInstallDirValue);
    return rc == platform::kRegOk || rc == platform::kRegFileNotFound ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) return Usage();
    const std::string call = argv[1];
    if (argc == 2) {
        if (call == "SaveQelConfig") return SaveQelConfig(), 0;
        if (call == "RestoreQelConfig") return RestoreQelConfig(), 0;
        if (call == "SendCmdToNetsh") return SendCmdToNetsh();
        if (call == "ClearInstallDir") return ClearInstallDir();
        if (call == "SetVersion") return SetVersion();
        if (call == "DetectNetworkAdapters") {
            std::printf("%d\n", DetectNetworkAdapters());
            return 0;
        }
        return Usage();
    }
    const char* arg = argv[2];
    if (call == "SetInstIPConfig") return Answer(SetInstIPConfig(Widen(arg).c_str()));
    if (call == "UpdateServiceAcl") return Answer(UpdateServiceAcl(arg));
    if (call == "UpdateFileAcl") return Answer(UpdateFileAcl(arg));
    if (call == "IsNTFS") return Answer(IsNTFS(arg));
    if (call == "SetInstallDir") return SetInstallDir(arg);
    return Usage();
}
