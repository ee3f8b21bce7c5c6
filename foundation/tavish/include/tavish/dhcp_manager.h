// TwDhcpManager: releases or renews the DHCP lease of one named adapter (or, for release, of
// every adapter) with the DHCP client of the machine (ISC dhclient), which is run without a shell
// with a bounded time; the result is the client's own exit status.
//
// The client keeps its pid and lease files per interface under RuntimeDir()/dhcp, so a renew and
// a later release act on the same lease. Results: 0 success, 1 failure (also for a null request).
// Thread-safety: no shared state; calls may run on several threads (for different adapters).
#pragma once
#include <string>
#include <vector>

#include "platform/types.h"

#pragma pack(push, 1)
struct DHCP_RELEASE_REQUEST {
    DWORD dwRequest;      // not read
    DWORD dwAllAdapters;  // non-zero: every adapter
    char rgAdapterName[256];
};
struct DHCP_RENEW_REQUEST {
    DWORD dwRequest;  // not read
    char rgAdapterName[256];
};
#pragma pack(pop)
static_assert(sizeof(DHCP_RELEASE_REQUEST) == 264);
static_assert(sizeof(DHCP_RENEW_REQUEST) == 260);

class TwDhcpManager {
public:
    // `commandTimeoutMs` bounds each run of the DHCP client; it is killed after that time.
    explicit TwDhcpManager(DWORD commandTimeoutMs = 60000);
    ~TwDhcpManager();

    int Release(DHCP_RELEASE_REQUEST* request);
    int Renew(DHCP_RENEW_REQUEST* request);

protected:
    // Runs a command (argv, no shell) hidden, waits at most the bound and returns its exit
    // status; -1 when it could not start or was killed at the bound.
    int CmdExec(const std::vector<std::string>& argv);

private:
    int ReleaseAdapter(const std::string& ifName);
    int RenewAdapter(const std::string& ifName);
    DWORD m_timeoutMs;
};
