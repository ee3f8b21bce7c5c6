#include "util/os_utils.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/process.h"
#include "util/debug_print.h"

namespace {

constexpr int kMaxArgs = 32;

// Layout of the block CommandLineToArgv hands out: the pointer array first (so the block itself
// is the char**), then the count, then the private copy of the text.
struct ArgvBlock {
    char* argv[kMaxArgs];
    int argc;
};

}  // namespace

_OS_TYPE OS(unsigned long* platformId) {
    if (platformId) *platformId = 2;
    return OS_WIN8;
}

char** CommandLineToArgv(const char* commandLine, int* argc) {
    if (argc) *argc = 0;
    const char* source = commandLine ? commandLine : "";
    std::size_t length = std::strlen(source);
    auto* block = static_cast<ArgvBlock*>(std::malloc(sizeof(ArgvBlock) + length + 1));
    if (!block) return nullptr;
    char* text = reinterpret_cast<char*>(block + 1);
    std::memcpy(text, source, length + 1);
    int count = 0;
    char* p = text;
    while (*p && count < kMaxArgs) {
        char endChar = ' ';
        if (*p == '"' || *p == '\'') endChar = *p++;
        block->argv[count++] = p;
        if (count == kMaxArgs) break;  // the rest of the line belongs to the last argument
        char* end = std::strchr(p, endChar);
        if (!end) break;
        *end = '\0';
        p = end + 1;
        while (*p == ' ') ++p;
    }
    block->argc = count;
    if (argc) *argc = count;
    return block->argv;
}

int Exec(const char* commandLine, const char* directory, int /*show*/, int wait) {
    int argc = 0;
    char** argv = CommandLineToArgv(commandLine, &argc);
    std::vector<std::string> args;
    if (argv) {
        for (int i = 0; i < argc; ++i) args.emplace_back(argv[i]);
        std::free(argv);
    }
    pid_t pid = -1;
    int err = ENOENT;
    if (!args.empty() && !args[0].empty()) {
        platform::SpawnOptions options;
        if (directory) options.directory = directory;
        pid = platform::Spawn(args, options);
        err = errno;
    }
    if (pid < 0) {
        DbgPrint("CreateProcess(%s) fail, error %d", commandLine ? commandLine : "",
                 static_cast<int>(platform::WinErrorFromErrno(err)));
        return 0;
    }
    int exitCode = 0;
    if (wait == 1) {
        platform::WaitProcess(pid, platform::kInfinite, &exitCode);
    } else {
        // Nobody waits for it: reap it in the background so it leaves no zombie behind.
        try {
            std::thread([pid] {
                int code = 0;
                platform::WaitProcess(pid, platform::kInfinite, &code);
            }).detach();
        } catch (const std::system_error&) {
        }
    }
    return 1;
}

int StartInternetExplorer(const char* url) {
    int result = (url && platform::OpenUrl(url)) ? 1 : 0;
    DbgPrint("StartInternetExplorer: pUrl %s, return %d\n", url ? url : "", result);
    return result;
}
