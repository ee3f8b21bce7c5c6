// CMorbeck's ring paths against a scripted stand-in for the driver's control device, so the ring
// can be filled, corrupted and inspected exactly, in both layouts.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "morbeck/morbeck.h"
#include "platform/packet_ring.h"
#include "platform/local_pipe.h"
#include "platform/machine_root.h"
#include "testsupport/temp_root.h"

namespace {

constexpr std::int32_t kBlocks = 4;

// Answers the ring codes the way the driver does; counts the notifications it gets.
class ScriptedDevice : public platform::LocalPipeServer::Handler {
public:
    explicit ScriptedDevice(bool wide) : m_wide(wide) {
        m_size = wide ? sizeof(TW_MAPPED_BLOCK64) : sizeof(TW_MAPPED_BLOCK32);
        m_memFd.Reset(memfd_create("ring", MFD_CLOEXEC));
        EXPECT_EQ(ftruncate(m_memFd.Get(), static_cast<off_t>(m_size)), 0);
        m_map = static_cast<std::uint8_t*>(
            mmap(nullptr, m_size, PROT_READ | PROT_WRITE, MAP_SHARED, m_memFd.Get(), 0));
        const std::int32_t blockSize =
            wide ? sizeof(_FWSHARED_MEMORY_BLOCK64) : sizeof(_FWSHARED_MEMORY_BLOCK32);
        for (std::size_t ring = 0; ring < 2; ++ring) {
            std::uint8_t* d = Shared() + ring * HeaderSize();
            const std::int32_t base = ring == 0 ? 0 : kBlocks * blockSize;
            std::memcpy(d + 0, &blockSize, 4);
            std::memcpy(d + 4, &kBlocks, 4);
            std::memcpy(d + 8, &base, 4);
        }
        MakeDirs(platform::RuntimeDir());
        const std::string path = platform::FilterDevicePath();
        EXPECT_TRUE(m_pipe.Start(path));
    }
    ~ScriptedDevice() override {
        m_pipe.Stop();
        munmap(m_map, m_size);
    }
    static void MakeDirs(const std::string& dir) { platform::MakeDirs(dir, 0755); }
    std::size_t HeaderSize() const { return m_wide ? sizeof(TW_RING_HEADER64) : sizeof(TW_RING_HEADER32); }
    std::size_t SharedOffset() const {
        return m_wide ? offsetof(TW_MAPPED_BLOCK64, shared) : offsetof(TW_MAPPED_BLOCK32, shared);
    }
    std::uint8_t* Shared() const { return m_map + SharedOffset(); }
    std::uint8_t* Ring(int ring) const { return Shared() + static_cast<std::size_t>(ring) * HeaderSize(); }
    std::size_t IndexOffset(bool write) const { return (m_wide ? 28u : 20u) + (write ? 4u : 0u); }
    std::int32_t Index(int ring, bool write) const {
        std::int32_t v;
        std::memcpy(&v, Ring(ring) + IndexOffset(write), 4);
        return v;
    }
    void SetIndex(int ring, bool write, std::int32_t v) {
        std::memcpy(Ring(ring) + IndexOffset(write), &v, 4);
    }
    std::uint8_t* Block(int ring, int i) const {
        std::int32_t size, base;
        std::memcpy(&size, Ring(ring) + 0, 4);
        std::memcpy(&base, Ring(ring) + 8, 4);
        return Shared() + 2 * HeaderSize() + base + i * size;
    }
    int Notifications() const { return m_writeShare.load(); }
    int ReadRequests() const { return m_readShare.load(); }
    int Requests() const { return m_requests.load(); }
    // The daemon goes away: every connection is closed and the socket removed.
    void Hangup() { m_pipe.Stop(); }

private:
    static platform::LocalPipeLimits Limits() {
        platform::LocalPipeLimits limits;
        limits.maxMessage = sizeof(TW_DEVICE_REQUEST) + TW_DEVICE_MAX_BUFFER;
        return limits;
    }
    void OnRequest(platform::PipeRequest& request, platform::PipeReply* reply) override {
        if (request.data.size() < sizeof(TW_DEVICE_REQUEST)) {
            reply->close = true;
            return;
        }
        TW_DEVICE_REQUEST req;
        std::memcpy(&req, request.data.data(), sizeof(req));
        Answer(req, request.data.data() + sizeof(req), reply);
    }
    void Answer(const TW_DEVICE_REQUEST& req, const std::uint8_t* in, platform::PipeReply* reply) {
        m_requests.fetch_add(1);
        TW_DEVICE_REPLY rep{TW_DEVICE_MAGIC, STATUS_SUCCESS, 0, 0};
        std::uint8_t out[8] = {};
        int passFd = -1;
        switch (req.code) {
            case IOCTL_NDIS_FILTER_PUT_SHAREDMEMORYSIZE: {
                const DWORD size = static_cast<DWORD>(m_size);
                std::memcpy(out, &size, 4);
                rep.bytesReturned = 4;
                break;
            }
            case IOCTL_NDIS_FILTER_START_SHARE: {
                DWORD requested = 0;
                if (req.inLength >= 4) std::memcpy(&requested, in, 4);
                const std::uint64_t shared = requested + SharedOffset();
                rep.bytesReturned = m_wide ? 8 : 4;
                std::memcpy(out, &shared, rep.bytesReturned);
                passFd = m_memFd.Get();
                break;
            }
            case IOCTL_NDIS_FILTER_WRITE_SHARE: m_writeShare.fetch_add(1); break;
            case IOCTL_NDIS_FILTER_READ_SHARE:
                m_readShare.fetch_add(1);
                rep.status = STATUS_UNSUCCESSFUL;
                break;
            case IOCTL_NDIS_FILTER_STOP_SHARE:
            case IOCTL_SET_ADAPTER_CLOSE_EVENT: break;
            default: rep.status = STATUS_NOT_SUPPORTED;
        }
        reply->data.resize(sizeof(rep) + rep.bytesReturned);
        std::memcpy(reply->data.data(), &rep, sizeof(rep));
        std::memcpy(reply->data.data() + sizeof(rep), out, rep.bytesReturned);
        reply->fd = passFd;
    }

    bool m_wide;
    std::size_t m_size = 0;
    platform::UniqueFd m_memFd;
    std::uint8_t* m_map = nullptr;
    platform::LocalPipeServer m_pipe{*this, platform::PeerPolicy::RootOrSelf(), Limits()};
    std::atomic<int> m_writeShare{0}, m_readShare{0}, m_requests{0};
};

class MorbeckRing : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        m_device = std::make_unique<ScriptedDevice>(GetParam());
        m_morbeck.OpenFilterHandler();
        ASSERT_EQ(m_morbeck.IsDriverLoaded(), 1);
        ASSERT_EQ(m_morbeck.StartShare(), 1);
        ASSERT_EQ(m_morbeck.IsWideLayout(), GetParam());
    }
    void TearDown() override {
        m_morbeck.CloseFilterHandler();
        m_device.reset();
    }
    // The driver's side: one output block with `length` in its length field.
    void DriverWrites(DWORD adapter, DWORD length, std::uint8_t fill) {
        const std::int32_t w = m_device->Index(0, true);
        std::uint8_t* b = m_device->Block(0, w);
        const bool wide = GetParam();
        std::memcpy(b, &adapter, 4);
        const DWORD dir = 2;
        std::memcpy(b + (wide ? 8 : 4), &dir, 4);
        std::memcpy(b + (wide ? 12 : 8), &length, 4);
        std::memset(b + (wide ? 164 : 156), fill, TW_FRAME_AREA);
        m_device->SetIndex(0, true, (w + 1) % kBlocks);
    }

    testsupport::TempRoot m_root{"morbeck-test"};
    std::unique_ptr<ScriptedDevice> m_device;
    CMorbeck m_morbeck;
};

TEST_P(MorbeckRing, ReadOnAnEmptyRingMakesNoControlCall) {
    const int before = m_device->Requests();
    EXPECT_EQ(m_morbeck.Read(0), nullptr);
    EXPECT_EQ(m_device->Requests(), before);
    EXPECT_EQ(m_morbeck.Read(1), nullptr);
    EXPECT_EQ(m_device->ReadRequests(), 1) << "a waiting read asks the driver once";
}

TEST_P(MorbeckRing, BlocksAreReadInOrderAndOverlongLengthsAreCut) {
    DriverWrites(7, 60, 0x11);
    DriverWrites(7, 5000, 0x22);  // more than a frame: only 1514 bytes come out
    _FWSHARED_MEMORY_BLOCK* a = m_morbeck.Read(0);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->adapterId, 7u);
    EXPECT_EQ(a->direction, 2u);
    EXPECT_EQ(a->length, 60u);
    EXPECT_EQ(a->data[59], 0x11);
    _FWSHARED_MEMORY_BLOCK* b = m_morbeck.Read(0);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->length, static_cast<DWORD>(TW_MAX_FRAME));
    EXPECT_EQ(b->data[TW_MAX_FRAME - 1], 0x22);
    EXPECT_EQ(m_morbeck.Read(0), nullptr);
    EXPECT_EQ(m_device->Index(0, false), 2) << "the read index is published after each copy";
    EXPECT_EQ(m_morbeck.Free(a), 1);
    EXPECT_EQ(m_morbeck.Free(b), 1);
    EXPECT_EQ(m_morbeck.Free(nullptr), 0);
}

// The data path's read without the copy sees what ReadInto copies, head and frame, and the
// driver gets the block back only once the visit is over.
TEST_P(MorbeckRing, ABlockReadInPlaceIsReadIntosBlockAndIsReleasedAfterItsVisit) {
    const platform::RingLayout layout = GetParam() ? platform::RingLayout::k64 : platform::RingLayout::k32;
    std::uint8_t frame[TW_FRAME_AREA];
    for (std::size_t i = 0; i < sizeof frame; ++i) frame[i] = static_cast<std::uint8_t>(i * 13 + 1);
    platform::RingRecord rec;
    rec.adapterId = 7;
    rec.direction = 2;
    rec.packetFlags = 0x81;
    rec.reserved = 4;
    rec.appCode = 3;
    rec.appContext = 0x1234;
    for (int i = 0; i < TW_APP_AREA; ++i) rec.appArea[i] = static_cast<std::uint8_t>(200 - i);
    struct Seen {
        ScriptedDevice* device;
        std::int32_t readIndex = -1;
        _FWSHARED_MEMORY_BLOCK block{};
        int visits = 0;
    };
    const TW_RING_BLOCK_VISITOR visit = [](void* context, const TW_RING_BLOCK_VIEW& v) {
        auto* seen = static_cast<Seen*>(context);
        ++seen->visits;
        seen->readIndex = seen->device->Index(0, false);
        CopyRingBlockView(v, &seen->block);
    };
    // Twice a 60-byte frame, then twice a length past the frame area: ReadInto and ReadInPlace
    // take turns.
    for (int pair = 0; pair < 2; ++pair) {
        const DWORD length = pair == 0 ? 60u : 5000u;
        for (int i = 0; i < 2; ++i) {
            const std::int32_t w = m_device->Index(0, true);
            rec.length = std::min<DWORD>(length, TW_FRAME_AREA);
            platform::WriteBlock(layout, m_device->Block(0, w), rec, frame);
            std::memcpy(m_device->Block(0, w) + (GetParam() ? 12 : 8), &length, 4);
            m_device->SetIndex(0, true, (w + 1) % kBlocks);
        }
        _FWSHARED_MEMORY_BLOCK copied{};
        ASSERT_EQ(m_morbeck.ReadInto(&copied), 1);
        Seen seen{m_device.get()};
        ASSERT_EQ(m_morbeck.ReadInPlace(visit, &seen), 1);
        EXPECT_EQ(seen.visits, 1);
        EXPECT_EQ(seen.readIndex, (2 * pair + 1) % kBlocks)
            << "the block was given back before its visit ended";
        EXPECT_EQ(m_device->Index(0, false), (2 * pair + 2) % kBlocks);
        EXPECT_EQ(copied.length, pair == 0 ? 60u : static_cast<DWORD>(TW_MAX_FRAME));
        EXPECT_EQ(0, std::memcmp(&seen.block, &copied, sizeof copied)) << "pair " << pair;
    }
    Seen none{m_device.get()};
    EXPECT_EQ(m_morbeck.ReadInPlace(visit, &none), 0);
    EXPECT_EQ(none.visits, 0);
}

TEST_P(MorbeckRing, AFullInputRingDropsThePacketButStillNotifies) {
    const char frame[60] = {1, 2, 3};
    void* adapter = reinterpret_cast<void*>(static_cast<std::uintptr_t>(5));
    // Without signal, the first writes do not tell the driver.
    ASSERT_EQ(m_morbeck.Write(adapter, PACKET_DIRECTION_OUTGOING, 9, frame, 60, 0), 1);
    ASSERT_EQ(m_morbeck.Write(adapter, PACKET_DIRECTION_OUTGOING, 9, frame, 60, 0), 1);
    EXPECT_EQ(m_device->Notifications(), 0);
    // The third write fills the ring (count - 1 blocks): the driver is told.
    ASSERT_EQ(m_morbeck.Write(adapter, PACKET_DIRECTION_OUTGOING, 9, frame, 60, 0), 1);
    EXPECT_EQ(m_device->Notifications(), 1);
    EXPECT_EQ(m_device->Index(1, true), 3);
    // Full: dropped, still 1 and a notification.
    ASSERT_EQ(m_morbeck.Write(adapter, PACKET_DIRECTION_OUTGOING, 9, frame, 60, 0), 1);
    EXPECT_EQ(m_device->Index(1, true), 3);
    EXPECT_EQ(m_device->Notifications(), 2);
    // The written head in the driver's layout.
    const std::uint8_t* blk = m_device->Block(1, 0);
    DWORD length = 0, flags = 0;
    std::memcpy(&length, blk + (GetParam() ? 12 : 8), 4);
    std::memcpy(&flags, blk + (GetParam() ? 16 : 12), 4);
    EXPECT_EQ(length, 60u);
    EXPECT_EQ(flags, 9u);
    EXPECT_EQ(blk[GetParam() ? 164 : 156], 1);
    _FWSHARED_MEMORY_INFO info{};
    ASSERT_EQ(m_morbeck.GetSharedMemoryInfo(&info), 1);
    EXPECT_EQ(info.inWrite, 3u);
    EXPECT_EQ(info.inCount, 3u);
}

// The data path's write says when the ring had no room, so that the frame is not lost unseen; the
// driver is still told to drain the ring.
TEST_P(MorbeckRing, TheQuietWriteReportsAFullInputRing) {
    const char frame[60] = {4, 5, 6};
    void* adapter = reinterpret_cast<void*>(static_cast<std::uintptr_t>(5));
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(m_morbeck.WriteQuiet(adapter, PACKET_DIRECTION_OUTGOING, frame, 60), 1);
    const int told = m_device->Notifications();
    EXPECT_EQ(m_morbeck.WriteQuiet(adapter, PACKET_DIRECTION_OUTGOING, frame, 60), 0);
    EXPECT_EQ(m_device->Index(1, true), 3);
    EXPECT_EQ(m_device->Notifications(), told + 1);
    // Once the driver took a block, the same write goes in.
    m_device->SetIndex(1, false, 1);
    EXPECT_EQ(m_morbeck.WriteQuiet(adapter, PACKET_DIRECTION_OUTGOING, frame, 60), 1);
    EXPECT_EQ(m_device->Index(1, true), 0);
}

// The gateway's frame gets our source address in the ring's block only: the caller's buffer (the
// TLS library's) stays as it was.
TEST_P(MorbeckRing, TheQuietWriteSetsTheSourceAddressInTheRingsBlockOnly) {
    char frame[60];
    for (int i = 0; i < 60; ++i) frame[i] = static_cast<char>(i + 1);
    char before[60];
    std::memcpy(before, frame, sizeof frame);
    const BYTE source[6] = {0x00, 0xFF, 0xFF, 0xFF, 0x01, 0x00};
    void* adapter = reinterpret_cast<void*>(static_cast<std::uintptr_t>(5));
    ASSERT_EQ(m_morbeck.WriteQuiet(adapter, PACKET_DIRECTION_OUTGOING, frame, 60, source), 1);
    EXPECT_EQ(0, std::memcmp(frame, before, sizeof frame));
    const std::uint8_t* blk = m_device->Block(1, 0);
    const std::uint8_t* data = blk + (GetParam() ? 164 : 156);
    DWORD length = 0;
    std::memcpy(&length, blk + (GetParam() ? 12 : 8), 4);
    EXPECT_EQ(length, 60u);
    EXPECT_EQ(0, std::memcmp(data, frame, 6));
    EXPECT_EQ(0, std::memcmp(data + 6, source, 6));
    EXPECT_EQ(0, std::memcmp(data + 12, frame + 12, 48));
    EXPECT_EQ(m_device->Index(1, true), 1);
    // No Ethernet header, nothing written.
    EXPECT_EQ(m_morbeck.WriteQuiet(adapter, PACKET_DIRECTION_OUTGOING, frame, 13, source), 0);
    EXPECT_EQ(m_device->Index(1, true), 1);
}

TEST_P(MorbeckRing, SixtyFourBitHeadsAreSignExtended) {
    if (!GetParam()) GTEST_SKIP() << "64-bit layout only";
    _FWSHARED_MEMORY_BLOCK block{};
    block.adapterId = 0x80000001u;
    block.appContext = 0xFFFFFFFEu;
    block.length = 0;
    ASSERT_EQ(m_morbeck.Write(&block, 1), 1);
    const std::uint8_t* blk = m_device->Block(1, 0);
    std::uint64_t adapter = 0, context = 0;
    std::memcpy(&adapter, blk, 8);
    std::memcpy(&context, blk + 28, 8);
    EXPECT_EQ(adapter, 0xFFFFFFFF80000001ull);
    EXPECT_EQ(context, 0xFFFFFFFFFFFFFFFEull);
}

TEST_P(MorbeckRing, DamagedGeometryIsNeverFollowed) {
    DriverWrites(1, 60, 0x33);
    const std::int32_t hugeBase = 0x7FFFFFF0;
    std::memcpy(m_device->Ring(0) + 8, &hugeBase, 4);
    EXPECT_EQ(m_morbeck.Read(0), nullptr);
    int visits = 0;
    const TW_RING_BLOCK_VISITOR count = [](void* c, const TW_RING_BLOCK_VIEW&) { ++*static_cast<int*>(c); };
    EXPECT_EQ(m_morbeck.ReadInPlace(count, &visits), 0);
    EXPECT_EQ(visits, 0);
    const std::int32_t zero = 0;
    std::memcpy(m_device->Ring(0) + 8, &zero, 4);
    m_device->SetIndex(0, false, 1000);  // read index outside the ring
    EXPECT_EQ(m_morbeck.Read(0), nullptr);
    EXPECT_EQ(m_morbeck.ReadInPlace(count, &visits), 0);
    EXPECT_EQ(visits, 0);
    m_device->SetIndex(0, false, 0);
    std::memcpy(m_device->Ring(1) + 4, &zero, 4);  // no blocks in the input ring
    const char frame[20] = {};
    EXPECT_EQ(m_morbeck.Write(nullptr, PACKET_DIRECTION_OUTGOING, 0, frame, 20, 1), 0);
    _FWSHARED_MEMORY_BLOCK* ok = m_morbeck.Read(0);
    ASSERT_NE(ok, nullptr);
    m_morbeck.Free(ok);
}

TEST_P(MorbeckRing, TheDaemonsEndUnderAMappedRingIsNoticed) {
    platform::Event closeEvent(true, false);
    ASSERT_EQ(m_morbeck.SetAdapterCloseEvent(&closeEvent), 1);
    const char frame[60] = {1};
    ASSERT_EQ(m_morbeck.Write(nullptr, PACKET_DIRECTION_OUTGOING, 0, frame, 60, 0), 1);
    m_device->Hangup();
    // The engine's forced-logoff path waits on this event.
    ASSERT_EQ(closeEvent.Wait(5000), platform::kWaitObject0) << "the adapter-close event was not set";
    EXPECT_EQ(m_morbeck.IsDriverLoaded(), 0);
    EXPECT_EQ(m_morbeck.IsShareStarted(), 0);
    EXPECT_EQ(m_morbeck.Write(nullptr, PACKET_DIRECTION_OUTGOING, 0, frame, 60, 0), 0)
        << "a write into a dead ring";
    DriverWrites(1, 60, 0x44);
    EXPECT_EQ(m_morbeck.Read(0), nullptr);
    EXPECT_EQ(m_morbeck.StartShare(), 0);
}

INSTANTIATE_TEST_SUITE_P(Layouts, MorbeckRing, ::testing::Values(false, true));

}  // namespace
