// The installer helper's exported functions: each is a firewall that answers with its failure
// result whatever happens inside.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>

#include "platform/client_settings.h"
#include "caddow/caddow.h"
#include "caddow/qel_config.h"
#include "caddow/setup_name.h"
#include "dailylog/shared_daily_log.h"
#include "engine/netsh_client.h"
#include "platform/debug_output.h"
#include "platform/service_control.h"
#include "platform/settings_store.h"
#include "platform/unique_fd.h"

namespace {

constexpr long kNtfsMagic = 0x5346544e;
// How long the service's pipe is given to take the command.
constexpr int kStartClientWaitMs = 2000;

template <class Fn>
int Guarded(const char* tag, int failure, Fn fn) noexcept {
    try {
        return fn();
    } catch (...) {
        try {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "%s failed on an exception", tag);
        } catch (...) {
        }
        return failure;
    }
}

void GuardedVoid(const char* tag, void (*fn)()) noexcept {
    try {
        fn();
    } catch (...) {
        try {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "%s failed on an exception", tag);
        } catch (...) {
        }
    }
}

}  // namespace

extern "C" {

void SaveQelConfig(void) {
    GuardedVoid("[SaveQelConfig]", [] {
        if (auto store = platform::SettingsStore::Machine()) caddow::SaveQelConfig(*store);
    });
}

void RestoreQelConfig(void) {
    GuardedVoid("[RestoreQelConfig]", [] {
        if (auto store = platform::SettingsStore::Machine()) caddow::RestoreQelConfig(*store);
    });
}

int SetInstIPConfig(const wchar_t* setupFileName) {
    return Guarded("[SetInstIPConfig]", 0, [&] {
        const std::string name = caddow::NarrowSetupName(setupFileName);
        platform::DebugOutput(name);
        std::string address;
        std::uint32_t port = 0;
        if (!caddow::ParseSetupFileName(name, &address, &port)) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[SetInstIPConfig] no gateway address in the setup name");
            return 0;
        }
        auto store = platform::SettingsStore::Machine();
        if (!store || store->OpenKey(caddow::kClientKey) != platform::kRegOk) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[SetInstIPConfig] the settings key cannot be opened");
            return 0;
        }
        const LONG rc[4] = {
            store->SetString(caddow::kClientKey, platform::client_settings::kServerAddr, address),
            store->SetString(caddow::kClientKey, platform::client_settings::kUpdateServerAddr, address),
            store->SetDword(caddow::kClientKey, platform::client_settings::kServerPortNum, port),
            store->SetDword(caddow::kClientKey, platform::client_settings::kUpdateServerPort, port)};
        for (const LONG r : rc) {
            if (r != platform::kRegOk)
                TW_LOG(LOG_CLIENT_LOGIN, 4, "[SetInstIPConfig] a value failed, error %d", r);
        }
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[SetInstIPConfig] gateway %s port %u", address.c_str(), port);
        return 1;
    });
}

int UpdateServiceAcl(const char* serviceName) {
    return Guarded("[UpdateServiceAcl]", 0, [&] {
        // Opening the service to everyone would let any user stop the network service: its control
        // socket stays with root and the service's own user.
        if (serviceName == nullptr || !platform::ServiceInstalled(serviceName)) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[UpdateServiceAcl] no service %s",
                   serviceName ? serviceName : "(null)");
            return 0;
        }
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[UpdateServiceAcl] %s keeps its access as installed: success",
               serviceName);
        return 1;
    });
}

int UpdateFileAcl(const char* fileName) {
    return Guarded("[UpdateFileAcl]", 0, [&] {
        if (fileName == nullptr) return 0;
        platform::UniqueFd fd(::open(fileName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat st {};
        if (!fd || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[UpdateFileAcl] %s is not a regular file (errno %d)", fileName,
                   errno);
            return 0;
        }
        // Read and write for everyone; a file anybody may write must not be one that runs, or runs
        // with its owner's rights.
        const mode_t mode = (st.st_mode & 0777 & ~static_cast<mode_t>(0111)) | 0666;
        if (::fchmod(fd.Get(), mode) != 0) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[UpdateFileAcl] %s: chmod failed, errno %d", fileName, errno);
            return 0;
        }
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[UpdateFileAcl] %s: read and write for everyone", fileName);
        return 1;
    });
}

int IsNTFS(const char* path) {
    return Guarded("[IsNTFS]", 0, [&] {
        struct statfs fs {};
        if (path == nullptr || path[0] != '/' || ::statfs(path, &fs) != 0) return 0;
        return static_cast<long>(fs.f_type) == kNtfsMagic ? 1 : 0;
    });
}

int DetectNetworkAdapters(void) { return 0; }

int SendCmdToNetsh(void) {
    return Guarded("[SendCmdToNetsh]", 0, [] {
        engine::NetshClientOptions options;
        options.replyTimeoutMs = kStartClientWaitMs;
        if (engine::SendNetshCommand("StartClient\n", options) != engine::kNetshDone)
            platform::DebugOutput("[SendCmdToNetsh]  WriteFile cmd fail");
        return 0;
    });
}

}  // extern "C"
