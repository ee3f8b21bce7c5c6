// Replacing a file's content whole: readers see the old file or the new one, never a part. Every
// file the suite replaces this way is first written under a name nobody can predict or create
// before it, as a new regular file: in a folder other users may write, a FIFO, a link or a file
// planted at a temporary name can neither hold a writer up nor redirect what it writes.
#pragma once
#include <sys/types.h>

#include <string>

namespace platform {

// "<path>.tmp.<16 random characters>", empty (errno set) when the kernel gave no random bytes.
// For what is not a file (a link made beside `path`): create it with a call that fails on EEXIST.
std::string TempNameBeside(const std::string& path);

// Creates a new, empty regular file beside `path`, named "<path>.tmp.<random>", opened for writing
// with O_CREAT|O_EXCL|O_NOFOLLOW|O_NONBLOCK (a name taken already is never opened: another random
// one is tried), mode `mode` less the umask. *tempPath receives its path. The descriptor, or -1
// with errno.
int CreateTempBeside(const std::string& path, mode_t mode, std::string* tempPath);

// Writes `data` to a file made by CreateTempBeside, syncs it and renames it over `path` (whatever
// is at `path` is replaced, never followed or opened). false, with errno, when any step failed;
// the temporary file is gone then.
bool WriteFileAtomically(const std::string& path, const std::string& data, mode_t mode = 0644);

// Renames the finished temporary file `tempPath` over `path`; on failure removes it and keeps
// errno. For writers that fill the file made by CreateTempBeside themselves.
bool CommitTempFile(const std::string& tempPath, const std::string& path);

// Opens `path` for reading only when it is a regular file: without waiting on a FIFO or a device
// (O_NONBLOCK, cleared again once the file is known to be regular) and, unless `followLink`,
// without following a link in its place (ELOOP). -1 with errno (EINVAL: not a regular file).
int OpenRegularFile(const std::string& path, bool followLink = false);

}  // namespace platform
