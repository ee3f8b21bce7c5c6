// Replacing a file's content whole: readers see the old file or the new one, never a part.
#pragma once
#include <sys/types.h>

#include <string>

namespace platform {

// Writes `data` to a temporary file beside `path` (never following a link there), syncs it and
// renames it over `path`. false, with errno, when any step failed; the temporary file is gone then.
bool WriteFileAtomically(const std::string& path, const std::string& data, mode_t mode = 0644);

}  // namespace platform
