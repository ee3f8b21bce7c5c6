// The pipe's command protocol: access code, command table, replies.
#include "service/netsh_command.h"

#include <cstring>

#include "service/netsh_pipe.h"
#include "service_log.h"

namespace service {
namespace {

constexpr const char* kTag = "[NetShellServiceThread::Execute]";

std::vector<std::uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}
bool Contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

// The command without the line end the clients add.
std::string_view TrimLineEnd(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    return text;
}

// Splits at single blanks into exactly `count` fields, the last running to the end.
bool SplitFields(std::string_view text, std::size_t count, std::vector<std::string_view>* fields) {
    fields->clear();
    for (std::size_t i = 0; i + 1 < count; ++i) {
        const std::size_t blank = text.find(' ');
        if (blank == std::string_view::npos) return false;
        fields->push_back(text.substr(0, blank));
        text.remove_prefix(blank + 1);
    }
    fields->push_back(text);
    for (const auto& f : *fields) {
        if (f.empty()) return false;
    }
    return true;
}

bool ValidServerText(std::string_view text) {
    DWORD unused = 0;
    return text == "0" || ParseDottedAddress(text, &unused);
}

void Netcheck(NetshOperations& ops, std::string_view command) {
    std::vector<std::string_view> fields;
    long long index = 0, flag = 0;
    if (command.size() < 9 || !SplitFields(TrimLineEnd(command.substr(9)), 2, &fields) ||
        !ParseDecimal(fields[0], 1, 0x7fffffff, &index) || !ParseDecimal(fields[1], 0, 0x7fffffff, &flag)) {
        SVC_LOG("%s netcheck refused: %s", kTag, PrintableText(command).c_str());
        return;
    }
    ops.SetDisableDefRoute(static_cast<DWORD>(index), flag != 0 ? 1 : 0);
}

void SetDns(NetshOperations& ops, std::string_view command) {
    std::vector<std::string_view> f;
    long long index = 0;
    const bool split = command.size() > 17 && SplitFields(TrimLineEnd(command.substr(17)), 3, &f);
    if (split) {
        SVC_LOG("%s SetDnsByNetshCmd,%s, %s %s", kTag, PrintableText(f[0]).c_str(),
                PrintableText(f[1]).c_str(), PrintableText(f[2]).c_str());
    }
    if (!split || !ValidServerText(f[0]) || !ValidServerText(f[1]) ||
        !ParseDecimal(f[2], 1, 0x7fffffff, &index)) {
        SVC_LOG("%s SetDnsByNetshCmd refused: %s", kTag, PrintableText(command).c_str());
        return;
    }
    ops.SetDnsByNetshCmd(std::string(f[0]), std::string(f[1]), static_cast<DWORD>(index));
}

std::vector<std::uint8_t> SetIp(NetshOperations& ops, std::string_view command) {
    std::vector<std::string_view> f;
    DWORD address = 0, mask = 0;
    const bool split = command.size() > 6 && SplitFields(TrimLineEnd(command.substr(6)), 4, &f);
    if (split) {
        SVC_LOG("%s Set Static IP, %s, %s, %s, %s", kTag, PrintableText(f[0]).c_str(),
                PrintableText(f[1]).c_str(), PrintableText(f[2]).c_str(), PrintableText(f[3]).c_str());
    }
    if (!split || !ParseDottedAddress(f[0], &address) || !ParseDottedAddress(f[1], &mask) ||
        !ValidServerText(f[2]) || !ValidServerText(f[3])) {
        SVC_LOG("%s SetIP refused: %s", kTag, PrintableText(command).c_str());
        return Bytes(kReplySetIpFail);
    }
    switch (ops.SetIP(std::string(f[0]), std::string(f[1]), std::string(f[2]), std::string(f[3]))) {
        case SetIpResult::kDone: return Bytes(kReplyDone);
        case SetIpResult::kAddressFailed: return Bytes(kReplySetIpFail);
        case SetIpResult::kDnsFailed: return Bytes(kReplySetDnsFail);
    }
    return Bytes(kReplySetIpFail);
}

// false when a route command was refused or the table did not take it; text that names no route
// verb is no route command and is answered as done.
bool Route(NetshOperations& ops, std::string_view command) {
    if (!Contains(command, "addroute") && !Contains(command, "delroute") && !Contains(command, "setroute"))
        return true;
    RouteRecord record;
    std::string error;
    if (!PhaseRouteCmd(command, &record, &error)) {
        SVC_LOG("%s route command refused (%s): %s", kTag, error.c_str(), PrintableText(command).c_str());
        return false;
    }
    DWORD rc = 0;
    if (Contains(command, "addroute")) {
        rc = ops.AddRoute(record);
    } else if (Contains(command, "delroute")) {
        rc = ops.DeleteRoute(record);
    } else if (Contains(command, "setroute")) {
        rc = ops.SetRoute(record);
        SVC_LOG("%s ApiSetRoute return %d ", kTag, static_cast<int>(rc));
    }
    return rc == 0;
}

// The two forms of "netsh int ip ..." the clients send map to address operations; anything else
// that mentions it is refused rather than run.
void NetshIntIp(NetshOperations& ops, std::string_view command) {
    const std::string_view text = TrimLineEnd(command);
    SVC_LOG("%s %s", kTag, PrintableText(text).c_str());
    if (text == "netsh int ip reset") {
        ops.ResetAdapterAddress();
        return;
    }
    constexpr std::string_view kHead = "netsh int ipv4 set address name=";
    constexpr std::string_view kTail = " source=dhcp";
    long long index = 0;
    if (StartsWith(text, kHead) && text.size() > kHead.size() + kTail.size() &&
        text.substr(text.size() - kTail.size()) == kTail &&
        ParseDecimal(text.substr(kHead.size(), text.size() - kHead.size() - kTail.size()), 1, 0x7fffffff,
                     &index)) {
        ops.UseDhcpAddress(static_cast<DWORD>(index));
        return;
    }
    SVC_LOG("%s refused: not a known adapter command", kTag);
}

}  // namespace

bool ParseDecimal(std::string_view text, long long lo, long long hi, long long* value) {
    bool negative = false;
    if (!text.empty() && text[0] == '-') {
        negative = true;
        text.remove_prefix(1);
    }
    if (text.empty() || text.size() > 12) return false;
    long long v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    if (negative) v = -v;
    if (v < lo || v > hi) return false;
    *value = v;
    return true;
}

bool ParseDottedAddress(std::string_view text, DWORD* address) {
    std::uint8_t parts[4] = {};
    for (int i = 0; i < 4; ++i) {
        const std::size_t dot = i < 3 ? text.find('.') : text.size();
        if (dot == std::string_view::npos) return false;
        long long v = 0;
        if (dot > 3 || !ParseDecimal(text.substr(0, dot), 0, 255, &v) || text[0] == '-') return false;
        parts[i] = static_cast<std::uint8_t>(v);
        text.remove_prefix(i < 3 ? dot + 1 : dot);
    }
    std::memcpy(address, parts, 4);
    return true;
}

std::vector<std::uint8_t> DispatchNetshCommand(NetshOperations& ops, std::string_view raw) {
    // Commands are C text on the wire: whatever follows a NUL is not part of them.
    const std::string_view command = raw.substr(0, raw.find('\0'));
    if (StartsWith(command, "netcheck")) {
        Netcheck(ops, command);
    } else if (StartsWith(command, "resetadapter")) {
        ops.EnableAdapter(true);
        SVC_LOG("%s reset adapter", kTag);
    } else if (StartsWith(command, "ChangeAdapteLevel")) {
        SVC_LOG("%s ChangeAdapteLevel return %d", kTag, ops.ChangeAdapteLevel());
    } else if (StartsWith(command, "GetHardwareID")) {
        std::string id = ops.GetHardwareID();
        if (id.size() > 127) id.resize(127);
        SVC_LOG("%s HardwareInfo %s", kTag, id.c_str());
        return Bytes(std::string(kReplyHardwareIdPrefix) + id);
    } else if (StartsWith(command, "NotSetAutoExec")) {
        ops.NotSetAutoExec();
    } else if (StartsWith(command, "SetAutoExec")) {
        ops.SetAutoExec();
    } else if (StartsWith(command, "SetDnsByNetshCmd")) {
        SetDns(ops, command);
    } else if (StartsWith(command, "SetIP")) {
        return SetIp(ops, command);
    } else if (StartsWith(command, "StartClient")) {
        ops.StartClient();
    } else if (StartsWith(command, "RestartAdapter")) {
        SVC_LOG("%s RestartAdapter", kTag);
        ops.EnableAdapter(false);
        ops.EnableAdapter(true);
        SVC_LOG("%s RestartAdapter ok", kTag);
    } else if (Contains(command, "route")) {
        if (!Route(ops, command)) return Bytes(kReplyRouteFail);
    } else if (Contains(command, "arp -d")) {
        SVC_LOG("%s %s", kTag, "arp -d *");
        ops.FlushNeighbours();
    } else if (Contains(command, "flushdns")) {
        SVC_LOG("%s %s", kTag, "ipconfig /flushdns");
        ops.FlushDns();
    } else if (Contains(command, "netsh int ip")) {
        NetshIntIp(ops, command);
    } else {
        SVC_LOG("%s unknown cmdline %s", kTag, PrintableText(command).c_str());
    }
    return Bytes(kReplyDone);
}

NetshPipeSession::Action NetshPipeSession::OnMessage(const std::uint8_t* data, std::size_t size,
                                                     bool oversized) {
    if (!m_codeAccepted) return OnAccessCode(data, size, oversized);
    if (oversized || size >= kCommandBufferSize) {
        SVC_LOG("%s ReadFile Cmd Failed", kTag);
        return {{}, true};
    }
    return OnCommand(std::string_view(reinterpret_cast<const char*>(data), size));
}

NetshPipeSession::Action NetshPipeSession::OnAccessCode(const std::uint8_t* data, std::size_t size,
                                                        bool oversized) {
    if (oversized || size > kAccessCodeSize) {
        SVC_LOG("%s ReadFile Password Failed", kTag);
        return {{}, true};
    }
    SVC_LOG("%s ReadNum = %d", kTag, static_cast<int>(size));
    std::uint8_t code[kAccessCodeSize];
    FillAccessCode(code);
    unsigned differ = size == kAccessCodeSize ? 0u : 1u;
    for (std::size_t i = 0; i < size; ++i) differ |= static_cast<unsigned>(code[i] ^ data[i]);
    std::memset(code, 0, sizeof(code));
    if (differ != 0) {
        SVC_LOG("%s bad netshsvc simple passwd len %d", kTag, static_cast<int>(size));
        return {{}, true};
    }
    m_codeAccepted = true;
    return {};
}

NetshPipeSession::Action NetshPipeSession::OnCommand(std::string_view command) {
    SVC_LOG("%s ReadLen:%d,Cmd:%s", kTag, static_cast<int>(command.size()), PrintableText(command).c_str());
    if (command.size() < kMinCommandSize) return {{}, true};
    return {DispatchNetshCommand(m_ops, command), true};
}

}  // namespace service
