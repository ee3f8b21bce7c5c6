// The pipe's command protocol without the pipe: a connection's messages go in, the reply bytes and
// whether to hang up come out. The effects are asked of a NetshOperations object, so the protocol
// (command table, order of tests, replies byte for byte) is tested without touching the machine.
//
// No text of a peer ever reaches a shell or the arguments of a started program: every command is
// a fixed operation with range-checked numbers and validated addresses.
//
// Thread-safety: a session belongs to one connection and is driven by one thread at a time.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "service/route_command.h"

namespace service {

// Result of SetIP as the reply tells it.
enum class SetIpResult { kDone, kAddressFailed, kDnsFailed };

// What the commands do. Results are only logged unless said otherwise.
class NetshOperations {
public:
    virtual ~NetshOperations() = default;
    virtual void SetDisableDefRoute(DWORD ifIndex, int flag) = 0;
    virtual void EnableAdapter(bool enable) = 0;
    virtual int ChangeAdapteLevel() = 0;
    virtual std::string GetHardwareID() = 0;  // at most 127 characters
    virtual void SetAutoExec() = 0;
    virtual void NotSetAutoExec() = 0;
    // "0" stands for no server; the others are checked dotted IPv4 addresses.
    virtual void SetDnsByNetshCmd(const std::string& primary, const std::string& secondary,
                                  DWORD ifIndex) = 0;
    // The address on the virtual adapter (waiting for the adapter up to the timing's limit), then the
    // name servers; naming none withdraws the tunnel's, and with no adapter present that is done
    // at once and answered kAddressFailed without a wait.
    virtual SetIpResult SetIP(const std::string& address, const std::string& mask, const std::string& dns1,
                              const std::string& dns2) = 0;
    virtual void StartClient() = 0;
    virtual DWORD AddRoute(const RouteRecord& record) = 0;
    virtual DWORD DeleteRoute(const RouteRecord& record) = 0;
    virtual DWORD SetRoute(const RouteRecord& record) = 0;
    virtual void FlushNeighbours() = 0;              // "arp -d"
    virtual void FlushDns() = 0;                     // "flushdns"
    virtual void ResetAdapterAddress() = 0;          // "netsh int ip reset"
    virtual void UseDhcpAddress(DWORD ifIndex) = 0;  // "netsh int ipv4 set address name=N source=dhcp"
};

// One connection's conversation: access code, then command, then the reply.
class NetshPipeSession {
public:
    explicit NetshPipeSession(NetshOperations& operations) : m_ops(operations) {}

    struct Action {
        std::vector<std::uint8_t> reply;  // empty: nothing is sent
        bool hangUp = false;              // disconnect after the reply
    };
    // Handles the next message of the connection. `oversized`: the message was longer than the
    // transport takes and is gone (served as a failed read).
    Action OnMessage(const std::uint8_t* data, std::size_t size, bool oversized = false);

private:
    Action OnAccessCode(const std::uint8_t* data, std::size_t size, bool oversized);
    Action OnCommand(std::string_view command);

    NetshOperations& m_ops;
    bool m_codeAccepted = false;
};

// Dispatches one command text (10 to 255 bytes) by the command table; returns the reply bytes.
std::vector<std::uint8_t> DispatchNetshCommand(NetshOperations& ops, std::string_view command);

// Helpers of the parsers, also used by the operations: a dotted IPv4 address ("a.b.c.d", each
// part 0-255, no blanks or other text) in network byte order; a decimal number within [lo, hi].
bool ParseDottedAddress(std::string_view text, DWORD* address);
bool ParseDecimal(std::string_view text, long long lo, long long hi, long long* value);

}  // namespace service
