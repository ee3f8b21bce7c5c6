// The engine's door to the virtual-adapter driver: `AdapterDriver`, the calls the adapter
// configuration makes (so that tests can hand it a fake), and `CFilterAPI`, the capture device
// object over CMorbeck that the program uses, one per connector.
//
// Results are int 1/0 (success/failure), as CMorbeck's. Thread-safety: as CMorbeck's (control
// calls are serialised inside it); the adapter configuration calls from the logon, relogon or
// worker thread under the connector lock.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "morbeck/morbeck.h"
#include "platform/event.h"
#include "platform/filter_device.h"
#include "platform/types.h"

namespace engine {

// The virtual adapter's hardware address, and the one that stands for the tunnel's far side.
constexpr BYTE kVirtualAdapterMac[6] = {0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x00};
constexpr BYTE kTunnelPeerMac[6] = {0x00, 0xFF, 0xFF, 0xFF, 0x01, 0x00};

#pragma pack(push, 1)
// The capture start record: the session's addresses (network order) and key material. The driver
// build answers the code without reading it; the layout is ours.
struct TW_CAPTURE_START {
    BYTE mac[6];
    WORD reserved;
    DWORD virtualIp;
    DWORD netmask;
    DWORD interfaceIp;
    DWORD localAddress;
    DWORD peerAddress;
    DWORD mode;
    DWORD cipherSelector;
    DWORD keyLength;
    BYTE key[320];
};
static_assert(sizeof(TW_CAPTURE_START) == 360);

// ARP entry and ARP proxy records (addresses in network order); answered "not supported".
struct TW_ARP_ENTRY {
    DWORD ip;
    BYTE mac[6];
    BYTE reserved[8];
};
static_assert(sizeof(TW_ARP_ENTRY) == TW_ARP_ENTRY_SIZE);
struct TW_ARP_PROXY {
    DWORD network;
    DWORD broadcast;
    DWORD mask;
    BYTE mac[6];
    BYTE reserved[8];
};
static_assert(sizeof(TW_ARP_PROXY) == TW_ARP_PROXY_SIZE);
#pragma pack(pop)

// What the capture start needs of the session. Addresses in host order, as the connector keeps
// them; the key is the TLS master key.
struct CaptureStart {
    DWORD virtualIp = 0;
    DWORD netmask = 0;
    DWORD localAddress = 0;
    DWORD peerAddress = 0;
    DWORD cipherSelector = 0;
    std::vector<BYTE> key;
};

// The driver calls of the adapter configuration. Names and results are CMorbeck's.
class AdapterDriver {
public:
    virtual ~AdapterDriver() = default;
    virtual int OpenFilterHandler() = 0;
    virtual int CloseFilterHandler() = 0;
    virtual int IsDriverLoaded() const = 0;
    virtual int GetAdapterHandleByMacAddress(const BYTE* mac, void** handle) = 0;
    virtual int BindAdaptersList() = 0;
    virtual int SetAdapterCloseEvent(platform::Event* event) = 0;
    virtual int StartShare() = 0;
    virtual int StopShare() = 0;
    // Capture on the adapter with `mac`; *adapterHandle receives the driver's handle. 0 when the
    // driver does not know the MAC (then no capture request is sent) or refused.
    virtual int StartCapture(const BYTE* mac, const CaptureStart& session, void** adapterHandle) = 0;
    virtual int StopCapture() = 0;
    virtual int SetIPConfig(TW_IPCONFIG_REQUEST* config) = 0;
    virtual int SetAdapterMediaStatus(TW_MEDIA_STATUS* status) = 0;
    virtual int GetAdapterMediaStatus(TW_MEDIA_STATUS* status) = 0;
    virtual int ClearArpEntry() = 0;
    virtual int AddArpEntry(const TW_ARP_ENTRY* entry) = 0;
    virtual int DelArpEntry(const TW_ARP_ENTRY* entry) = 0;
    virtual int AddArpProxy(const TW_ARP_PROXY* proxy) = 0;
    virtual int AddSystemRoute() = 0;
    virtual int TestProxyInform(TW_TEST_PROXY_REQUEST* request) = 0;
    virtual int TestProxyInformEnd() = 0;
};

// The capture device object: CMorbeck on the device "ndisfilter" with the capture start and
// stop of the client. The packet pump uses it as the CMorbeck it is.
class CFilterAPI final : public CMorbeck, public AdapterDriver {
public:
    explicit CFilterAPI(const platform::NetworkFacilities& system = {});
    ~CFilterAPI() override;

    // Resets the stop-read event, finds the adapter (none: 0, no request) and sends the capture
    // start record. `second` (may be null) is cleared; it has no use on this system.
    int StartCapture(const BYTE* mac, const CaptureStart& session, void** adapterHandle, DWORD* second);
    int StartCapture(const BYTE* mac, const CaptureStart& session, void** adapterHandle) override {
        return StartCapture(mac, session, adapterHandle, nullptr);
    }
    // Wakes a ring reader, sends the capture stop and sets the stop-read event.
    int StopCapture() override;

    int OpenFilterHandler() override { return CMorbeck::OpenFilterHandler(); }
    int CloseFilterHandler() override { return CMorbeck::CloseFilterHandler(); }
    int IsDriverLoaded() const override { return CMorbeck::IsDriverLoaded(); }
    int GetAdapterHandleByMacAddress(const BYTE* mac, void** handle) override {
        return CMorbeck::GetAdapterHandleByMacAddress(mac, handle);
    }
    int BindAdaptersList() override { return CMorbeck::BindAdaptersList(); }
    int SetAdapterCloseEvent(platform::Event* event) override {
        return CMorbeck::SetAdapterCloseEvent(event);
    }
    int StartShare() override { return CMorbeck::StartShare(); }
    int StopShare() override { return CMorbeck::StopShare(); }
    int SetIPConfig(TW_IPCONFIG_REQUEST* config) override { return CMorbeck::SetIPConfig(config); }
    int SetAdapterMediaStatus(TW_MEDIA_STATUS* status) override {
        return CMorbeck::SetAdapterMediaStatus(status);
    }
    int GetAdapterMediaStatus(TW_MEDIA_STATUS* status) override {
        return CMorbeck::GetAdapterMediaStatus(status);
    }
    int ClearArpEntry() override { return CMorbeck::ClearArpEntry(); }
    int AddArpEntry(const TW_ARP_ENTRY* entry) override { return CMorbeck::AddArpEntry(entry); }
    int DelArpEntry(const TW_ARP_ENTRY* entry) override { return CMorbeck::DelArpEntry(entry); }
    int AddArpProxy(const TW_ARP_PROXY* proxy) override { return CMorbeck::AddArpProxy(proxy); }
    int AddSystemRoute() override { return CMorbeck::AddSystemRoute(); }
    int TestProxyInform(TW_TEST_PROXY_REQUEST* request) override {
        return CMorbeck::TestProxyInform(request);
    }
    int TestProxyInformEnd() override { return CMorbeck::TestProxyInformEnd(); }

    // The capture start record for `session` (what StartCapture sends); false when the key does
    // not fit.
    static bool FillCaptureRecord(const BYTE* mac, const CaptureStart& session, TW_CAPTURE_START* record);

private:
    int m_osType = 0;
    unsigned long m_platformId = 0;
};

}  // namespace engine
