// The record cutter and the content-handler registry and cache, without OpenSSL sessions.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "content_handler.h"
#include "ssl_record.h"

using namespace tamberk;

namespace {

std::vector<std::uint8_t> Record(std::uint8_t first, std::uint8_t minor, std::size_t fragment) {
    std::vector<std::uint8_t> r = {first, 3, minor, static_cast<std::uint8_t>(fragment >> 8),
                                   static_cast<std::uint8_t>(fragment)};
    r.resize(5 + fragment, 0xAB);
    return r;
}

TEST(RecordCutter, KeyIdIsTakenFromTheTopBitsAndCleared) {
    auto r = Record(0x97, 1, 10);
    std::size_t offset = 0;
    TwSslRecordView v;
    const char* why = nullptr;
    ASSERT_EQ(GetSslRecord(r.data(), r.size(), &offset, &v, &why), RecordCut::kRecord);
    EXPECT_EQ(v.keyId, 2);
    EXPECT_EQ(v.contentType, 23);
    EXPECT_EQ(r[0], 0x17);
    EXPECT_EQ(offset, r.size());
}

TEST(RecordCutter, TwoRecordsAndHalfAThird) {
    auto a = Record(0x16, 1, 4), b = Record(0x17, 3, 20), c = Record(0x17, 3, 30);
    std::vector<std::uint8_t> buf(a);
    buf.insert(buf.end(), b.begin(), b.end());
    buf.insert(buf.end(), c.begin(), c.begin() + 12);
    std::size_t offset = 0;
    TwSslRecordView v;
    const char* why = nullptr;
    EXPECT_EQ(GetSslRecord(buf.data(), buf.size(), &offset, &v, &why), RecordCut::kRecord);
    EXPECT_EQ(GetSslRecord(buf.data(), buf.size(), &offset, &v, &why), RecordCut::kRecord);
    EXPECT_EQ(GetSslRecord(buf.data(), buf.size(), &offset, &v, &why), RecordCut::kNeedMore);
    EXPECT_EQ(offset, a.size() + b.size());
    buf.insert(buf.end(), c.begin() + 12, c.end());
    EXPECT_EQ(GetSslRecord(buf.data(), buf.size(), &offset, &v, &why), RecordCut::kRecord);
    EXPECT_EQ(offset, buf.size());
}

TEST(RecordCutter, AcceptsTls10To12AndRejectsTheRest) {
    for (std::uint8_t minor : {std::uint8_t{1}, std::uint8_t{2}, std::uint8_t{3}}) {
        auto r = Record(0x17, minor, 1);
        std::size_t offset = 0;
        TwSslRecordView v;
        const char* why = nullptr;
        EXPECT_EQ(GetSslRecord(r.data(), r.size(), &offset, &v, &why), RecordCut::kRecord) << int(minor);
    }
    for (std::uint8_t minor : {std::uint8_t{0}, std::uint8_t{4}, std::uint8_t{200}}) {
        auto r = Record(0x17, minor, 1);
        std::size_t offset = 0;
        TwSslRecordView v;
        const char* why = nullptr;
        EXPECT_EQ(GetSslRecord(r.data(), r.size(), &offset, &v, &why), RecordCut::kMalformed) << int(minor);
        EXPECT_EQ(offset, 0u);
    }
}

TEST(RecordCutter, ImpossibleLengthsAndTypesAreMalformed) {
    std::size_t offset = 0;
    TwSslRecordView v;
    const char* why = nullptr;
    std::vector<std::uint8_t> tooLong = {0x17, 3, 3, 0x48, 0x01};  // 18433
    EXPECT_EQ(GetSslRecord(tooLong.data(), tooLong.size(), &offset, &v, &why), RecordCut::kMalformed);
    std::vector<std::uint8_t> typeZero = {0x00, 3, 1, 0, 0};
    EXPECT_EQ(GetSslRecord(typeZero.data(), typeZero.size(), &offset, &v, &why), RecordCut::kMalformed);
    std::vector<std::uint8_t> sslv2 = {0x80, 0x2E, 0x01, 0x00, 0x02};
    EXPECT_EQ(GetSslRecord(sslv2.data(), sslv2.size(), &offset, &v, &why), RecordCut::kMalformed);
    auto maxOk = Record(0x17, 3, 18432);
    EXPECT_EQ(GetSslRecord(maxOk.data(), maxOk.size(), &offset, &v, &why), RecordCut::kRecord);
}

TEST(RecordCutter, TruncatedHeadersWaitForMore) {
    auto r = Record(0x57, 1, 8);
    for (std::size_t n = 0; n < r.size(); ++n) {
        std::size_t offset = 0;
        TwSslRecordView v;
        const char* why = nullptr;
        EXPECT_EQ(GetSslRecord(r.data(), n, &offset, &v, &why), RecordCut::kNeedMore) << n;
        EXPECT_EQ(r[0], 0x57);  // untouched until the record is whole
    }
}

TEST(RecordCutter, RandomInputNeverOverreads) {
    std::mt19937 rng(7);
    for (int round = 0; round < 20000; ++round) {
        std::vector<std::uint8_t> buf(rng() % 64);
        for (auto& b : buf) b = static_cast<std::uint8_t>(rng());
        if (buf.size() > 2 && rng() % 2) buf[1] = 3;
        std::size_t offset = 0;
        TwSslRecordView v;
        const char* why = nullptr;
        while (GetSslRecord(buf.data(), buf.size(), &offset, &v, &why) == RecordCut::kRecord) {
            ASSERT_LE(offset, buf.size());
            ASSERT_GE(v.length, 5u);
        }
    }
}

TEST(HandlerRegistry, RefusesHandshakeTypesAndDuplicates) {
    TwSslHandlerRegistry registry;
    EXPECT_EQ(registry.Register(21, 0, {}), nullptr);
    EXPECT_EQ(registry.Register(20, 0, {}), nullptr);
    auto* app = registry.Register(23, 8192, {});
    ASSERT_NE(app, nullptr);
    EXPECT_EQ(registry.Register(23, 0, {}), nullptr);
    auto* other = registry.Register(40, 0, {});
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(registry.Register(40, 0, {}), nullptr);
    EXPECT_EQ(registry.Find(40).get(), other);
    EXPECT_EQ(registry.Find(41), nullptr);  // no catch-all yet
    auto* all = registry.Register(255, 0, {});
    EXPECT_EQ(registry.Find(41).get(), all);
    EXPECT_TRUE(registry.Remove(other));
    EXPECT_FALSE(registry.Remove(other));
    EXPECT_TRUE(registry.Remove(app));
}

struct CacheHarness {
    std::vector<std::string> seen;
    std::uint32_t consume = 0;
    TwSslContentHandler handler;
    explicit CacheHarness(int size)
        : handler(23, size,
                  TwSslContentSink{[this](TwSslSession&, std::uint8_t, char* p, std::uint32_t n) {
                                       EXPECT_EQ(p[n], 0);  // always zero-terminated
                                       seen.emplace_back(p, n);
                                       return std::min(consume, n);
                                   },
                                   {}}) {}
    DeliverResult Push(const std::string& bytes) {
        int result = 0;
        std::size_t pos = 0;
        auto reader = [&](char* dst, int room) {
            int n =
                static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(room), bytes.size() - pos));
            std::memcpy(dst, bytes.data() + pos, static_cast<std::size_t>(n));
            pos += static_cast<std::size_t>(n);
            return n;
        };
        auto* session = reinterpret_cast<TwSslSession*>(this);
        return handler.Deliver(*session, 0, reader, &result);
    }
};

TEST(ContentCache, PassThroughDropsWhateverTheHandlerSays) {
    CacheHarness h(0);
    h.consume = 0;
    EXPECT_EQ(h.Push("abc"), DeliverResult::kDelivered);
    EXPECT_EQ(h.Push("def"), DeliverResult::kDelivered);
    EXPECT_EQ(h.seen, (std::vector<std::string>{"abc", "def"}));
}

TEST(ContentCache, CacheModeKeepsUnconsumedBytes) {
    CacheHarness h(16);
    h.consume = 2;
    EXPECT_EQ(h.Push("abcd"), DeliverResult::kDelivered);
    EXPECT_EQ(h.Push("ef"), DeliverResult::kDelivered);
    EXPECT_EQ(h.seen, (std::vector<std::string>{"abcd", "cdef"}));
    h.consume = 0;
    EXPECT_EQ(h.Push("0123456789ab"), DeliverResult::kDelivered);  // moves to the front, fills
    EXPECT_EQ(h.seen.back(), "ef0123456789ab");
    EXPECT_EQ(h.Push("XY"), DeliverResult::kCacheFull);
}

}  // namespace
