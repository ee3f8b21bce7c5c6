// Internal: a connected rtnetlink socket of libnl, and the mapping of libnl errors onto the
// Windows numbers the suite's callers expect. Used by route_table.cpp and adapter_list.cpp.
#pragma once
#include <netlink/errno.h>
#include <netlink/netlink.h>
#include <netlink/socket.h>

#include "platform/route_table.h"

namespace platform::rtnl {

class Session {
public:
    Session() {
        m_sock = nl_socket_alloc();
        if (m_sock != nullptr && nl_connect(m_sock, NETLINK_ROUTE) != 0) {
            nl_socket_free(m_sock);
            m_sock = nullptr;
        }
    }
    ~Session() {
        if (m_sock != nullptr) nl_socket_free(m_sock);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    nl_sock* Get() const { return m_sock; }
    bool Valid() const { return m_sock != nullptr; }

private:
    nl_sock* m_sock = nullptr;
};

// A libnl result (0 or -NLE_*) as a Windows error number.
inline DWORD ToWinError(int nlResult) {
    switch (nlResult < 0 ? -nlResult : nlResult) {
        case 0: return kErrorSuccess;
        case NLE_EXIST: return kErrorObjectAlreadyExists;
        case NLE_OBJ_NOTFOUND:
        case NLE_NODEV: return kErrorNotFound;
        case NLE_PERM:
        case NLE_NOACCESS: return kErrorAccessDenied;
        case NLE_INVAL:
        case NLE_RANGE:
        case NLE_AF_NOSUPPORT: return kErrorInvalidParameter;
        case NLE_OPNOTSUPP: return kErrorNotSupported;
        default: return kErrorGeneralFailure;
    }
}

}  // namespace platform::rtnl
