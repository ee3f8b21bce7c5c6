#include "link_monitor.h"

#include <cerrno>
#include <cstring>
#include <linux/if.h>
#include <linux/if_arp.h>
#include <netlink/netlink.h>
#include <netlink/route/link.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace olvane {

std::vector<RealLink> ListRealLinks(const std::string& skipPrefix) {
    std::vector<RealLink> out;
    nl_sock* sock = nl_socket_alloc();
    if (sock == nullptr) return out;
    nl_cache* cache = nullptr;
    if (nl_connect(sock, NETLINK_ROUTE) == 0 && rtnl_link_alloc_cache(sock, AF_UNSPEC, &cache) == 0) {
        for (nl_object* o = nl_cache_get_first(cache); o != nullptr; o = nl_cache_get_next(o)) {
            auto* link = reinterpret_cast<rtnl_link*>(o);
            const char* name = rtnl_link_get_name(link);
            if (name == nullptr || rtnl_link_get_arptype(link) != ARPHRD_ETHER) continue;
            if (!skipPrefix.empty() && std::strncmp(name, skipPrefix.c_str(), skipPrefix.size()) == 0)
                continue;
            nl_addr* addr = rtnl_link_get_addr(link);
            if (addr == nullptr || nl_addr_get_len(addr) != 6) continue;
            RealLink l;
            l.ifIndex = rtnl_link_get_ifindex(link);
            l.name = name;
            std::memcpy(l.mac, nl_addr_get_binary_addr(addr), 6);
            l.mtu = rtnl_link_get_mtu(link);
            l.carrier = (rtnl_link_get_flags(link) & IFF_LOWER_UP) != 0;
            out.push_back(l);
        }
        nl_cache_free(cache);
    }
    nl_socket_free(sock);
    return out;
}

TwLinkMonitor::~TwLinkMonitor() { Stop(); }

bool TwLinkMonitor::Start(std::function<void()> changed) {
    if (m_thread.joinable()) return false;
    m_changed = std::move(changed);
    m_stopFd.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    m_sock = nl_socket_alloc();
    if (!m_stopFd.Valid() || m_sock == nullptr) {
        Stop();
        return false;
    }
    nl_socket_disable_seq_check(m_sock);
    if (nl_connect(m_sock, NETLINK_ROUTE) != 0 || nl_socket_add_membership(m_sock, RTNLGRP_LINK) != 0 ||
        nl_socket_set_nonblocking(m_sock) != 0) {
        Stop();
        return false;
    }
    nl_socket_modify_cb(
        m_sock, NL_CB_VALID, NL_CB_CUSTOM,
        [](nl_msg*, void* arg) -> int {
            auto* self = static_cast<TwLinkMonitor*>(arg);
            if (self->m_changed) self->m_changed();
            return NL_OK;
        },
        this);
    m_thread = std::thread([this] { Run(); });
    return true;
}

void TwLinkMonitor::Stop() {
    if (m_thread.joinable()) {
        std::uint64_t one = 1;
        (void)!::write(m_stopFd.Get(), &one, sizeof(one));
        m_thread.join();
    }
    if (m_sock != nullptr) nl_socket_free(m_sock);
    m_sock = nullptr;
    m_stopFd.Reset();
}

void TwLinkMonitor::Run() {
    pollfd fds[2] = {{nl_socket_get_fd(m_sock), POLLIN, 0}, {m_stopFd.Get(), POLLIN, 0}};
    for (;;) {
        int n = ::poll(fds, 2, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || fds[1].revents != 0) return;
        if (fds[0].revents != 0) nl_recvmsgs_default(m_sock);
    }
}

}  // namespace olvane
