#include "shared_ring.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

namespace olvane {

namespace {

bool IndexValid(std::int32_t i) { return i >= 0 && i < TW_RING_BLOCK_COUNT; }

// Shared-area offsets: output header, input header, output blocks, input blocks.
std::size_t OutHeader(const RingGeometry& g) { return g.shared; }
std::size_t InHeader(const RingGeometry& g) { return g.shared + g.headerSize; }
std::size_t OutBlock(const RingGeometry& g, int i) {
    return g.shared + 2 * g.headerSize + static_cast<std::size_t>(i) * g.blockSize;
}
std::size_t InBlock(const RingGeometry& g, int i) {
    return OutBlock(g, TW_RING_BLOCK_COUNT) + static_cast<std::size_t>(i) * g.blockSize;
}

}  // namespace

std::unique_ptr<TwSharedRing> TwSharedRing::Create(RingLayout layout) {
    const std::size_t size =
        layout == RingLayout::k64 ? sizeof(TW_MAPPED_BLOCK64) : sizeof(TW_MAPPED_BLOCK32);
    platform::UniqueFd fd(::memfd_create("MapM", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!fd) return nullptr;
    // Sealed so that a client holding the descriptor can neither shrink the block under us
    // (which would fault our accesses) nor grow it.
    if (::ftruncate(fd.Get(), static_cast<off_t>(size)) != 0 ||
        ::fcntl(fd.Get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
        int err = errno;
        fd.Reset();
        errno = err;
        return nullptr;
    }
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.Get(), 0);
    if (p == MAP_FAILED) {
        int err = errno;
        fd.Reset();
        errno = err;
        return nullptr;
    }
    std::unique_ptr<TwSharedRing> ring(
        new TwSharedRing(layout, fd.Release(), static_cast<std::uint8_t*>(p), size));
    ring->m_outBell.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    ring->m_inBell.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!ring->m_outBell || !ring->m_inBell) return nullptr;
    ring->WriteHeaders();
    return ring;
}

TwSharedRing::TwSharedRing(RingLayout layout, int fd, std::uint8_t* base, std::size_t size)
    : m_layout(layout), m_fd(fd), m_base(base), m_size(size) {}

TwSharedRing::~TwSharedRing() {
    ::munmap(m_base, m_size);  // the descriptor member closes after
}

std::uint32_t TwSharedRing::SharedOffset() const {
    return static_cast<std::uint32_t>(GeometryOf(m_layout).shared);
}

void TwSharedRing::SetUserAddress(std::uint64_t address) {
    if (m_layout == RingLayout::k64) {
        std::memcpy(m_base, &address, 8);
    } else {
        auto a = static_cast<std::uint32_t>(address);
        std::memcpy(m_base, &a, 4);
    }
}

void TwSharedRing::WriteHeaders() {
    const RingGeometry g = GeometryOf(m_layout);
    const auto blockBytes = static_cast<std::int32_t>(TW_RING_BLOCK_COUNT * g.blockSize);
    const auto sharedSize = static_cast<std::uint32_t>(m_size - g.shared - 4);
    // The "kernel address" of a ring is given as its offset in the block: our own addresses are
    // of no use to the client and are not handed out.
    const std::uint64_t outBase = OutBlock(g, 0);
    const std::uint64_t inBase = InBlock(g, 0);
    if (m_layout == RingLayout::k64) {
        auto* mb = reinterpret_cast<TW_MAPPED_BLOCK64*>(m_base);
        std::memcpy(&mb->m_SharedSize, &sharedSize, 4);
        TW_RING_HEADER64 out{static_cast<std::int32_t>(g.blockSize),
                             TW_RING_BLOCK_COUNT,
                             0,
                             0,
                             outBase,
                             0,
                             0,
                             TW_RING_BLOCK_COUNT};
        TW_RING_HEADER64 in{static_cast<std::int32_t>(g.blockSize),
                            TW_RING_BLOCK_COUNT,
                            blockBytes,
                            0,
                            inBase,
                            0,
                            0,
                            TW_RING_BLOCK_COUNT};
        std::memcpy(m_base + OutHeader(g), &out, sizeof(out));
        std::memcpy(m_base + InHeader(g), &in, sizeof(in));
    } else {
        std::memcpy(m_base + 8, &sharedSize, 4);
        TW_RING_HEADER32 out{static_cast<std::int32_t>(g.blockSize),
                             TW_RING_BLOCK_COUNT,
                             0,
                             0,
                             static_cast<std::uint32_t>(outBase),
                             0,
                             0,
                             TW_RING_BLOCK_COUNT};
        TW_RING_HEADER32 in{static_cast<std::int32_t>(g.blockSize),
                            TW_RING_BLOCK_COUNT,
                            blockBytes,
                            0,
                            static_cast<std::uint32_t>(inBase),
                            0,
                            0,
                            TW_RING_BLOCK_COUNT};
        std::memcpy(m_base + OutHeader(g), &out, sizeof(out));
        std::memcpy(m_base + InHeader(g), &in, sizeof(in));
    }
    m_outCount = TW_RING_BLOCK_COUNT;
}

bool TwSharedRing::WriteOutput(const RingRecord& rec, const std::uint8_t* data, bool keepAdapterWord) {
    if (rec.length > TW_MAX_FRAME) return false;
    const RingGeometry g = GeometryOf(m_layout);
    std::lock_guard<std::mutex> lock(m_outputLock);
    const std::int32_t clientRead = LoadIndex(m_base + OutHeader(g) + g.readOff);
    if (!IndexValid(clientRead)) {
        m_counters.outputBadIndex.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    if ((m_outWrite + 1) % TW_RING_BLOCK_COUNT == clientRead) {
        m_counters.outputFull.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    std::uint8_t* at = m_base + OutBlock(g, m_outWrite);
    WriteBlock(m_layout, at, rec, data, keepAdapterWord);
    ++m_outCount;
    StoreIndex(m_base + OutHeader(g) + g.countOff, m_outCount);
    m_outWrite = (m_outWrite + 1) % TW_RING_BLOCK_COUNT;
    StoreIndex(m_base + OutHeader(g) + g.writeOff, m_outWrite);
    m_counters.outputWritten.fetch_add(1, std::memory_order_relaxed);
    if (platform::RingTakeWakeUp(platform::RingSleepWord(m_base, m_size),
                                 platform::kRingOutputReaderSleeping)) {
        platform::RingDoorbell(m_outBell.Get());
        m_counters.outputDoorbells.fetch_add(1, std::memory_order_relaxed);
    }
    return true;
}

bool TwSharedRing::PrepareInputSleep() {
    std::uint8_t* word = platform::RingSleepWord(m_base, m_size);
    platform::RingSetSleeping(word, platform::kRingInputReaderSleeping);
    const RingGeometry g = GeometryOf(m_layout);
    if (LoadIndex(m_base + InHeader(g) + g.writeOff) != m_inRead) {
        platform::RingClearSleeping(word, platform::kRingInputReaderSleeping);
        return false;
    }
    return true;
}

bool TwSharedRing::InputWaiting() const {
    const RingGeometry g = GeometryOf(m_layout);
    return LoadIndex(m_base + InHeader(g) + g.writeOff) != m_inRead;
}

void TwSharedRing::InputAwake(bool rung) {
    platform::RingClearSleeping(platform::RingSleepWord(m_base, m_size), platform::kRingInputReaderSleeping);
    // A ring that comes after the sleep ended stays counted: the next sleep sees it and drains it.
    if (rung) platform::DrainDoorbell(m_inBell.Get());
}

bool TwSharedRing::OutputEmpty() const {
    const RingGeometry g = GeometryOf(m_layout);
    std::lock_guard<std::mutex> lock(m_outputLock);
    return LoadIndex(m_base + OutHeader(g) + g.readOff) == m_outWrite;
}

bool TwSharedRing::OutputHasRoom() const {
    const RingGeometry g = GeometryOf(m_layout);
    std::lock_guard<std::mutex> lock(m_outputLock);
    const std::int32_t clientRead = LoadIndex(m_base + OutHeader(g) + g.readOff);
    return !IndexValid(clientRead) || (m_outWrite + 1) % TW_RING_BLOCK_COUNT != clientRead;
}

TwSharedRing::Peek TwSharedRing::PeekInput(RingRecord* rec, const std::uint8_t** data) {
    const RingGeometry g = GeometryOf(m_layout);
    for (;;) {
        const std::int32_t clientWrite = LoadIndex(m_base + InHeader(g) + g.writeOff);
        if (!IndexValid(clientWrite)) {
            m_counters.inputBadIndex.fetch_add(1, std::memory_order_relaxed);
            return Peek::kBadIndex;
        }
        if (clientWrite == m_inRead) return Peek::kEmpty;
        ReadBlockHead(m_layout, m_base + InBlock(g, m_inRead), rec, data);
        if (rec->length <= TW_MAX_FRAME) return Peek::kBlock;
        m_counters.inputOversize.fetch_add(1, std::memory_order_relaxed);
        ConsumeInput();
    }
}

void TwSharedRing::ConsumeInput() {
    const RingGeometry g = GeometryOf(m_layout);
    m_inRead = (m_inRead + 1) % TW_RING_BLOCK_COUNT;
    StoreIndex(m_base + InHeader(g) + g.readOff, m_inRead);
    m_counters.inputRead.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace olvane
