// The shared-memory packet ring, kernel side: one mapped block (a sealed memfd) holding the
// output ring (we produce, the client consumes) and the input ring (the client produces, we
// consume), in the 32-bit or the 64-bit layout.
//
// Nothing the client can write is trusted: our own indices are kept privately and only
// published; the client's indices, lengths and header fields are checked before use. Frames
// longer than 1,514 bytes and bad indices are counted and dropped, and the ring keeps flowing.
//
// Threading: WriteOutput/OutputEmpty may be called from several threads (serialised inside);
// PeekInput/ConsumeInput and the input sleep calls from one consumer thread only.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/filter_device.h"
#include "platform/packet_ring.h"
#include "platform/unique_fd.h"

namespace olvane {

using platform::GeometryOf;
using platform::LoadIndex;
using platform::ReadBlockHead;
using platform::RingGeometry;
using platform::RingLayout;
using platform::RingRecord;
using platform::StoreIndex;
using platform::WriteBlock;

struct RingCounters {
    std::atomic<std::uint64_t> outputWritten{0};
    std::atomic<std::uint64_t> outputFull{0};
    std::atomic<std::uint64_t> outputBadIndex{0};  // client's read index out of range
    std::atomic<std::uint64_t> inputRead{0};
    std::atomic<std::uint64_t> inputBadIndex{0};  // client's write index out of range
    std::atomic<std::uint64_t> inputOversize{0};  // length above 1,514
    std::atomic<std::uint64_t> inputUnknownAdapter{0};
    std::atomic<std::uint64_t> outputDoorbells{0};   // times the client's reader was rung
    std::atomic<std::uint64_t> outputWaits{0};       // times the TAP reader waited for room
    std::atomic<std::uint64_t> outputNotSession{0};  // frames kept from a ring not the session's
    std::atomic<std::uint64_t> inputNotSession{0};   // blocks of a ring not the session's, dropped
};

class TwSharedRing {
public:
    // Creates the block (zero-filled) and writes both headers. Null on failure (errno kept).
    static std::unique_ptr<TwSharedRing> Create(RingLayout layout);
    ~TwSharedRing();
    TwSharedRing(const TwSharedRing&) = delete;
    TwSharedRing& operator=(const TwSharedRing&) = delete;

    RingLayout Layout() const { return m_layout; }
    int MemFd() const { return m_fd.Get(); }
    // The doorbells handed to the owner with the block (platform/packet_ring.h): the output ring's,
    // rung here when the client's reader sleeps, and the input ring's, which wakes our ring thread.
    int OutputDoorbellFd() const { return m_outBell.Get(); }
    int InputDoorbellFd() const { return m_inBell.Get(); }
    // The ring thread, before it sleeps: announces it and says whether the input ring is still
    // empty (false: do not sleep; the announcement is withdrawn). Awake clears the announcement
    // and drains the doorbell when the sleep saw it rung.
    bool PrepareInputSleep();
    void InputAwake(bool rung = true);
    // Whether the client has written a block the ring thread has not taken (a look, no more: the
    // ring thread's spin before it sleeps).
    bool InputWaiting() const;
    std::size_t MappedSize() const { return m_size; }
    // Offset of the shared area within the mapped block (20 or 12).
    std::uint32_t SharedOffset() const;
    std::uint8_t* Mapped() const { return m_base; }
    // m_pUserModeVirtualAddress of the block.
    void SetUserAddress(std::uint64_t address);

    // Writes one block into the output ring. `data` holds rec.length bytes (at most 1,514). A
    // signal block (keepAdapterWord) leaves word 0 as it was and copies no data. false when the
    // ring is full or the client's index is out of range.
    bool WriteOutput(const RingRecord& rec, const std::uint8_t* data, bool keepAdapterWord = false);
    bool OutputEmpty() const;
    // Whether one more block fits (a bad client index counts as room: the write then fails and
    // is counted, rather than stalling the adapter behind a client that broke its ring).
    bool OutputHasRoom() const;

    enum class Peek { kEmpty, kBlock, kBadIndex };
    // Looks at the next input block: its head is copied into *rec and checked; blocks longer than
    // 1,514 bytes are dropped (counted) and skipped. *data points at the frame in shared memory
    // (rec->length bytes may be read from it).
    Peek PeekInput(RingRecord* rec, const std::uint8_t** data);
    // Advances past the block PeekInput returned.
    void ConsumeInput();

    RingCounters& Counters() { return m_counters; }
    // Private indices (for dumps and tests).
    int OutputWriteIndex() const { return m_outWrite; }
    int InputReadIndex() const { return m_inRead; }

private:
    TwSharedRing(RingLayout layout, int fd, std::uint8_t* base, std::size_t size);
    void WriteHeaders();

    RingLayout m_layout;
    platform::UniqueFd m_fd;
    platform::UniqueFd m_outBell, m_inBell;
    std::uint8_t* m_base;
    std::size_t m_size;
    mutable std::mutex m_outputLock;
    int m_outWrite = 0;  // ours; published to the output header
    int m_outCount = 0;
    int m_inRead = 0;  // ours; published to the input header
    RingCounters m_counters;
};

}  // namespace olvane
