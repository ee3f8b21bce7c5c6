// One running instance of a daemon per machine root. The lock is an open-file-description lock on
// RuntimeDir()/instances/<name>.lock, held for the life of the holder: it goes with the process,
// also when the process is killed, so nothing stale ever blocks a start. Only the daemons' own
// user can hold it: the folder is 0700 and the file 0600, both the holder's; a file anyone else
// could have opened (an older installation's 0644 file, another owner's, a second link) is no
// proof of a running instance and is replaced by a fresh one.
#pragma once
#include <string>

#include "platform/unique_fd.h"

namespace platform {

class InstanceLock {
public:
    InstanceLock() = default;
    // Takes the lock for `name` (letters, digits, '-', '_', '.'). false when another process
    // holds it (*held then true) or the lock file could not be made (*error says why).
    bool Acquire(const std::string& name, bool* held, std::string* error);
    bool Held() const { return static_cast<bool>(m_fd); }

private:
    UniqueFd m_fd;
};

}  // namespace platform
