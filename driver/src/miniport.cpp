#include "miniport.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "diagnostics.h"
#include "filter_core.h"
#include "miniport_global.h"
#include "platform/busy_poll.h"
#include "platform/settings_store.h"
#include "trace.h"

namespace olvane {

namespace {

const NDIS_OID kSupportedOids[] = {OID_GEN_SUPPORTED_LIST,
                                   OID_GEN_HARDWARE_STATUS,
                                   OID_GEN_MEDIA_SUPPORTED,
                                   OID_GEN_MEDIA_IN_USE,
                                   OID_GEN_MAXIMUM_LOOKAHEAD,
                                   OID_GEN_MAXIMUM_FRAME_SIZE,
                                   OID_GEN_LINK_SPEED,
                                   OID_GEN_TRANSMIT_BUFFER_SPACE,
                                   OID_GEN_RECEIVE_BUFFER_SPACE,
                                   OID_GEN_TRANSMIT_BLOCK_SIZE,
                                   OID_GEN_RECEIVE_BLOCK_SIZE,
                                   OID_GEN_VENDOR_ID,
                                   OID_GEN_VENDOR_DESCRIPTION,
                                   OID_GEN_VENDOR_DRIVER_VERSION,
                                   OID_GEN_CURRENT_PACKET_FILTER,
                                   OID_GEN_CURRENT_LOOKAHEAD,
                                   OID_GEN_DRIVER_VERSION,
                                   OID_GEN_MAXIMUM_TOTAL_SIZE,
                                   OID_GEN_PROTOCOL_OPTIONS,
                                   OID_GEN_MAC_OPTIONS,
                                   OID_GEN_MEDIA_CONNECT_STATUS,
                                   OID_GEN_MAXIMUM_SEND_PACKETS,
                                   OID_GEN_XMIT_OK,
                                   OID_GEN_RCV_OK,
                                   OID_GEN_XMIT_ERROR,
                                   OID_GEN_RCV_ERROR,
                                   OID_GEN_RCV_NO_BUFFER,
                                   OID_GEN_RCV_CRC_ERROR,
                                   OID_GEN_TRANSMIT_QUEUE_LENGTH,
                                   OID_802_3_PERMANENT_ADDRESS,
                                   OID_802_3_CURRENT_ADDRESS,
                                   OID_802_3_MULTICAST_LIST,
                                   OID_802_3_MAC_OPTIONS,
                                   OID_802_3_MAXIMUM_LIST_SIZE,
                                   OID_802_3_RCV_ERROR_ALIGNMENT,
                                   OID_802_3_XMIT_ONE_COLLISION,
                                   OID_802_3_XMIT_MORE_COLLISIONS,
                                   OID_802_3_XMIT_DEFERRED,
                                   OID_802_3_XMIT_MAX_COLLISIONS,
                                   OID_802_3_RCV_OVERRUN,
                                   OID_802_3_XMIT_UNDERRUN,
                                   OID_802_3_XMIT_HEARTBEAT_FAILURE,
                                   OID_802_3_XMIT_TIMES_CRS_LOST,
                                   OID_802_3_XMIT_LATE_COLLISIONS,
                                   OID_PNP_CAPABILITIES,
                                   OID_PNP_SET_POWER,
                                   OID_PNP_QUERY_POWER};
static_assert(sizeof(kSupportedOids) == 188);

const char* PowerName(std::uint32_t s) {
    switch (s) {
        case 1: return "NdisDeviceStateD0";
        case 2: return "NdisDeviceStateD1";
        case 3: return "NdisDeviceStateD2";
        case 4: return "NdisDeviceStateD3";
        default: return "Unknown";
    }
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

NDIS_STATUS ReadNumber(platform::SettingsStore& store, const std::string& key, const char* name,
                       std::uint32_t* out) {
    DWORD value = 0;
    if (store.GetDword(key, name, &value) == platform::kRegOk) {
        *out = value;
        return NDIS_STATUS_SUCCESS;
    }
    std::string text;
    if (store.GetString(key, name, &text) != platform::kRegOk) return NDIS_STATUS_FILE_NOT_FOUND;
    if (text.empty() || text.size() > 10) return NDIS_STATUS_INVALID_DATA;
    std::uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return NDIS_STATUS_INVALID_DATA;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    if (v > 0xFFFFFFFFu) return NDIS_STATUS_INVALID_DATA;
    *out = static_cast<std::uint32_t>(v);
    return NDIS_STATUS_SUCCESS;
}

}  // namespace

bool ParseMacAddress(const std::string& text, int instance, std::uint8_t mac[6]) {
    if (text.size() != 12 || instance < 0 || instance > 15) return false;
    for (int i = 0; i < 6; ++i) {
        int v[2];
        for (int j = 0; j < 2; ++j) {
            char c = text[static_cast<std::size_t>(i * 2 + j)];
            v[j] = c == '*' ? instance : HexDigit(c);
            if (v[j] < 0) return false;
        }
        mac[i] = static_cast<std::uint8_t>(v[0] * 16 + v[1]);
    }
    return true;
}

NDIS_STATUS ReadAdapterConfiguration(platform::SettingsStore& store, const std::string& key, int instance,
                                     VirtualAdapterConfig* c) {
    if (store.GetString(key, "vendorDescription", &c->vendorDescription) != platform::kRegOk) {
        return NDIS_STATUS_FILE_NOT_FOUND;
    }
    std::string mac;
    if (store.GetString(key, "macAddress", &mac) != platform::kRegOk) return NDIS_STATUS_FILE_NOT_FOUND;
    if (!ParseMacAddress(mac, instance, c->mac)) return NDIS_STATUS_INVALID_DATA;
    struct {
        const char* name;
        std::uint32_t* field;
    } numbers[] = {{"linkSpeed", &c->linkSpeed},
                   {"transmitBufferSize", &c->transmitBufferSize},
                   {"receiveBufferSize", &c->receiveBufferSize},
                   {"transmitBlockSize", &c->transmitBlockSize},
                   {"receiveBlockSize", &c->receiveBlockSize},
                   {"selfLoopback", &c->selfLoopback},
                   {"maximumFrameSize", &c->maximumFrameSize}};
    for (auto& n : numbers) {
        NDIS_STATUS st = ReadNumber(store, key, n.name, n.field);
        if (st != NDIS_STATUS_SUCCESS) return st;
    }
    if (c->maximumFrameSize < 68 || c->maximumFrameSize > 1500) return NDIS_STATUS_INVALID_DATA;
    if (store.GetString(key + "\\Linkage", "Export", &c->exportName) != platform::kRegOk ||
        c->exportName.empty()) {
        return NDIS_STATUS_FILE_NOT_FOUND;
    }
    store.GetString(key, "NetCfgInstanceId", &c->netCfgInstanceId);
    return NDIS_STATUS_SUCCESS;
}

TwVirtualAdapter::TwVirtualAdapter(int instance, const VirtualAdapterConfig& config,
                                   std::unique_ptr<TwNicBackend> nic)
    : m_instance(instance), m_config(config), m_nic(std::move(nic)) {
    std::memcpy(m_currentAddress, config.mac, 6);
    std::memcpy(m_permanentAddress, config.mac, 6);
    m_stopFd.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
}

TwVirtualAdapter::~TwVirtualAdapter() {
    StopSendPath();
    m_stopFd.Reset();
}

bool TwVirtualAdapter::NumberOf(NDIS_OID oid, std::uint32_t* value) const {
    switch (oid) {
        case OID_GEN_HARDWARE_STATUS: *value = 0; return true;
        case OID_GEN_MEDIA_SUPPORTED:
        case OID_GEN_MEDIA_IN_USE: *value = NdisMedium802_3; return true;
        case OID_GEN_MAXIMUM_LOOKAHEAD:
        case OID_GEN_MAXIMUM_FRAME_SIZE: *value = m_config.maximumFrameSize; return true;
        case OID_GEN_LINK_SPEED: *value = m_config.linkSpeed; return true;
        case OID_GEN_TRANSMIT_BUFFER_SPACE: *value = m_config.transmitBufferSize; return true;
        case OID_GEN_RECEIVE_BUFFER_SPACE: *value = m_config.receiveBufferSize; return true;
        case OID_GEN_TRANSMIT_BLOCK_SIZE: *value = m_config.transmitBlockSize; return true;
        case OID_GEN_RECEIVE_BLOCK_SIZE: *value = m_config.receiveBlockSize; return true;
        case OID_GEN_VENDOR_ID: *value = 0xFFFFFF; return true;
        case OID_GEN_CURRENT_PACKET_FILTER: *value = m_packetFilter; return true;
        case OID_GEN_CURRENT_LOOKAHEAD: *value = m_lookahead; return true;
        case OID_GEN_MAXIMUM_TOTAL_SIZE: *value = m_config.maximumFrameSize + 14; return true;
        case OID_GEN_MAC_OPTIONS: *value = 0x0D; return true;
        case OID_GEN_MEDIA_CONNECT_STATUS:
            *value = (m_flags.load() & kFlagMediaDisconnected) ? 1 : 0;
            return true;
        case OID_GEN_MAXIMUM_SEND_PACKETS: *value = 5; return true;
        case OID_GEN_VENDOR_DRIVER_VERSION: *value = 0x10000; return true;
        case OID_GEN_XMIT_ERROR: *value = m_errors[0] + m_errors[1] + m_errors[2] + m_errors[3]; return true;
        case OID_GEN_RCV_ERROR: *value = m_errors[4] + m_errors[5] + m_errors[6] + m_errors[7]; return true;
        case OID_GEN_RCV_NO_BUFFER: *value = m_errors[6]; return true;
        case OID_GEN_RCV_CRC_ERROR: *value = m_errors[7]; return true;
        case OID_GEN_TRANSMIT_QUEUE_LENGTH: *value = 32; return true;
        case OID_802_3_MAXIMUM_LIST_SIZE: *value = 32; return true;
        case OID_802_3_MAC_OPTIONS:
        case OID_802_3_RCV_ERROR_ALIGNMENT:
        case OID_802_3_XMIT_ONE_COLLISION:
        case OID_802_3_XMIT_MORE_COLLISIONS:
        case OID_802_3_XMIT_DEFERRED:
        case OID_802_3_XMIT_MAX_COLLISIONS:
        case OID_802_3_RCV_OVERRUN:
        case OID_802_3_XMIT_UNDERRUN:
        case OID_802_3_XMIT_HEARTBEAT_FAILURE:
        case OID_802_3_XMIT_TIMES_CRS_LOST:
        case OID_802_3_XMIT_LATE_COLLISIONS: *value = 0; return true;
        default: return false;
    }
}

NDIS_STATUS TwVirtualAdapter::QueryInformation(NDIS_OID oid, void* buffer, std::uint32_t length,
                                               std::uint32_t* written, std::uint32_t* needed) {
    std::uint32_t u32 = 0;
    std::uint64_t u64 = 0;
    std::uint16_t u16 = 0;
    const void* src = &u32;
    std::uint32_t size = 4;
    std::uint8_t pnp[16] = {};
    std::lock_guard<std::mutex> lock(m_lock);
    switch (oid) {
        case OID_GEN_SUPPORTED_LIST:
            src = kSupportedOids;
            size = sizeof(kSupportedOids);
            break;
        case OID_GEN_VENDOR_DESCRIPTION:
            src = m_config.vendorDescription.c_str();
            size = static_cast<std::uint32_t>(m_config.vendorDescription.size() + 1);
            break;
        case OID_GEN_DRIVER_VERSION:
            u16 = 0x0501;
            src = &u16;
            size = 2;
            break;
        case OID_GEN_XMIT_OK:
        case OID_GEN_RCV_OK:
            u64 = oid == OID_GEN_XMIT_OK ? m_xmitOk.load() : m_rcvOk.load();
            src = &u64;
            size = (length == 0 || length >= 8) ? 8 : 4;
            break;
        case OID_802_3_PERMANENT_ADDRESS:
            src = m_permanentAddress;
            size = 6;
            break;
        case OID_802_3_CURRENT_ADDRESS:
            src = m_currentAddress;
            size = 6;
            break;
        case OID_PNP_CAPABILITIES:
            DbgPrint("OID_PNP_CAPABILITIES\n");
            if (length < sizeof(pnp)) {
                DbgPrint("OID_PNP_CAPABILITIES: Invalid size=%u expected=%zu\n", length, sizeof(pnp));
            } else {
                DbgPrint("OID_PNP_CAPABILITIES: PnpCapabilities.Flags %x\n", 0u);
            }
            src = pnp;
            size = sizeof(pnp);
            break;
        case OID_PNP_QUERY_POWER:
            if (length < 4) {
                DbgPrint(
                    "OID_PNP_QUERY_POWER: InformationBufferLength %u < sizeof(NDIS_DEVICE_POWER_STATE)\n",
                    length);
                return NDIS_STATUS_INVALID_LENGTH;
            }
            {
                std::uint32_t to;
                std::memcpy(&to, buffer, 4);
                DbgPrint("OID_PNP_QUERY_POWER PowerState (%u %s) => (%u %s)\n", m_powerState,
                         PowerName(m_powerState), to, PowerName(to));
            }
            *written = 0;
            return NDIS_STATUS_SUCCESS;
        default:
            if (!NumberOf(oid, &u32)) return NDIS_STATUS_NOT_SUPPORTED;
            break;
    }
    if (length < size || buffer == nullptr) {
        *needed = size;
        *written = 0;
        return NDIS_STATUS_BUFFER_TOO_SHORT;
    }
    std::memcpy(buffer, src, size);
    *written = size;
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS TwVirtualAdapter::SetInformation(NDIS_OID oid, const void* buffer, std::uint32_t length,
                                             std::uint32_t* read, std::uint32_t* needed) {
    *read = 0;
    *needed = 0;
    std::uint32_t value = 0;
    switch (oid) {
        case OID_GEN_CURRENT_PACKET_FILTER:
        case OID_GEN_CURRENT_LOOKAHEAD: {
            if (length != 4 || buffer == nullptr) {
                *needed = 4;
                return NDIS_STATUS_INVALID_LENGTH;
            }
            std::memcpy(&value, buffer, 4);
            std::lock_guard<std::mutex> lock(m_lock);
            if (oid == OID_GEN_CURRENT_PACKET_FILTER) {
                if (value & ~0x2Fu) return NDIS_STATUS_NOT_SUPPORTED;
                m_packetFilter = value;
            } else {
                m_lookahead = value;
            }
            *read = 4;
            return NDIS_STATUS_SUCCESS;
        }
        case OID_GEN_MEDIA_CONNECT_STATUS: return SetMediaConnect(buffer, length, read, needed);
        case OID_802_3_MULTICAST_LIST: {
            if (length % 6 != 0) return NDIS_STATUS_INVALID_LENGTH;
            if (length > sizeof(m_multicast)) {
                *needed = sizeof(m_multicast);
                return NDIS_STATUS_MULTICAST_FULL;
            }
            std::lock_guard<std::mutex> lock(m_lock);
            if (length > 0) std::memcpy(m_multicast, buffer, length);
            m_multicastCount = length / 6;
            *read = length;
            return NDIS_STATUS_SUCCESS;
        }
        case OID_PNP_SET_POWER: return SetPower(buffer, length, read, needed);
        default: return NDIS_STATUS_INVALID_OID;
    }
}

NDIS_STATUS TwVirtualAdapter::SetMediaConnect(const void* buffer, std::uint32_t length, std::uint32_t* read,
                                              std::uint32_t* needed) {
    DbgPrint("MPSetInformation: OID_GEN_MEDIA_CONNECT_STATUS\n");
    if (length < 4 || buffer == nullptr) {
        DbgPrint("NDIS_STATUS_INVALID_LENGTH\n");
        *needed = 4;
        return NDIS_STATUS_INVALID_LENGTH;
    }
    std::uint32_t value;
    std::memcpy(&value, buffer, 4);
    const bool connect = value == 0;
    // State, carrier and indication under one lock: two callers at once leave the link as the
    // last of them asked, and their indications are queued in that order.
    std::lock_guard<std::mutex> lock(m_lock);
    m_mediaState = value;
    if (connect) {
        m_flags.fetch_and(~kFlagMediaDisconnected);
    } else {
        m_flags.fetch_or(kFlagMediaDisconnected);
    }
    if (m_nic) m_nic->SetCarrier(connect);
    *read = 4;
    if (m_indicate) m_indicate(this, connect ? NDIS_STATUS_MEDIA_CONNECT : NDIS_STATUS_MEDIA_DISCONNECT);
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS TwVirtualAdapter::SetPower(const void* buffer, std::uint32_t length, std::uint32_t* read,
                                       std::uint32_t* needed) {
    if (length < 4 || buffer == nullptr) {
        DbgPrint("OID_PNP_SET_POWER: InformationBufferLength %u < sizeof(NDIS_DEVICE_POWER_STATE)\n", length);
        *needed = 4;
        return NDIS_STATUS_INVALID_LENGTH;
    }
    std::uint32_t to;
    std::memcpy(&to, buffer, 4);
    std::uint32_t from;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        from = m_powerState;
        m_powerState = to;
    }
    DbgPrint("OID_PNP_SET_POWER PowerState (%u %s) => (%u %s)\n", from, PowerName(from), to, PowerName(to));
    if (from > 1 && to == 1) {
        DbgPrint("Resume from hibernate ...\n");
        NdisHookApi* hooks = MiniportHooks();
        if (hooks != nullptr && (hooks->m_Flags & 1) && hooks->QelMiniTryStartProtocol != nullptr) {
            DbgPrint("Resume from hibernate, TryBindAdaptersList...\n");
            hooks->QelMiniTryStartProtocol();
        }
    } else if (from == 1 && to > 1) {
        DbgPrint("Go to hibernate ...\n");
    } else {
        DbgPrint("Power state transission ...\n");
    }
    *read = 4;
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS TwVirtualAdapter::Reset() {
    std::uint32_t old = m_flags.fetch_or(kFlagResetInProgress);
    if (old & kFlagResetInProgress) return NDIS_STATUS_RESET_IN_PROGRESS;
    m_flags.fetch_and(~kFlagResetInProgress);
    return NDIS_STATUS_SUCCESS;
}

void TwVirtualAdapter::PnPEventNotify(bool surpriseRemoval) {
    if (surpriseRemoval) m_flags.fetch_or(kFlagSurpriseRemoved);
}

NDIS_STATUS TwVirtualAdapter::SendFrame(const std::uint8_t* frame, std::uint32_t length) {
    // Bits 0-2: resetting, disconnected or halting; such a send completes with nothing sent.
    if ((m_flags.load() & (kFlagResetInProgress | kFlagHalting)) != 0 || !AdapterListed(this)) {
        return NDIS_STATUS_SUCCESS;
    }
    m_xmitOk.fetch_add(1);
    return OutgoingStep(frame, length);
}

NDIS_STATUS TwVirtualAdapter::OutgoingStep(const std::uint8_t* frame, std::uint32_t length) {
    AdapterEntry* entry = m_FilterAdapter.load();
    NdisHookApi* hooks = MiniportHooks();
    if (entry == nullptr || !entry->m_bValid.load() || hooks == nullptr || (hooks->m_Flags & 1) == 0 ||
        hooks->Filter_FilterSendPacket == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    TwPacket* p = Filter_AllocatePacketp(entry, __FILE__, __LINE__);
    if (p == nullptr) return NDIS_STATUS_RESOURCES;
    std::uint32_t total = 0;
    CopyFrame(frame, length, p, TW_MAX_FRAME, &total);
    p->m_Adapter = entry;
    p->m_Direction = PACKET_DIRECTION_OUTGOING;
    p->m_Frame = p->m_Data;
    p->m_PacketFlags = 0;
    p->m_Dirty = false;
    p->m_DataLength = p->m_BytesHeld;
    ParseHeaders(p);
    CountTestPacket(p, 1);
    Filter_TransferPacketData(p);
    Filter_IndicatePacketToApplication(p, 0, 0);
    Filter_ReleasePacketp(p, __FILE__, __LINE__);
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS TwVirtualAdapter::IndicateReceive(TwPacket* p) {
    if (p->m_DataLength == 0 || p->m_DataLength > TW_MAX_FRAME) {
        Filter_ReleasePacketp(p, __FILE__, __LINE__);
        return NDIS_STATUS_BUFFER_OVERFLOW;
    }
    const std::uint8_t* frame = p->m_Frame != nullptr ? p->m_Frame : p->m_Data;
    if (frame + p->m_DataLength > p->m_Data + kPacketDataSize) {
        Filter_ReleasePacketp(p, __FILE__, __LINE__);
        return NDIS_STATUS_BUFFER_OVERFLOW;
    }
    m_rcvOk.fetch_add(1);
    NDIS_STATUS st = NDIS_STATUS_SUCCESS;
    // The ring thread has more frames in hand until the ring runs dry (it flushes then): what it
    // indicates may wait to be merged with them.
    if ((m_flags.load() & kFlagHalting) == 0 && m_nic &&
        !(NdisFilter_OnRingThread() ? m_nic->WriteHeld(frame, p->m_DataLength)
                                    : m_nic->Write(frame, p->m_DataLength))) {
        st = NDIS_STATUS_RESOURCES;
    }
    Filter_ReleasePacketp(p, __FILE__, __LINE__);
    return st;
}

void TwVirtualAdapter::StartSendPath(std::function<void(TwVirtualAdapter*)> removed) {
    if (!m_nic || m_nic->Fd() < 0 || m_sendThread.joinable()) return;
    m_removed = std::move(removed);
    m_sendThread = std::thread([this] { SendPathLoop(); });
}

void TwVirtualAdapter::StopSendPath() {
    if (!m_sendThread.joinable()) return;
    std::uint64_t one = 1;
    (void)!::write(m_stopFd.Get(), &one, sizeof(one));
    if (m_sendThread.get_id() != std::this_thread::get_id()) m_sendThread.join();
}

bool TwVirtualAdapter::WaitForRingRoom() {
    NdisFilter_CountOutputWait();
    // The ring has no doorbell for room, so the wait is timed: short at first (the reader is
    // usually just descheduled), longer while it stays behind, never past a stop request.
    pollfd stop = {m_stopFd.Get(), POLLIN, 0};
    long waitNs = 20000;
    while (!NdisFilter_OutputRingHasRoom()) {
        const timespec ts{0, waitNs};
        if (::ppoll(&stop, 1, &ts, nullptr) > 0) return false;
        waitNs = std::min(waitNs * 2, 1000000L);
    }
    return true;
}

void TwVirtualAdapter::SendPathLoop() {
    std::vector<std::uint8_t> buffer(65536);
    pollfd fds[2] = {{m_nic->Fd(), POLLIN, 0}, {m_stopFd.Get(), POLLIN, 0}};
    platform::BurstHint burst;
    for (;;) {
        // Frames left of a read cut into many are read on without waiting for the device.
        const bool pending = m_nic->ReadPending();
        int n = ::poll(fds, 2, pending ? 0 : -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents != 0) break;
        if (fds[0].revents == 0 && !pending) continue;
        // Drain what is queued (bounded, so a stop request is seen soon) before polling again.
        for (int i = 0; i < 64; ++i) {
            if (!NdisFilter_OutputRingHasRoom()) {
                // The client's reader is behind: what stays in the TAP's queue waits there (the
                // kernel pushes back on the sender) instead of being read only to be dropped.
                if (!WaitForRingRoom()) return;
                continue;
            }
            ssize_t got = m_nic->Read(buffer.data(), buffer.size());
            if (got < 0) {
                if (errno == EAGAIN || errno == EINTR) break;
                // The link is gone (deleted underneath us): a surprise removal.
                DbgPrint("QelMini: %s removed, read error %d\n", m_nic->IfName().c_str(), errno);
                PnPEventNotify(true);
                if (m_removed) m_removed(this);
                return;
            }
            if (got > 0) {
                SendFrame(buffer.data(), static_cast<std::uint32_t>(got));
                if (!burst.TookFrame() && !m_nic->ReadPending()) break;
            }
        }
    }
}

}  // namespace olvane
