// The crash report. A fatal signal writes the stack of the failing thread into
// <folder>/Dump/<date>-<time>.<ms>-<pid>-<tid>.dmp, the folder being the user's own place for a
// member's client (user_place.h) and InstallDir for root's (the temporary folder when there is no
// install folder or place), names that file in the user's marker "Dump/pending-<uid>", says so on the
// standard error and ends the process with the signal's default action. A message box cannot be
// shown from a dying process, so the next start shows it (TakeCrashReport). Only
// async-signal-safe calls run in the handler, besides the local time.
#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/user_place.h"
#include "vorn/client_app.h"

namespace vorn {

namespace {

char g_dumpDir[512];
char g_pending[600];
const char* g_message = "";

std::string DumpDir(const std::string& installDir) {
    // A member may not write into root's install folder: its reports go where only it can write.
    if (platform::UsesUserPlace()) {
        const std::string place = platform::UserPlace();
        if (!place.empty()) return place + "/Dump";
    }
    std::string dir = installDir;
    struct stat st {};
    if (dir.empty() || ::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        const char* tmp = std::getenv("TMPDIR");
        dir = tmp && *tmp ? tmp : "/tmp";
    }
    return dir + "/Dump";
}

std::string PendingPath(const std::string& dumpDir) {
    return dumpDir + "/pending-" + std::to_string(::getuid());
}

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
    // A new file only: nothing planted at its name is followed or written into.
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
        char head[64];
        std::snprintf(head, sizeof(head), "signal %d\n", sig);
        WriteAll(fd, head);
        void* frames[64];
        const int n = ::backtrace(frames, 64);
        ::backtrace_symbols_fd(frames, n, fd);
        ::close(fd);
        // O_NOFOLLOW: the Dump folder may be shared; a link planted there is not written through.
        const int marker = ::open(g_pending, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (marker >= 0) {
            WriteAll(marker, path);
            ::close(marker);
        }
    }
    WriteAll(2, g_message);
    WriteAll(2, "\n");
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

}  // namespace

void InstallCrashReport(const std::string& installDir, bool chineseUi) {
    const std::string dir = DumpDir(installDir);
    ::mkdir(dir.c_str(), 0700);
    std::snprintf(g_dumpDir, sizeof(g_dumpDir), "%s", dir.c_str());
    std::snprintf(g_pending, sizeof(g_pending), "%s", PendingPath(dir).c_str());
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
        sa.sa_flags = static_cast<int>(SA_RESETHAND);  // the flag is bit 31
        ::sigaction(sig, &sa, nullptr);
    }
}

std::string TakeCrashReport(const std::string& installDir) {
    const std::string pending = PendingPath(DumpDir(installDir));
    const int fd = ::open(pending.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return {};
    struct stat st {};
    std::string path;
    // Only our own marker, a regular file: another user's file there tells us nothing.
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::getuid()) {
        char buf[700];
        const ssize_t n = ::read(fd, buf, sizeof(buf));
        if (n > 0) path.assign(buf, static_cast<std::size_t>(n));
        ::unlink(pending.c_str());
        if (path.empty() || path.find('\0') != std::string::npos) path = pending;
    }
    ::close(fd);
    return path;
}

std::string CrashReportMessage(bool chineseUi, const std::string& reportPath) {
    return std::string(
               chineseUi
                   ? "SSL-VPN客户端程序遇到问题需要退出，请重新运行客户端。"
                   : "Sorry, there is something wrong with SSL-VPN Client, please restart the program.") +
           "\n" + reportPath;
}

}  // namespace vorn
