// The virtual Ethernet miniport: one virtual adapter per configured instance, over a NIC
// backend (the TAP device). Configuration comes from the adapter's key in the settings store,
// information requests (OIDs) are answered from the adapter's data, media state is the
// backend's carrier. The send path (stack -> ring) runs on the adapter's own thread; the
// receive path (ring -> stack) writes to the backend from the caller's thread.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "adapter_entry.h"
#include "ndis_shim.h"
#include "nic_backend.h"
#include "platform/unique_fd.h"

namespace platform {
class SettingsStore;
}

namespace olvane {

struct VirtualAdapterConfig {
    std::string vendorDescription;
    std::uint8_t mac[6] = {};
    std::uint32_t linkSpeed = 0;
    std::uint32_t transmitBufferSize = 0;
    std::uint32_t receiveBufferSize = 0;
    std::uint32_t transmitBlockSize = 0;
    std::uint32_t receiveBlockSize = 0;
    std::uint32_t selfLoopback = 0;
    std::uint32_t maximumFrameSize = 0;
    std::string exportName;        // Linkage\Export: the device name the protocol opens
    std::string netCfgInstanceId;  // optional
};

// Reads the adapter's configuration from `keyPath`: every value is required, the first one
// missing or malformed fails with NDIS_STATUS_FILE_NOT_FOUND / NDIS_STATUS_INVALID_DATA.
NDIS_STATUS ReadAdapterConfiguration(platform::SettingsStore& store, const std::string& keyPath, int instance,
                                     VirtualAdapterConfig* config);
// "00FFFFFF000*" with `*` = instance number (one hexadecimal digit) -> 6 bytes.
bool ParseMacAddress(const std::string& text, int instance, std::uint8_t mac[6]);

// Adapter flags.
constexpr std::uint32_t kFlagResetInProgress = 0x1;
constexpr std::uint32_t kFlagMediaDisconnected = 0x2;
constexpr std::uint32_t kFlagHalting = 0x4;
constexpr std::uint32_t kFlagSurpriseRemoved = 0x8;

class TwVirtualAdapter {
public:
    TwVirtualAdapter(int instance, const VirtualAdapterConfig& config, std::unique_ptr<TwNicBackend> nic);
    ~TwVirtualAdapter();
    TwVirtualAdapter(const TwVirtualAdapter&) = delete;
    TwVirtualAdapter& operator=(const TwVirtualAdapter&) = delete;

    // MPQueryInformation / MPSetInformation.
    NDIS_STATUS QueryInformation(NDIS_OID oid, void* buffer, std::uint32_t length, std::uint32_t* written,
                                 std::uint32_t* needed);
    NDIS_STATUS SetInformation(NDIS_OID oid, const void* buffer, std::uint32_t length, std::uint32_t* read,
                               std::uint32_t* needed);
    NDIS_STATUS Reset();
    void PnPEventNotify(bool surpriseRemoval);

    // One frame the stack sent (MPSendPackets for one packet). Returns the send status.
    NDIS_STATUS SendFrame(const std::uint8_t* frame, std::uint32_t length);
    // Receive path: indicates the packet's frame up the stack and releases the packet.
    NDIS_STATUS IndicateReceive(TwPacket* packet);

    // The send-path thread reading the backend. `removed` runs (on that thread) when the
    // backend reports the link gone.
    void StartSendPath(std::function<void(TwVirtualAdapter*)> removed);
    void StopSendPath();

    // Media status indications (NDIS_STATUS_MEDIA_CONNECT / _DISCONNECT) go here.
    void SetStatusIndication(std::function<void(TwVirtualAdapter*, NDIS_STATUS)> indicate) {
        m_indicate = std::move(indicate);
    }

    int Instance() const { return m_instance; }
    const VirtualAdapterConfig& Config() const { return m_config; }
    std::uint32_t Flags() const { return m_flags.load(); }
    void SetFlag(std::uint32_t bit) { m_flags.fetch_or(bit); }
    TwNicBackend* Nic() const { return m_nic.get(); }
    std::atomic<AdapterEntry*> m_FilterAdapter{nullptr};
    std::uint64_t XmitOk() const { return m_xmitOk.load(); }

private:
    // The value of an OID answered with a 32-bit number (under m_lock); false for any other OID.
    bool NumberOf(NDIS_OID oid, std::uint32_t* value) const;
    void SendPathLoop();
    // Waits until the output ring has room again; false on a stop request.
    bool WaitForRingRoom();
    NDIS_STATUS OutgoingStep(const std::uint8_t* frame, std::uint32_t length);
    NDIS_STATUS SetMediaConnect(const void* buffer, std::uint32_t length, std::uint32_t* read,
                                std::uint32_t* needed);
    NDIS_STATUS SetPower(const void* buffer, std::uint32_t length, std::uint32_t* read,
                         std::uint32_t* needed);

    int m_instance;
    VirtualAdapterConfig m_config;
    std::unique_ptr<TwNicBackend> m_nic;
    std::atomic<std::uint32_t> m_flags{kFlagMediaDisconnected};
    std::uint8_t m_currentAddress[6];
    std::uint8_t m_permanentAddress[6];
    std::atomic<std::uint64_t> m_xmitOk{0};
    std::atomic<std::uint64_t> m_rcvOk{0};
    std::uint32_t m_errors[8] = {};
    std::mutex m_lock;  // guards the settable values below
    std::uint8_t m_multicast[32 * 6] = {};
    std::uint32_t m_multicastCount = 0;
    std::uint32_t m_mediaState = 1;
    std::uint32_t m_packetFilter = 0x80;
    std::uint32_t m_lookahead = 34;
    std::uint32_t m_powerState = 1;  // D0
    std::function<void(TwVirtualAdapter*, NDIS_STATUS)> m_indicate;
    std::function<void(TwVirtualAdapter*)> m_removed;
    platform::UniqueFd m_stopFd;
    std::thread m_sendThread;
};

}  // namespace olvane
