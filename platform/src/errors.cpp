// errno to Windows / Winsock numbers. The suite's log texts and result pairs carry the Windows
// numbers, and peers (logs read by support staff) expect those.
#include "platform/errors.h"

#include <cerrno>

namespace platform {

namespace {
thread_local DWORD t_lastError = 0;
}  // namespace

DWORD WsaErrorFromErrno(int err) {
    switch (err) {
        case 0: return 0;
        case EINTR: return 10004;  // WSAEINTR
        case EBADF: return 10009;  // WSAEBADF
        case EACCES:
        case EPERM: return 10013;   // WSAEACCES
        case EFAULT: return 10014;  // WSAEFAULT
        case EINVAL: return 10022;  // WSAEINVAL
        case EMFILE:
        case ENFILE: return 10024;        // WSAEMFILE
        case EWOULDBLOCK: return 10035;   // WSAEWOULDBLOCK (EAGAIN is the same number)
        case EINPROGRESS: return 10036;   // WSAEINPROGRESS
        case EALREADY: return 10037;      // WSAEALREADY
        case ENOTSOCK: return 10038;      // WSAENOTSOCK
        case EDESTADDRREQ: return 10039;  // WSAEDESTADDRREQ
        case EMSGSIZE: return 10040;      // WSAEMSGSIZE
        case EPROTOTYPE: return 10041;    // WSAEPROTOTYPE
        case ENOPROTOOPT: return 10042;   // WSAENOPROTOOPT
        case EPROTONOSUPPORT: return 10043;
        case ESOCKTNOSUPPORT: return 10044;
        case EOPNOTSUPP: return 10045;  // WSAEOPNOTSUPP
        case EPFNOSUPPORT: return 10046;
        case EAFNOSUPPORT: return 10047;
        case EADDRINUSE: return 10048;  // WSAEADDRINUSE
        case EADDRNOTAVAIL: return 10049;
        case ENETDOWN: return 10050;
        case ENETUNREACH: return 10051;  // WSAENETUNREACH
        case ENETRESET: return 10052;
        case ECONNABORTED: return 10053;  // WSAECONNABORTED
        case EPIPE:
        case ECONNRESET: return 10054;  // WSAECONNRESET
        case ENOBUFS:
        case ENOMEM: return 10055;  // WSAENOBUFS
        case EISCONN: return 10056;
        case ENOTCONN: return 10057;  // WSAENOTCONN
        case ESHUTDOWN: return 10058;
        case ETIMEDOUT: return 10060;     // WSAETIMEDOUT
        case ECONNREFUSED: return 10061;  // WSAECONNREFUSED
        case ELOOP: return 10062;
        case ENAMETOOLONG: return 10063;
        case EHOSTDOWN: return 10064;
        case EHOSTUNREACH: return 10065;  // WSAEHOSTUNREACH
        default: return 10022;            // nothing closer: WSAEINVAL
    }
}

DWORD WinErrorFromErrno(int err) {
    switch (err) {
        case 0: return 0;
        case ENOENT: return 2;   // ERROR_FILE_NOT_FOUND
        case ENOTDIR: return 3;  // ERROR_PATH_NOT_FOUND
        case EMFILE:
        case ENFILE: return 4;  // ERROR_TOO_MANY_OPEN_FILES
        case EACCES:
        case EPERM:
        case EROFS: return 5;           // ERROR_ACCESS_DENIED
        case EBADF: return 6;           // ERROR_INVALID_HANDLE
        case ENOMEM: return 8;          // ERROR_NOT_ENOUGH_MEMORY
        case EXDEV: return 17;          // ERROR_NOT_SAME_DEVICE
        case EIO: return 1117;          // ERROR_IO_DEVICE
        case EBUSY: return 170;         // ERROR_BUSY
        case EEXIST: return 183;        // ERROR_ALREADY_EXISTS
        case ENOSPC: return 112;        // ERROR_DISK_FULL
        case EINVAL: return 87;         // ERROR_INVALID_PARAMETER
        case EPIPE: return 109;         // ERROR_BROKEN_PIPE
        case ENAMETOOLONG: return 206;  // ERROR_FILENAME_EXCED_RANGE
        case ENOTEMPTY: return 145;     // ERROR_DIR_NOT_EMPTY
        case EAGAIN: return 997;        // ERROR_IO_PENDING
        case ETIMEDOUT: return 1460;    // ERROR_TIMEOUT
        case ENOSYS:
        case EOPNOTSUPP: return 50;  // ERROR_NOT_SUPPORTED
        case ESRCH: return 1168;     // ERROR_NOT_FOUND
        case ECHILD: return 128;     // ERROR_WAIT_NO_CHILDREN
        case EINTR: return 1223;     // ERROR_CANCELLED
        default: return 31;          // ERROR_GEN_FAILURE
    }
}

DWORD GetLastError() { return t_lastError; }

void SetLastError(DWORD code) { t_lastError = code; }

}  // namespace platform
