// Look-ups in the machine's IP tables (what the MIB-II tables of the local stack hold), through
// rtnetlink. Addresses are IPv4 in network byte order. Each returns 1 when found, else 0 (also
// when the tables cannot be read). Thread-safe.
#pragma once
#include "platform/types.h"

// The 6-byte hardware address of `ip`: from the neighbour (ARP) table, or, when `ip` is one of
// the machine's own addresses, that interface's address.
int snmp_GetMacAddrByIp(DWORD ip, unsigned char* mac);
// The next hop of the last route whose destination is exactly `destination`.
int snmp_GetRouteNextHopIp(DWORD destination, DWORD* nextHop);
// The interface index of the local interface that has address `ip`.
int snmp_GetAdapterIndexByIpAddr(DWORD ip, DWORD* ifIndex);
