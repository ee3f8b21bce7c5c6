// The capture device object: CMorbeck with the client's capture start and stop.
#include "engine/capture_device.h"

#include <arpa/inet.h>

#include <cstring>

#include "dailylog/shared_daily_log.h"
#include "platform/debug_printf.h"
#include "platform/errors.h"
#include "util/os_utils.h"

namespace engine {

CFilterAPI::CFilterAPI(const platform::NetworkFacilities& system) : CMorbeck("ndisfilter", system) {
    m_osType = OS(&m_platformId);
}

CFilterAPI::~CFilterAPI() = default;

bool CFilterAPI::FillCaptureRecord(const BYTE* mac, const CaptureStart& s, TW_CAPTURE_START* record) {
    std::memset(record, 0, sizeof(*record));
    if (s.key.size() > sizeof(record->key)) return false;
    std::memcpy(record->mac, mac, 6);
    record->virtualIp = htonl(s.virtualIp);
    record->netmask = htonl(s.netmask);
    record->interfaceIp = htonl(s.virtualIp);
    record->localAddress = htonl(s.localAddress);
    record->peerAddress = htonl(s.peerAddress);
    record->mode = 1;
    record->cipherSelector = s.cipherSelector;
    record->keyLength = static_cast<DWORD>(s.key.size());
    if (!s.key.empty()) std::memcpy(record->key, s.key.data(), s.key.size());
    return true;
}

int CFilterAPI::StartCapture(const BYTE* mac, const CaptureStart& session, void** adapterHandle,
                             DWORD* second) {
    platform::DebugPrintf("entered CFilterAPI::StartCapture()!");
    if (adapterHandle != nullptr) *adapterHandle = nullptr;
    if (second != nullptr) *second = 0;
    if (mac == nullptr || adapterHandle == nullptr) return 0;
    if (platform::Event* stopRead = StopReadEvent()) stopRead->Reset();
    void* handle = nullptr;
    if (!GetAdapterHandleByMacAddress(mac, &handle) || handle == nullptr) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[StartCapture] Adapter not found");
        platform::DebugPrintf("Adapter not found\n");
        return 0;
    }
    *adapterHandle = handle;
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[StartCapture] ulPriIfIPAddr= 0x%08x", session.virtualIp);
    TW_CAPTURE_START record;
    if (!FillCaptureRecord(mac, session, &record)) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[StartCapture] key of %zu bytes does not fit the capture record",
               session.key.size());
        return 0;
    }
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(IOCTL_NDIS_FILTER_START_CAPTURE, &record, sizeof(record), nullptr, 0,
                                    &returned, nullptr);
    // The key has no business staying on the stack.
    std::memset(record.key, 0, sizeof(record.key));
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[StartCapture] DeviceIoControl START_CAPTURE Status %s, lasterror: 0x%x",
           ok ? "TRUE" : "FALSE", ok ? 0u : static_cast<unsigned>(platform::GetLastError()));
    platform::DebugPrintf("DeviceIoControl(IOCTL_FLT_START_CAPTURE) return %s\n", ok ? "TRUE" : "FALSE");
    return ok ? 1 : 0;
}

int CFilterAPI::StopCapture() {
    CancelIo();
    DWORD returned = 0;
    const BOOL ok =
        DeviceIoControl(IOCTL_NDIS_FILTER_STOP_CAPTURE, nullptr, 0, nullptr, 0, &returned, nullptr);
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[StopCapture] DeviceIoControl STOP_CAPTURE Status %s",
           ok ? "TRUE" : "FALSE");
    platform::DebugPrintf("DeviceIoControl(IOCTL_QEL_CLIENT_STOP_CAPTURE) return %s\n",
                          ok ? "TRUE" : "FALSE");
    StopFilterRead();
    return ok ? 1 : 0;
}

}  // namespace engine
