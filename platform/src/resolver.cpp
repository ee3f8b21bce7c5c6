// The resolver on Linux. The order of every change is what makes a crash harmless: the journal of
// the previous state is in place (synced) before the resolver file or the registration changes,
// and it goes only after the previous state is back.
#include "platform/text_util.h"
#include "platform/resolver.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>

#include "platform/debug_output.h"
#include "platform/debug_printf.h"
#include "platform/machine_root.h"
#include "platform/process.h"
#include "platform/secure_dir.h"
#include "platform/unique_fd.h"
#include "resolver_files.h"

namespace platform {

namespace rf = resolver_files;

namespace {

// The address of a "nameserver <address>" line; false for any other line.
bool NameServerLine(const std::string& line, std::string* address) {
    std::size_t pos = line.find_first_not_of(" \t");
    if (pos == std::string::npos || line.compare(pos, 10, "nameserver") != 0) {
        return false;
    }
    pos += 10;
    if (pos >= line.size() || (line[pos] != ' ' && line[pos] != '\t')) {
        return false;
    }
    pos = line.find_first_not_of(" \t", pos);
    const std::size_t end = pos == std::string::npos ? pos : line.find_first_of(" \t\r\n#;", pos);
    *address = pos == std::string::npos ? std::string() : line.substr(pos, end - pos);
    return true;
}

// The file's lines; the last one may lack its newline, and keeps lacking it.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t end = text.find('\n', pos);
        lines.push_back(text.substr(pos, end == std::string::npos ? std::string::npos : end + 1 - pos));
        pos = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

enum class EditKind { kReplace, kAdd, kRemove };

std::string EditText(const std::string& text, EditKind edit, const std::vector<DWORD>& servers) {
    std::vector<std::string> lines = Lines(text);
    std::string out;
    if (edit == EditKind::kReplace) {
        for (DWORD s : servers) {
            out += "nameserver " + platform::Ipv4Text(s) + "\n";
        }
    }
    const std::string one = servers.empty() ? std::string() : platform::Ipv4Text(servers[0]);
    std::size_t lastServer = std::string::npos;
    bool present = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string address;
        if (NameServerLine(lines[i], &address)) {
            lastServer = i;
            present = present || address == one;
        }
    }
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string address;
        const bool server = NameServerLine(lines[i], &address);
        if (server && (edit == EditKind::kReplace || (edit == EditKind::kRemove && address == one))) {
            continue;
        }
        out += lines[i];
        if (edit == EditKind::kAdd && !present && i == lastServer) {
            out += (out.back() == '\n' ? "" : "\n") + std::string("nameserver ") + one + "\n";
            present = true;
        }
    }
    if (edit == EditKind::kAdd && !present) {
        out += (out.empty() || out.back() == '\n' ? "" : "\n") + std::string("nameserver ") + one + "\n";
    }
    return out;
}

std::vector<DWORD> EditList(std::vector<DWORD> list, EditKind edit, const std::vector<DWORD>& servers) {
    if (edit == EditKind::kReplace) {
        return servers;
    }
    auto it = std::find(list.begin(), list.end(), servers[0]);
    if (edit == EditKind::kAdd && it == list.end()) {
        list.push_back(servers[0]);
    } else if (edit == EditKind::kRemove && it != list.end()) {
        list.erase(it);
    }
    return list;
}

bool ValidServers(const std::vector<DWORD>& servers) {
    if (servers.size() > kMaxNameServers) {
        return false;
    }
    return std::none_of(servers.begin(), servers.end(), [](DWORD s) { return s == 0 || s == 0xFFFFFFFFu; });
}

// Runs `argv` with `input` on its standard input; true when it exits with 0 within the time-out
// (it is killed after it).
bool RunArgs(const std::vector<std::string>& argv, DWORD timeoutMs, const std::string& input = {}) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    // The input is a few short lines, far below the pipe's capacity: written whole before the
    // start, the child reads it and then the end of it.
    UniqueFd readEnd(fds[0]);
    UniqueFd writeEnd(fds[1]);
    const bool written = input.empty() || ::write(writeEnd.Get(), input.data(), input.size()) ==
                                              static_cast<ssize_t>(input.size());
    writeEnd.Reset();  // the child reads to the end of the input
    SpawnOptions options;
    options.stdinFd = readEnd.Get();
    options.quietOutput = true;
    const pid_t pid = written ? Spawn(argv, options) : -1;
    readEnd.Reset();
    if (pid < 0) {
        return false;
    }
    int code = -1;
    if (WaitProcess(pid, timeoutMs, &code) != kWaitObject0) {
        KillProcess(pid, SIGKILL);
        WaitProcess(pid, kInfinite, &code);
        return false;
    }
    return code == 0;
}

// Runs `program <option> <iface>` with `input` on its standard input.
bool RunCommand(const std::string& program, const char* option, const std::string& iface,
                const std::string& input, DWORD timeoutMs) {
    return RunArgs({program, option, iface}, timeoutMs, input);
}

struct Context {
    const ResolverOptions& options;
    std::string file;
    std::string journal;
    void Step(ResolverStep step) const {
        if (options.onStep) {
            options.onStep(step);
        }
    }
};

enum class JournalState { kNone, kLoaded, kDamaged };

// A damaged journal cannot be restored; it is moved aside (kept for a person to look at) so it
// does not block every later change.
JournalState LoadJournal(const Context& c, ResolverJournal* journal) {
    std::string text;
    std::string why;
    if (!rf::ReadBounded(c.journal, kMaxResolverFileSize + 65536, &text)) {
        if (errno == ENOENT) {
            return JournalState::kNone;
        }
        why = "unreadable or too large";
    } else if (ParseResolverJournal(text, journal, &why)) {
        return JournalState::kLoaded;
    }
    DebugPrintf("resolver: backup journal %s refused (%s); set aside", c.journal.c_str(), why.c_str());
    ::rename(c.journal.c_str(), (c.journal + ".bad").c_str());
    return JournalState::kDamaged;
}

bool SaveJournal(const Context& c, const ResolverJournal& journal) {
    return rf::ReplaceFile(
        c.journal, FormatResolverJournal(journal), 0600, ::geteuid(), ::getegid(),
        [&] { c.Step(ResolverStep::kJournalTempWritten); }, [&] { c.Step(ResolverStep::kJournalInPlace); });
}

// The program manages the real machine's configuration, so a machine under another root (a test,
// a demo "machine") never reaches it unless it names the program itself.
std::string FindResolvconf(const ResolverOptions& options) {
    if (options.resolvconf == "-" || (options.resolvconf.empty() && MachineRoot() != kDefaultMachineRoot)) {
        return std::string();
    }
    return FindProgram(options.resolvconf.empty() ? "resolvconf" : options.resolvconf);
}

// systemd-resolved manages the real machine's DNS when the resolver file leads into its runtime
// folder; a test names its stand-in program and gets it whatever the file.
std::string FindResolvectl(const ResolverOptions& options, const std::string& file) {
    if (options.resolvectl == "-") {
        return std::string();
    }
    if (!options.resolvectl.empty()) {
        return FindProgram(options.resolvectl);
    }
    if (MachineRoot() != kDefaultMachineRoot) {
        return std::string();
    }
    char target[PATH_MAX];
    const ssize_t n = ::readlink(file.c_str(), target, sizeof target - 1);
    if (n <= 0) {
        return std::string();
    }
    const std::string text(target, static_cast<std::size_t>(n));
    if (text.find("/run/systemd/resolve/") == std::string::npos) {
        return std::string();
    }
    return FindProgram("resolvectl");
}

// Withdraws what resolved holds for `iface`; a link that no longer exists took it along.
bool RevertResolved(const std::string& program, const std::string& iface, DWORD timeoutMs) {
    if (RunArgs({program, "revert", iface}, timeoutMs)) {
        return true;
    }
    return ::if_nametoindex(iface.c_str()) == 0;
}

// Puts the saved file (and link) back.
// Beside the resolver file, a second name of its original (a hard link): the restore renames it
// back, which needs no free space on a full disk, where writing the bytes anew would fail.
std::string KeptOriginalPath(const std::string& target) { return target + ".qel-orig"; }

void KeepOriginal(const std::string& target) {
    const std::string keep = KeptOriginalPath(target);
    ::unlink(keep.c_str());
    if (::link(target.c_str(), keep.c_str()) != 0)
        DebugPrintf("resolver: no second name for %s (errno %d); the restore writes it anew", target.c_str(),
                    errno);
}

// Renames the kept original back when it is still exactly what the journal holds (a regular file
// with its bytes, mode and owner); false otherwise, and the caller writes the bytes anew.
bool PutBackKept(const std::string& target, const ResolverJournal& j) {
    const std::string keep = KeptOriginalPath(target);
    struct stat st {};
    if (::lstat(keep.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 07777u) != j.mode ||
        st.st_uid != j.uid || st.st_gid != j.gid || static_cast<std::size_t>(st.st_size) != j.content.size())
        return false;
    std::string content;
    if (!rf::ReadBounded(keep, kMaxResolverFileSize, &content) || content != j.content) return false;
    return ::rename(keep.c_str(), target.c_str()) == 0 && rf::SyncDir(rf::DirName(target));
}

DWORD PutBack(const ResolverJournal& j) {
    std::string target = j.path;
    if (!j.linkText.empty()) {
        struct stat st {};
        char text[PATH_MAX];
        const ssize_t n = ::lstat(j.path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)
                              ? ::readlink(j.path.c_str(), text, sizeof text)
                              : -1;
        const bool sameLink = n >= 0 && j.linkText == std::string(text, static_cast<std::size_t>(n));
        if (!sameLink && !rf::ReplaceWithLink(j.path, j.linkText)) {
            return kErrorGeneralFailure;
        }
        target = rf::TargetOf(j.path, j.linkText);
    }
    const bool ok =
        j.present ? PutBackKept(target, j) || rf::ReplaceFile(target, j.content, j.mode, j.uid, j.gid, {}, {})
                  : rf::RemoveFile(target);
    if (ok) ::unlink(KeptOriginalPath(target).c_str());
    return ok ? kErrorSuccess : kErrorGeneralFailure;
}

DWORD RestoreLocked(const Context& c) {
    ResolverJournal j;
    switch (LoadJournal(c, &j)) {
        case JournalState::kNone: return kErrorSuccess;
        case JournalState::kDamaged: return kErrorInvalidData;
        case JournalState::kLoaded: break;
    }
    if (j.kind == ResolverJournal::Kind::kResolved) {
        const std::string program = FindResolvectl(c.options, c.file);
        if (!program.empty() && !RevertResolved(program, j.iface, c.options.commandTimeoutMs)) {
            return kErrorGeneralFailure;
        }
    } else if (j.kind == ResolverJournal::Kind::kResolvconf) {
        // Without the program any more, its registrations went with it.
        const std::string program = FindResolvconf(c.options);
        if (!program.empty() &&
            !RunCommand(program, "-d", j.iface, std::string(), c.options.commandTimeoutMs)) {
            return kErrorGeneralFailure;
        }
    } else {
        // Only the file this resolver looks after is ever written back.
        if (j.path != c.file) {
            DebugPrintf("resolver: backup journal is for %s, not %s", j.path.c_str(), c.file.c_str());
            return kErrorInvalidData;
        }
        const DWORD rc = PutBack(j);
        if (rc != kErrorSuccess) {
            return rc;
        }
    }
    c.Step(ResolverStep::kRestoreWritten);
    return rf::RemoveFile(c.journal) ? kErrorSuccess : kErrorGeneralFailure;
}

DWORD ChangeFile(const Context& c, EditKind edit, const std::vector<DWORD>& servers) {
    ResolverJournal j;
    JournalState state = LoadJournal(c, &j);
    if (state == JournalState::kLoaded && j.kind != ResolverJournal::Kind::kFile) {
        const DWORD rc = RestoreLocked(c);
        if (rc != kErrorSuccess) {
            return rc;
        }
        state = JournalState::kNone;
    }
    if (state == JournalState::kLoaded && j.path != c.file) {
        return kErrorInvalidData;
    }
    rf::PathState now;
    if (!rf::Inspect(c.file, kMaxResolverFileSize, &now)) {
        return kErrorGeneralFailure;
    }
    const std::string text = EditText(now.content, edit, servers);
    if (text == now.content && (now.present || text.empty())) {
        return kErrorSuccess;  // nothing to change, so nothing to back up (no empty file made)
    }
    const unsigned mode = now.present ? now.st.st_mode & 07777u : 0644u;
    const unsigned uid = now.present ? now.st.st_uid : ::geteuid();
    const unsigned gid = now.present ? now.st.st_gid : ::getegid();
    if (state != JournalState::kLoaded) {
        j = ResolverJournal{};
        j.kind = ResolverJournal::Kind::kFile;
        j.path = c.file;
        j.linkText = now.linkText;
        j.present = now.present;
        j.mode = mode;
        j.uid = uid;
        j.gid = gid;
        j.content = now.content;
        if (!SaveJournal(c, j)) {
            return kErrorGeneralFailure;
        }
        if (now.present) KeepOriginal(now.target);
    }
    const bool ok = rf::ReplaceFile(
        now.target, text, mode, uid, gid, [&] { c.Step(ResolverStep::kFileTempWritten); },
        [&] { c.Step(ResolverStep::kFileInPlace); });
    return ok ? kErrorSuccess : kErrorGeneralFailure;
}

// The journal of a change through a program for the link `iface`: one tunnel at a time, so what
// an earlier change of another kind or link did is undone first. The edit is recorded before the
// program runs: a crash after it still leaves the way to withdraw.
DWORD RecordProgramEdit(const Context& c, ResolverJournal::Kind kind, const std::string& iface, EditKind edit,
                        const std::vector<DWORD>& servers, ResolverJournal* j) {
    JournalState state = LoadJournal(c, j);
    if (state == JournalState::kLoaded && (j->kind != kind || j->iface != iface)) {
        const DWORD rc = RestoreLocked(c);
        if (rc != kErrorSuccess) {
            return rc;
        }
        state = JournalState::kNone;
    }
    if (state != JournalState::kLoaded) {
        *j = ResolverJournal{};
        j->kind = kind;
        j->path = c.file;
        j->iface = iface;
    }
    j->servers = EditList(j->servers, edit, servers);
    return SaveJournal(c, *j) ? kErrorSuccess : kErrorGeneralFailure;
}

DWORD ChangeResolved(const Context& c, const std::string& program, const std::string& iface, EditKind edit,
                     const std::vector<DWORD>& servers) {
    ResolverJournal j;
    const DWORD rc = RecordProgramEdit(c, ResolverJournal::Kind::kResolved, iface, edit, servers, &j);
    if (rc != kErrorSuccess) {
        return rc;
    }
    std::vector<std::string> dns = {program, "dns", iface};
    for (DWORD s : j.servers) {
        dns.push_back(platform::Ipv4Text(s));
    }
    // The link's servers answer every query ("~."), as the tunnel's servers do in the file.
    const bool ok = RunArgs(dns, c.options.commandTimeoutMs) &&
                    RunArgs({program, "domain", iface, j.servers.empty() ? std::string() : std::string("~.")},
                            c.options.commandTimeoutMs);
    c.Step(ResolverStep::kCommandDone);
    return ok ? kErrorSuccess : kErrorGeneralFailure;
}

DWORD ChangeRegistration(const Context& c, const std::string& program, const std::string& iface,
                         EditKind edit, const std::vector<DWORD>& servers) {
    ResolverJournal j;
    const DWORD rc = RecordProgramEdit(c, ResolverJournal::Kind::kResolvconf, iface, edit, servers, &j);
    if (rc != kErrorSuccess) {
        return rc;
    }
    std::string input;
    for (DWORD s : j.servers) {
        input += "nameserver " + platform::Ipv4Text(s) + "\n";
    }
    const bool ok = RunCommand(program, "-a", iface, input, c.options.commandTimeoutMs);
    c.Step(ResolverStep::kCommandDone);
    return ok ? kErrorSuccess : kErrorGeneralFailure;
}

}  // namespace

std::string ResolverFilePath() {
    const std::string root = MachineRoot();
    return root == kDefaultMachineRoot ? std::string("/etc/resolv.conf") : root + "/etc/resolv.conf";
}

Resolver& SystemResolver() {
    static LinuxResolver resolver;
    return resolver;
}

LinuxResolver::LinuxResolver(ResolverOptions options) : m_options(std::move(options)) {}

std::string LinuxResolver::FilePath() const {
    return m_options.file.empty() ? ResolverFilePath() : m_options.file;
}

std::string LinuxResolver::JournalPath() const {
    const std::string dir = m_options.journalDir.empty() ? MachineRoot() + "/resolver" : m_options.journalDir;
    return dir + "/backup.journal";
}

DWORD LinuxResolver::GetNameServers(std::vector<DWORD>* servers) {
    if (servers == nullptr) {
        return kErrorInvalidParameter;
    }
    servers->clear();
    std::string text;
    if (!rf::ReadBounded(FilePath(), kMaxResolverFileSize, &text)) {
        return errno == ENOENT ? kErrorSuccess : kErrorGeneralFailure;
    }
    for (const std::string& line : Lines(text)) {
        std::string address;
        in_addr a{};
        if (NameServerLine(line, &address) && ::inet_pton(AF_INET, address.c_str(), &a) == 1) {
            servers->push_back(a.s_addr);
        }
    }
    return kErrorSuccess;
}

DWORD LinuxResolver::SetNameServers(const std::string& iface, const std::vector<DWORD>& servers) {
    return Change(iface, static_cast<int>(EditKind::kReplace), servers);
}

DWORD LinuxResolver::AddNameServer(const std::string& iface, DWORD server) {
    return Change(iface, static_cast<int>(EditKind::kAdd), {server});
}

DWORD LinuxResolver::RemoveNameServer(const std::string& iface, DWORD server) {
    return Change(iface, static_cast<int>(EditKind::kRemove), {server});
}

DWORD LinuxResolver::Change(const std::string& iface, int edit, const std::vector<DWORD>& servers) {
    if (!ValidInterfaceName(iface) || !ValidServers(servers)) {
        return kErrorInvalidParameter;
    }
    Context c{m_options, FilePath(), JournalPath()};
    // The journal's folder is root's alone; the folders above it are the machine root's, which
    // other users pass through, so they are made as usual.
    const std::string dir = rf::DirName(c.journal);
    std::string why;
    if (!MakeDirs(rf::DirName(dir)) || !EnsureSecureDir(dir, SecureDirRule{0700}, &why)) {
        DebugOutput("resolver journal folder refused: " + why);
        return kErrorGeneralFailure;
    }
    rf::FileLock lock(rf::DirName(c.journal) + "/lock");
    if (!lock.Held()) {
        return kErrorGeneralFailure;
    }
    if (const std::string resolved = FindResolvectl(m_options, c.file); !resolved.empty()) {
        return ChangeResolved(c, resolved, iface, static_cast<EditKind>(edit), servers);
    }
    const std::string program = FindResolvconf(m_options);
    if (program.empty()) {
        return ChangeFile(c, static_cast<EditKind>(edit), servers);
    }
    return ChangeRegistration(c, program, iface, static_cast<EditKind>(edit), servers);
}

DWORD LinuxResolver::Restore() {
    Context c{m_options, FilePath(), JournalPath()};
    struct stat st {};
    if (::stat(c.journal.c_str(), &st) != 0 && errno == ENOENT) {
        return kErrorSuccess;  // nothing was changed (and no lock folder is made for it)
    }
    rf::FileLock lock(rf::DirName(c.journal) + "/lock");
    if (!lock.Held()) {
        return kErrorGeneralFailure;
    }
    return RestoreLocked(c);
}

}  // namespace platform
