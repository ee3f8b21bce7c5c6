// Error numbers: the suite's texts and result pairs use Windows / Winsock numbers; these map the
// errno values of Linux onto them.
#pragma once
#include "platform/types.h"

namespace platform {

// Winsock error number (10000 range) for an errno of a socket call; 0 for 0.
DWORD WsaErrorFromErrno(int err);
// Windows system error number for an errno (ERROR_FILE_NOT_FOUND 2, ERROR_ACCESS_DENIED 5, ...).
DWORD WinErrorFromErrno(int err);

// The calling thread's last error, as GetLastError/SetLastError keep it (Windows numbers).
DWORD GetLastError();
void SetLastError(DWORD code);

}  // namespace platform
