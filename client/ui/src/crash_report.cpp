// The crash report. A fatal signal writes the stack of the failing thread into
// <InstallDir>/Dump/<date>-<time>.<ms>-<pid>-<tid>.dmp (the temporary folder when there is no
// install folder), says so on the standard error and ends the process with the signal's default
// action. Only async-signal-safe calls run in the handler, besides the local time.
#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "vorn/client_app.h"

namespace vorn {

namespace {

char g_dumpDir[512];
const char* g_message = "";

void WriteAll(int fd, const char* text) { (void)!::write(fd, text, std::strlen(text)); }

void OnFatalSignal(int sig) {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    ::localtime_r(&ts.tv_sec, &local);
    char path[700];
    std::snprintf(path, sizeof(path), "%s/%04d%02d%02d-%02d%02d%02d.%03ld-%ld-%ld.dmp", g_dumpDir,
                  local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                  local.tm_sec, ts.tv_nsec / 1000000, static_cast<long>(::getpid()),
                  static_cast<long>(::syscall(SYS_gettid)));
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd >= 0) {
        char head[64];
        std::snprintf(head, sizeof(head), "signal %d\n", sig);
        WriteAll(fd, head);
        void* frames[64];
        const int n = ::backtrace(frames, 64);
        ::backtrace_symbols_fd(frames, n, fd);
        ::close(fd);
    }
    WriteAll(2, g_message);
    WriteAll(2, "\n");
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

}  // namespace

void InstallCrashReport(const std::string& installDir, bool chineseUi) {
    std::string dir = installDir;
    struct stat st {};
    if (dir.empty() || ::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        const char* tmp = std::getenv("TMPDIR");
        dir = tmp && *tmp ? tmp : "/tmp";
    }
    dir += "/Dump";
    ::mkdir(dir.c_str(), 0700);
    std::snprintf(g_dumpDir, sizeof(g_dumpDir), "%s", dir.c_str());
    g_message =
        chineseUi ? "错误: SSL-VPN客户端程序遇到问题需要退出，请重新运行客户端。"
                  : "ERROR: Sorry, there is something wrong with SSL-VPN Client, please restart the program.";
    // backtrace() loads its helper on first use; that must not happen inside the handler.
    void* warm[1];
    ::backtrace(warm, 1);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) {
        struct sigaction sa {};
        sa.sa_handler = OnFatalSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESETHAND;
        ::sigaction(sig, &sa, nullptr);
    }
}

}  // namespace vorn
