// The machine's DNS resolver configuration: the tunnel's name servers applied and the previous
// configuration put back afterwards, also by another process after the one that applied them died.
//
// Three ways to apply, chosen at each change:
// - where systemd-resolved manages the machine's DNS (the machine root is the real one, the
//   resolver file is a link into /run/systemd/resolve and `resolvectl` is on PATH), the servers go
//   on the tunnel interface's link through `resolvectl dns <iface> ...`, with `resolvectl domain
//   <iface> ~.` so that every query goes to them; `resolvectl revert <iface>` withdraws them (a link
//   that is gone took them along). Editing the file would be undone by resolved;
// - when the `resolvconf` program is installed (found on PATH) and the machine root is the real
//   one, the servers are registered for the tunnel's interface with `resolvconf -a <iface>`
//   (servers on standard input) and withdrawn with `resolvconf -d <iface>`;
// - otherwise the resolver file is edited in place: ResolverFilePath(), i.e. /etc/resolv.conf on
//   the real machine root and <root>/etc/resolv.conf under any other. When that path is a symbolic
//   link, the file it points to is edited and the link stays a link.
//
// Before the first change a backup journal is written under the machine root (the previous file's
// bytes, mode, owner and link, or the registered interface). Restore() puts exactly that back and
// deletes the journal; changes made while a journal exists keep the first backup. Every file is
// written through a temporary file in the same folder, fsync and rename, so a process killed at
// any moment leaves either the old or the new file and a journal that can undo it.
//
// Thread-safety: calls may come from any thread and any process; they are serialised by a lock file
// beside the journal. Error contract: Windows result numbers (win_error_codes.h): 87 for an invalid
// interface name or server, kErrorInvalidData for a damaged journal, 1359 for other failures.
#pragma once
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"
#include "platform/win_error_codes.h"

namespace platform {

constexpr DWORD kErrorInvalidData = 13;
// At most this many servers in one request; the resolver library reads only the first three.
constexpr std::size_t kMaxNameServers = 16;
// A resolver file larger than this is not backed up (and so not changed).
constexpr std::size_t kMaxResolverFileSize = 1u << 20;

// The interface the resolver works for. Addresses are IPv4 in network byte order.
class Resolver {
public:
    virtual ~Resolver() = default;
    // The name servers the machine resolves with now, in file order.
    virtual DWORD GetNameServers(std::vector<DWORD>* servers) = 0;
    // Makes `servers` (0 entries are refused) the name servers of `iface`: in the resolver file
    // they replace every name server line, first in the file.
    virtual DWORD SetNameServers(const std::string& iface, const std::vector<DWORD>& servers) = 0;
    // Adds one server after the present ones (nothing when it is there already) / removes it.
    virtual DWORD AddNameServer(const std::string& iface, DWORD server) = 0;
    virtual DWORD RemoveNameServer(const std::string& iface, DWORD server) = 0;
    // Puts back what was there before the first change; success also when nothing was changed.
    virtual DWORD Restore() = 0;
};

// The process's resolver on this machine (paths from the machine root at each call).
Resolver& SystemResolver();

// /etc/resolv.conf for the default machine root, else <root>/etc/resolv.conf.
std::string ResolverFilePath();
// Interface names as the kernel takes them (1-15 bytes, no '/', ':' or blanks, not "." or ".."),
// and not starting with '-', so that a name can never be read as an option.
bool ValidInterfaceName(std::string_view name);

// The points of a change, in order, reported to ResolverOptions::onStep (tests stop a process
// there to prove that a crash at any of them can be undone).
enum class ResolverStep {
    kJournalTempWritten,
    kJournalInPlace,
    kFileTempWritten,
    kFileInPlace,
    kCommandDone,
    kRestoreWritten,
};

struct ResolverOptions {
    std::string file;        // empty: ResolverFilePath() at each call
    std::string journalDir;  // empty: <machine root>/resolver
    // empty: "resolvconf" looked up on PATH at each change, for the default machine root only;
    // a name: that program looked up on PATH; "-": the file is always edited.
    std::string resolvconf;
    DWORD commandTimeoutMs = 10000;
    std::function<void(ResolverStep)> onStep;
    // empty: systemd-resolved detected as above; a name: that program stands for resolvectl and
    // is used whatever the file (tests); "-": never.
    std::string resolvectl;
};

// The Linux resolver. Owns nothing but its options; any number may exist.
class LinuxResolver final : public Resolver {
public:
    explicit LinuxResolver(ResolverOptions options = {});
    DWORD GetNameServers(std::vector<DWORD>* servers) override;
    DWORD SetNameServers(const std::string& iface, const std::vector<DWORD>& servers) override;
    DWORD AddNameServer(const std::string& iface, DWORD server) override;
    DWORD RemoveNameServer(const std::string& iface, DWORD server) override;
    DWORD Restore() override;

    std::string FilePath() const;
    std::string JournalPath() const;

private:
    DWORD Change(const std::string& iface, int edit, const std::vector<DWORD>& servers);

    ResolverOptions m_options;
};

// The backup journal: what was there before the first change.
struct ResolverJournal {
    enum class Kind { kFile, kResolvconf, kResolved };
    Kind kind = Kind::kFile;
    std::string path;      // the resolver file (absolute)
    std::string linkText;  // not empty: the path was a symbolic link with this text
    bool present = false;  // the file (for a link: its target) existed
    unsigned mode = 0644;  // permission bits of the file
    unsigned uid = 0, gid = 0;
    std::string content;         // the file's bytes
    std::string iface;           // resolvconf, resolved: the interface registered
    std::vector<DWORD> servers;  // resolvconf, resolved: the servers registered now
};
std::string FormatResolverJournal(const ResolverJournal& journal);
// Strict: a damaged, truncated or oversized journal is refused with a reason in *error.
bool ParseResolverJournal(std::string_view text, ResolverJournal* journal, std::string* error);

}  // namespace platform
