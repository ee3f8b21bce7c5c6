// The process layer: start programs without a shell, wait for them, find our own path, list
// processes, open a URL.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

namespace platform {

struct SpawnOptions {
    std::string directory;              // empty: the current folder
    bool newSession = false;            // detach from our session (daemons)
    bool quietOutput = false;           // stdout/stderr to /dev/null
    int uid = -1, gid = -1;             // >= 0: run as that user (needs root)
    std::vector<std::string> extraEnv;  // "NAME=value" entries added to our environment
    int stdinFd = -1;                   // >= 0: the child's standard input (the caller keeps its copy)
    // Started through an intermediate child that ends at once, so the program is nobody's child
    // here and never needs reaping; the pid returned is the intermediate's (already reaped).
    bool detached = false;
};

// Starts argv[0] (a path, or a name looked up in PATH) with the given arguments. Returns the pid,
// or -1 with errno set (also when the child could not change folder or user). No shell is
// involved. Signal dispositions and the signal mask are reset to the defaults in the child.
pid_t Spawn(const std::vector<std::string>& argv, const SpawnOptions& options = {});
// Waits for a child: kWaitObject0 with *exitCode (128 + signal when killed), kWaitTimeout,
// kWaitFailed (not a process, or already reaped). A process that is not our child can be waited
// for too; its exit code is unknown (-1).
DWORD WaitProcess(pid_t pid, DWORD timeoutMs, int* exitCode);
// Full path of a program name as PATH lookup finds it (a name with a slash is taken as it is);
// empty when there is none.
std::string FindProgram(const std::string& name);
// Runs to completion and returns the exit code, -1 when it could not start.
int RunAndWait(const std::vector<std::string>& argv, const SpawnOptions& options = {});
// pid <= 0 (process groups, every process) is refused.
bool KillProcess(pid_t pid, int signal);
// Signals every process of group `pgid` (a child started with newSession leads a group of its
// own pid). pgid <= 1 (our own group, init's, every process) is refused.
bool KillProcessGroup(pid_t pgid, int signal);
// Waits until no process of group `pgid` is left but zombies (which have ended; only their parent
// can reap them): kWaitObject0, kWaitTimeout, or kWaitFailed for pgid <= 1. After a group kill
// this is the moment no member can touch anything any more; the leader itself is not reaped.
DWORD WaitProcessGroupEnded(pid_t pgid, DWORD timeoutMs);
// false for ended processes, zombies included.
bool ProcessAlive(pid_t pid);

std::string ProgramPath();  // full path of the running program
std::string ProgramDir();   // folder of it, no trailing slash
std::string ProgramName();  // file name of it

struct ProcessEntry {
    pid_t pid;
    pid_t parentPid;
    std::string name;  // executable file name (from /proc/<pid>/exe, else comm)
    std::string path;  // full executable path when readable
    // The kernel's task name (comm, at most 15 bytes): what the last exec set, or what the process
    // has called itself since (a forked helper that never execs renames itself, while its
    // executable stays its parent's).
    std::string task;
};
// Processes that run a program: zombies and processes on their way out are left out.
std::vector<ProcessEntry> ListProcesses();
// argv[0] as process `pid` started with it (/proc/<pid>/cmdline, readable for another user's
// process where its exe link is not); empty when it cannot be read, is empty (kernel threads) or
// is longer than 4 KiB. Its owner can rewrite it, so it tells where a program of a trusted owner
// was started from, never who a process is.
std::string ProcessFirstArgument(pid_t pid);

// The value of `name` in the environment process `pid` started with (/proc/<pid>/environ, at most
// kMaxProcessEnvironment bytes read; another user's process needs root): true when the environment
// was read, with *value empty when it has no such entry (or one cut at the bound); false when it
// cannot be read (ended, or not ours to read) or is empty (a process still in its exec shows its
// new program before its environment).
constexpr std::size_t kMaxProcessEnvironment = 1u << 20;
bool ProcessEnvironmentValue(pid_t pid, const std::string& name, std::string* value);
// The value of `name` in an environment block as /proc gives it ("NAME=value" entries, each ended
// by a NUL). An entry without its NUL (a block cut short) is not taken; nor is a `name` that is
// empty or holds '=' or NUL. false with *value empty when there is no such entry.
bool EnvironmentEntry(std::string_view block, std::string_view name, std::string* value);
// Which network namespace process `pid` (0: this process) is in: the device and inode of its
// /proc/<pid>/ns/net. false when it cannot be read (ended, or another user's without root).
struct NamespaceId {
    std::uint64_t device = 0, inode = 0;
    bool operator==(const NamespaceId&) const = default;
};
bool ProcessNetNamespace(pid_t pid, NamespaceId* id);

// Opens a URL with the desktop's handler (xdg-open) in the background. Ignores non-http(s) and
// anything that could be read as an option, and URLs with blanks or control characters. Returns
// true when the handler started; it is not our child (nothing to reap).
bool OpenUrl(const std::string& url);

DWORD CurrentProcessId();
DWORD CurrentThreadId();  // the kernel thread id

}  // namespace platform
