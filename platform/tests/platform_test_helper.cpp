// A second process for the platform tests: holds named objects, writes settings, exits with a
// given code. Every mode that waits ends by itself after 30 s, so a failed test leaves nothing.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/named_objects.h"
#include "platform/settings_store.h"

using namespace platform;

namespace {

// Tells the test that this process is ready (the test created the manual-reset event).
bool SignalReady(const char* name) {
    auto ready = NamedEvent::Open(name);
    return ready && ready->Set();
}

int SettingsWrite(const char* db, const char* key, const char* prefix, int count) {
    SettingsStore store(db);
    for (int i = 0; i < count; ++i) {
        std::string name = std::string(prefix) + std::to_string(i);
        if (store.SetDword(key, name, static_cast<DWORD>(i)) != kRegOk) {
            return 3;
        }
    }
    return 0;
}

// Adds 1 to the number in `file`, `count` times, each time under the named mutex. Without the
// mutex, increments of several processes would get lost.
bool CountUnderMutex(const char* name, const char* file, int count) {
    auto m = NamedMutex::Create(name);
    if (!m) {
        return false;
    }
    for (int i = 0; i < count; ++i) {
        DWORD r = m->Wait(20000);
        if (r != kWaitObject0) {
            return false;
        }
        long value = 0;
        if (FILE* f = std::fopen(file, "r")) {
            if (std::fscanf(f, "%ld", &value) != 1) {
                value = 0;
            }
            std::fclose(f);
        }
        FILE* f = std::fopen(file, "w");
        if (f == nullptr) {
            return false;
        }
        std::fprintf(f, "%ld\n", value + 1);
        std::fclose(f);
        if (!m->Release()) {
            return false;
        }
    }
    return true;
}

[[noreturn]] void Linger() {
    ::alarm(30);
    for (;;) {
        ::pause();
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return 2;
    }
    std::string mode = argv[1];
    if (mode == "exit" && argc == 3) {
        return std::atoi(argv[2]);
    }
    if (mode == "linger") {
        Linger();
    }
    if (mode == "pwd-env" && argc == 4) {
        // Writes the working folder and one variable of the environment to a file.
        FILE* f = std::fopen(argv[2], "w");
        char cwd[4096];
        const char* value = std::getenv(argv[3]);
        if (f == nullptr || ::getcwd(cwd, sizeof cwd) == nullptr) {
            return 3;
        }
        std::fprintf(f, "%s\n%s\n", cwd, value != nullptr ? value : "(unset)");
        std::fclose(f);
        std::printf("noise on stdout\n");
        return 0;
    }
    if (mode == "machine-set" && argc == 5) {
        // The machine's store as this user sees it; the exit code is the store's result.
        return static_cast<int>(SettingsStore::Machine()->SetString(argv[2], argv[3], argv[4]));
    }
    if (mode == "machine-get" && argc == 5) {
        std::string value;
        const LONG rc = SettingsStore::Machine()->GetString(argv[2], argv[3], &value);
        return rc != kRegOk ? static_cast<int>(rc) : value == argv[4] ? 0 : 99;
    }
    if (mode == "db-set" && argc == 6) {
        // One database file written directly, as anybody who may write the file can.
        return static_cast<int>(SettingsStore(argv[2]).SetString(argv[3], argv[4], argv[5]));
    }
    if (mode == "use-mutex" && argc == 3) {
        auto m = NamedMutex::Create(argv[2]);
        return m && m->Wait(5000) == kWaitObject0 && m->Release() ? 0 : 3;
    }
    if (mode == "settings-write" && argc == 6) {
        return SettingsWrite(argv[2], argv[3], argv[4], std::atoi(argv[5]));
    }
    if (mode == "count" && argc == 5) {
        return CountUnderMutex(argv[2], argv[3], std::atoi(argv[4])) ? 0 : 3;
    }
    if (mode == "hold-mutex" && argc == 4) {
        auto m = NamedMutex::Create(argv[2]);
        if (!m || m->Wait(10000) != kWaitObject0 || !SignalReady(argv[3])) {
            return 3;
        }
        Linger();
    }
    if (mode == "hold-event" && argc == 4) {
        auto e = NamedEvent::Create(argv[2], true, false);
        if (!e || !SignalReady(argv[3])) {
            return 3;
        }
        Linger();
    }
    if (mode == "who-holds" && argc == 4) {
        // 0 when the holder named is the process given, 1 when another or none is named, 3 when
        // nobody holds the name.
        NamedObjectHolder holder;
        if (!FindNamedObjectHolder(argv[2], &holder)) {
            return 3;
        }
        return holder.pid == std::atol(argv[3]) ? 0 : 1;
    }
    if (mode == "set-event" && argc == 3) {
        auto e = NamedEvent::Open(argv[2]);
        return e && e->Set() ? 0 : 3;
    }
    if (mode == "wait-event" && argc == 4) {
        // 0 when it was set within the time, 1 on time-out.
        auto e = NamedEvent::Open(argv[2]);
        if (!e) {
            return 3;
        }
        DWORD r = e->Wait(static_cast<DWORD>(std::atoi(argv[3])));
        return r == kWaitObject0 ? 0 : (r == kWaitTimeout ? 1 : 3);
    }
    return 2;
}
