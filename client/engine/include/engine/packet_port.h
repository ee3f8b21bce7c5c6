// What the data path needs of the virtual-adapter driver: the two halves of the shared ring, their
// doorbells, and the firewall calls of the session check. `MorbeckPacketPort` is the program's
// port over a CMorbeck (the connector's capture device); tests pass a fake.
//
// Threads: one reader (ReadBlock, ReadBlockInPlace, WaitReadable) and any number of writers (WriteFrame,
// SignalWritten, serialised inside CMorbeck); WakeReader from any thread.
#pragma once
#include <cstddef>
#include <cstdint>

#include "morbeck/morbeck.h"
#include "platform/types.h"

namespace engine {

class PacketPort {
public:
    virtual ~PacketPort() = default;

    // Copies the next block of the output ring into *block (the frame bounded by TW_MAX_FRAME);
    // false when the ring is empty or not shared. Never waits, never allocates.
    virtual bool ReadBlock(_FWSHARED_MEMORY_BLOCK* block) = 0;
    // ReadBlock without the copy: hands the next block of the output ring to `visit` where it lies
    // and releases it to the driver only after `visit` returned; false when the ring is empty or
    // not shared. The view is the driver's memory: it is not kept past `visit`, and `visit` neither
    // reads nor waits on the ring (it may write frames and make the firewall calls).
    virtual bool ReadBlockInPlace(TW_RING_BLOCK_VISITOR visit, void* context) = 0;
    // Sleeps until the driver rings the reader's doorbell, WakeReader is called, or `timeoutMs`
    // passed. The caller tries ReadBlock again afterwards whatever the answer: a wake-up may come
    // without a frame, and the driver may not ring while the reader is busy. true when woken.
    virtual bool WaitReadable(DWORD timeoutMs) = 0;
    // Ends a WaitReadable early (stop).
    virtual void WakeReader() = 0;
    // True when WaitReadable sleeps on the driver's doorbell, so that a frame ends it at once and
    // the reader may sleep long while the ring is idle; false when it only sleeps out its time.
    virtual bool ReaderIsRung() { return false; }

    // One frame into the input ring for the adapter, direction 2, without signalling the driver;
    // 0 when the ring is full or not shared, or the length is out of range.
    virtual int WriteFrame(const std::uint8_t* frame, std::size_t length) = 0;
    // The same with the frame's source address (bytes 6..11) replaced by `source` in the ring, not
    // in `frame`; 0 too when the frame is shorter than an Ethernet header.
    virtual int WriteFrame(const std::uint8_t* frame, std::size_t length, const BYTE source[6]) = 0;
    // The frames written so far are there: rings the driver's doorbell when its ring thread sleeps.
    virtual void SignalWritten() = 0;

    // The firewall calls of the session check (CMorbeck's names and results).
    virtual int GetFirewallAction(void* action) = 0;
    virtual int SetFirewallAction(const void* action) = 0;
    virtual int FindDnsEntryByIp(DWORD ip, char* name512) = 0;
};

// The port over a CMorbeck whose ring is shared. `adapter` is the driver's handle of the virtual
// adapter (what StartCapture gave); it can be changed while the pump stops.
class MorbeckPacketPort final : public PacketPort {
public:
    explicit MorbeckPacketPort(CMorbeck& driver, void* adapter = nullptr)
        : m_driver(driver), m_adapter(adapter) {}
    void SetAdapter(void* adapter) { m_adapter = adapter; }

    bool ReadBlock(_FWSHARED_MEMORY_BLOCK* block) override;
    bool ReadBlockInPlace(TW_RING_BLOCK_VISITOR visit, void* context) override {
        return m_driver.ReadInPlace(visit, context) == 1;
    }
    bool WaitReadable(DWORD timeoutMs) override;
    void WakeReader() override;
    bool ReaderIsRung() override { return m_driver.RingReaderIsRung() == 1; }
    int WriteFrame(const std::uint8_t* frame, std::size_t length) override;
    int WriteFrame(const std::uint8_t* frame, std::size_t length, const BYTE source[6]) override;
    void SignalWritten() override;
    int GetFirewallAction(void* action) override { return m_driver.GetFirewallAction(action); }
    int SetFirewallAction(const void* action) override { return m_driver.SetFirewallAction(action); }
    int FindDnsEntryByIp(DWORD ip, char* name512) override { return m_driver.FindDnsEntryByIp(ip, name512); }

private:
    CMorbeck& m_driver;
    void* m_adapter;
};

}  // namespace engine
