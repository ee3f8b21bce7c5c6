#include "diagnostics.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "adapter_entry.h"
#include "filter_core.h"
#include "trace.h"

namespace olvane {

namespace {

void Dotted(const std::uint8_t* a, char out[16]) {
    std::snprintf(out, 16, "%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
}
void DottedWord(std::uint32_t a, char out[16]) {
    std::uint8_t b[4];
    std::memcpy(b, &a, 4);
    Dotted(b, out);
}

void HexLines(const std::uint8_t* data, std::uint32_t length) {
    for (std::uint32_t off = 0; off < length; off += 16) {
        char line[96];
        int n = std::snprintf(line, sizeof(line), "%04X ", off);
        const std::uint32_t count = length - off < 16 ? length - off : 16;
        for (std::uint32_t i = 0; i < count; ++i)
            n += std::snprintf(line + n, sizeof(line) - static_cast<std::size_t>(n), "%02X ", data[off + i]);
        for (std::uint32_t i = 0; i < count && n < static_cast<int>(sizeof(line)) - 1; ++i) {
            const unsigned char c = data[off + i];
            line[n++] = std::isprint(c) ? static_cast<char>(c) : '.';
        }
        line[n] = '\0';
        DbgPrint("  \t%s\n", line);
    }
}

void DecodeArp(const std::uint8_t* a) {
    char sha[18], tha[18], spa[16], tpa[16];
    MacToText(a + 8, sha);
    MacToText(a + 18, tha);
    Dotted(a + 14, spa);
    Dotted(a + 24, tpa);
    DbgPrint(" - arp_hrd = %d\n", Be16(a));
    DbgPrint(" - arp_pro = %d\n", Be16(a + 2));
    DbgPrint(" - arp_hln = %d\n", a[4]);
    DbgPrint(" - arp_pln = %d\n", a[5]);
    DbgPrint(" - arp_op  = %s\n", Be16(a + 6) == 1 ? "ARPOP_REQUEST" : "ARPOP_REPLY");
    DbgPrint(" - arp_sha = %s\n", sha);
    DbgPrint(" - arp_spa = %s\n", spa);
    DbgPrint(" - arp_tha = %s\n", tha);
    DbgPrint(" - arp_tpa = %s\n", tpa);
}

void DecodeIp(const TwPacket* p) {
    const std::uint8_t* ip = p->m_Ip;
    char src[16], dst[16];
    Dotted(ip + 12, src);
    Dotted(ip + 16, dst);
    const std::uint16_t frag = Be16(ip + 6);
    const char* proto = ip[9] == 6 ? "TCP" : ip[9] == 17 ? "UDP" : ip[9] == 1 ? "ICMP" : "Other";
    const bool fragment = (frag & 0x3FFF) != 0;
    DbgPrint(" - SrcIP %s, DstIP %s, PacketId 0x%x, Proto: %s DF:%c MF:%c FO:%d %s\n", src, dst, Be16(ip + 4),
             proto, (frag & 0x4000) ? 'T' : 'F', (frag & 0x2000) ? 'T' : 'F', (frag & 0x1FFF) * 8,
             fragment ? "IP Fragment" : "");
    if (fragment) return;
    if (p->m_Tcp != nullptr) {
        DbgPrint(" - TCP SrcPort %d, DstPort %d\n", Be16(p->m_Tcp), Be16(p->m_Tcp + 2));
    } else if (p->m_Udp != nullptr) {
        DbgPrint(" - UDP SrcPort %d, DstPort %d\n", Be16(p->m_Udp), Be16(p->m_Udp + 2));
    } else if (p->m_Icmp != nullptr) {
        DbgPrint(" - ICMP ID %d, Sequence %d\n", Be16(p->m_Icmp + 4), Be16(p->m_Icmp + 6));
    } else {
        DbgPrint(" - Other protocl %d\n", ip[9]);
    }
}

void Decode(const TwPacket* p, const std::uint8_t* frame, std::uint32_t length) {
    if (length < 14) return;
    char src[18], dst[18];
    MacToText(frame + 6, src);
    MacToText(frame, dst);
    const std::uint16_t type = Be16(frame + 12);
    const char* name = type == 0x0800 ? "/IP" : type == 0x0806 ? "/ARP" : type == 0x8035 ? "/RARP" : "";
    DbgPrint(" - SrcMac %s, DstMAC %s, Proto 0x%x%s\n", src, dst, type, name);
    if (p->m_Arp != nullptr) DecodeArp(p->m_Arp);
    if (p->m_Ip != nullptr) DecodeIp(p);
}

}  // namespace

void DumpPacketAlways(const char* label, const TwPacket* p) {
    if (p == nullptr) return;
    const std::uint8_t* frame = p->m_Frame != nullptr ? p->m_Frame : p->m_Data;
    std::uint32_t length = p->m_DataLength;
    const std::uint32_t room = static_cast<std::uint32_t>(p->m_Data + kPacketDataSize - frame);
    if (length > room) length = room;
    DbgPrint("%s, Size = %u - 0x%x\n", label, length, length);
    HexLines(frame, length);
    DbgPrint(" - pPacket 0x%p, hAdapter 0x%p, Size %u\n", static_cast<const void*>(p),
             static_cast<void*>(p->m_Adapter), length);
    Decode(p, frame, length);
}

void Filter_DumpPacket(const char* label, const TwPacket* p) {
    if (p == nullptr || p->m_Adapter == nullptr || p->m_Adapter->m_bDumpPacket.load() == 0) return;
    DumpPacketAlways(label, p);
}

void DumpLeakedPacket(const TwPacket* p) {
    DbgPrint("%s allocated from line %d file %s\n", "*** Leaked Packet", p->m_Line,
             p->m_File != nullptr ? p->m_File : "");
    DbgPrint(" - pPacket 0x%p, hAdapter 0x%p, Orginal Adapter 0x%p, Size %u\n", static_cast<const void*>(p),
             static_cast<void*>(p->m_Adapter), static_cast<void*>(p->m_AllocAdapter), p->m_DataLength);
    DumpPacketAlways("*** Leaked Packet", p);
}

void DumpAdapterEntry(const AdapterEntry* e) {
    char cur[18], perm[18], pppS[18], pppD[18], a[16], b[16], c[16];
    MacToText(e->m_CurrentAddress, cur);
    MacToText(e->m_PermanentAddress, perm);
    MacToText(e->m_PPPSrcMacAddress, pppS);
    MacToText(e->m_PPPDstMacAddress, pppD);
    auto yn = [](bool v) { return v ? "Yes" : "No"; };
    DbgPrint("  - AdapterEntry = 0x%p\n", static_cast<const void*>(e));
    DbgPrint("    m_Tag = 0x%x\n", e->m_Tag);
    DbgPrint("    m_CurrentAddress = %s\n", cur);
    DbgPrint("    m_PermanentAddress = %s\n", perm);
    DbgPrint("    m_usMTU = %u\n", e->m_usMTU);
    DbgPrint("    m_Medium = %u\n", e->m_Medium);
    DbgPrint("    m_MediaState = %u\n", e->m_MediaState.load());
    DbgPrint("    m_bSupportTaskOffload = %s\n", yn(e->m_bSupportTaskOffload));
    DbgPrint("    m_bIsNdisWanIp = %s\n", yn(e->m_bIsNdisWanIp));
    DbgPrint("    m_PPPSrcMacAddress = %s\n", pppS);
    DbgPrint("    m_PPPDstMacAddress = %s\n", pppD);
    DbgPrint("    m_AdapterName = %s\n", e->m_AdapterName.c_str());
    DbgPrint("    m_pDeviceName = %s\n", e->m_pDeviceName.c_str());
    DbgPrint("    m_hNdisUpperEdgeEthrLog = 0x0\n");
    DbgPrint("    m_hNdisLowerEdgeEthrLog = 0x0\n");
    DbgPrint("    m_hNdisInjectedPacketEthrLog = 0x0\n");
    DbgPrint("    m_bDumpPacket = %s\n", yn(e->m_bDumpPacket.load() != 0));
    DbgPrint("    m_bFilterInitialized = %s\n", yn(e->m_bFilterInitialized));
    for (int i = 0; i < 3; ++i) DbgPrint("    m_pContext[%d] = 0x%p\n", i, e->m_pContext[i]);
    const TW_IPCONFIG& ip = e->m_IPConfig.config;
    DbgPrint("    m_IPConfig.m_nIP = %u\n", ip.m_nIP);
    for (std::uint32_t i = 0; i < ip.m_nIP && i < TW_IPCONFIG_MAX; ++i) {
        DottedWord(ip.m_IP[i].IpAddress, a);
        DottedWord(ip.m_IP[i].Netmask, b);
        DottedWord(ip.m_IP[i].Broadcast, c);
        DbgPrint("    IpAddress[%u] = %s, Netmask = %s, Broadcast = %s\n", i, a, b, c);
    }
    DbgPrint("    m_IPConfig.m_nGW = %u, m_nDHCP = %u, m_nDNS = %u\n", ip.m_nGW, ip.m_nDHCP, ip.m_nDNS);
    DottedWord(ip.WinsServer1, a);
    DottedWord(ip.WinsServer2, b);
    DbgPrint("    WinsServer1 = %s, WinsServer2 = %s\n", a, b);
    DbgPrint("    m_pProto = 0x%p\n", static_cast<void*>(e->m_pProto));
    DbgPrint("    m_bValid = %s, m_bInitialized = %s\n", yn(e->m_bValid.load()), yn(e->m_bInitialized));
    DbgPrint(
        "    m_bCurrentAddressCompleted = %s, m_bPermanentAddressCompleted = %s, "
        "m_bMaximumTransferUnitCompleted = %s\n",
        yn(e->m_bCurrentAddressCompleted), yn(e->m_bPermanentAddressCompleted),
        yn(e->m_bMaximumTransferUnitCompleted));
    DbgPrint("    m_pRootDeviceName = %s\n", e->m_pRootDeviceName.c_str());
    DbgPrint("    m_GeneralStatus = 0x%x\n", e->m_GeneralStatus.load());
}

void DumpFilterExtension() {
    TwFilterExtension* ext = FilterExtension();
    if (ext == nullptr) return;
    DbgPrint("====> Dump NdisFilter Device Extension ====\n");
    DbgPrint("- BuildTime = %s %s\n", __DATE__, __TIME__);
    DbgPrint("- Type = NdisFilterDeviceExtension\n");
    DbgPrint("- m_FileObject = 0x%llx\n", static_cast<unsigned long long>(ext->m_FileObject.load()));
    const std::shared_ptr<TwSharedRing> ring = ext->Ring();
    DbgPrint("- m_pMappedMemory = 0x%p\n", ring ? static_cast<void*>(ring->Mapped()) : nullptr);
    DbgPrint("- m_bStopShare = %d\n", ext->m_bStopShare.load() ? 1 : 0);
    DbgPrint("- m_pPendingReadIrp = 0x0\n");
    if (ring) {
        RingCounters& c = ring->Counters();
        DbgPrint("- KernelModeOutput m_iWrite = %d, written %llu, full %llu, bad index %llu, waits %llu\n",
                 ring->OutputWriteIndex(), static_cast<unsigned long long>(c.outputWritten.load()),
                 static_cast<unsigned long long>(c.outputFull.load()),
                 static_cast<unsigned long long>(c.outputBadIndex.load()),
                 static_cast<unsigned long long>(c.outputWaits.load()));
        DbgPrint(
            "- KernelModeInput m_iRead = %d, read %llu, bad index %llu, oversize %llu, unknown adapter "
            "%llu\n",
            ring->InputReadIndex(), static_cast<unsigned long long>(c.inputRead.load()),
            static_cast<unsigned long long>(c.inputBadIndex.load()),
            static_cast<unsigned long long>(c.inputOversize.load()),
            static_cast<unsigned long long>(c.inputUnknownAdapter.load()));
    }
    DbgPrint("- m_nNdisHelperWorkThread = %d\n", ext->m_nNdisHelperWorkThread.load());
    std::lock_guard<std::recursive_mutex> lock(ext->m_AdapterListLock);
    DbgPrint("- m_nAdapterCount = %u\n", ext->m_AdapterList.count);
    for (std::uint32_t i = 0; i < ext->m_AdapterList.count && i < TW_MAX_BOUND_ADAPTERS; ++i) {
        const TwBoundAdapterRecord& r = ext->m_AdapterList.entries[i];
        char cur[18], perm[18];
        MacToText(r.data.currentAddress, cur);
        MacToText(r.data.permanentAddress, perm);
        DbgPrint("  - hAdapter 0x%llx, Medium %u, MTU %u, Current %s, Permanent %s, Name %.255s\n",
                 static_cast<unsigned long long>(r.hAdapter), r.data.medium, r.data.mtu, cur, perm,
                 r.data.name);
    }
    DbgPrint("- m_EventHandlerList count = %zu\n", ext->m_EventHandlerList.size());
    DbgPrint("- m_InjectedPacketCount = %u, InjectPacketMax = %u\n", ext->m_InjectedCount.load(),
             ext->InjectPacketMax.load());
}

}  // namespace olvane
