#include "file_replacer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "platform/debug_output.h"
#include "platform/unique_fd.h"

namespace quistral {

namespace {

std::string Staged(const std::string& target, const std::string& suffix) { return target + ".new" + suffix; }
std::string Backup(const std::string& target, const std::string& suffix) { return target + suffix; }

bool Rename(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) == 0;
}

}  // namespace

FileReplacer::FileReplacer(std::string suffix,
                           std::function<bool(const std::string&, const std::string&)> move)
    : m_suffix(std::move(suffix)), m_move(move ? std::move(move) : Rename) {}

bool FileReplacer::Stage(const Replacement& r, const std::string& staged) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(r.target).parent_path(), ec);
    platform::UniqueFd in(::open(r.source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!in) return false;
    // The new file keeps the old one's mode; a new program file is executable.
    struct stat old {};
    mode_t mode = ::stat(r.target.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0755;
    ::unlink(staged.c_str());
    platform::UniqueFd out(
        ::open(staged.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!out) return false;
    char block[8192];
    for (;;) {
        ssize_t n = ::read(in.Get(), block, sizeof(block));
        if (n < 0) return false;
        if (n == 0) break;
        if (::write(out.Get(), block, static_cast<std::size_t>(n)) != n) return false;
    }
    return ::fchmod(out.Get(), mode) == 0 && ::fsync(out.Get()) == 0;
}

void FileReplacer::RollBack(std::size_t swapped) {
    for (std::size_t i = swapped; i-- > 0;) {
        const std::string& target = m_items[i].target;
        if (m_hadOld[i]) {
            if (!Rename(Backup(target, m_suffix), target))
                platform::DebugOutput("[FileReplacer] cannot put back " + target + "\n");
        } else {
            ::unlink(target.c_str());
        }
    }
}

bool FileReplacer::Apply() {
    m_failed.clear();
    m_hadOld.assign(m_items.size(), false);
    auto discardStaged = [&] {
        for (const auto& r : m_items) ::unlink(Staged(r.target, m_suffix).c_str());
    };
    for (const auto& r : m_items) {
        if (!Stage(r, Staged(r.target, m_suffix))) {
            m_failed = r.target;
            discardStaged();
            return false;
        }
    }
    for (std::size_t i = 0; i < m_items.size(); ++i) {
        const std::string& target = m_items[i].target;
        struct stat st {};
        m_hadOld[i] = ::lstat(target.c_str(), &st) == 0;
        bool ok = !m_hadOld[i] || m_move(target, Backup(target, m_suffix));
        if (ok && !m_move(Staged(target, m_suffix), target)) {
            // The old file goes back at once; the ones before it follow below.
            if (m_hadOld[i]) Rename(Backup(target, m_suffix), target);
            ok = false;
        }
        if (!ok) {
            m_failed = target;
            RollBack(i);
            discardStaged();
            return false;
        }
    }
    // A running program keeps its old file open; removing the name is enough on Linux.
    for (std::size_t i = 0; i < m_items.size(); ++i)
        if (m_hadOld[i]) ::unlink(Backup(m_items[i].target, m_suffix).c_str());
    return true;
}

}  // namespace quistral
