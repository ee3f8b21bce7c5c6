// Random, truncated, mutated and oversized input to every parser. Each input sits in a heap block
// of exactly its size, so under ASan any read past the bytes given is caught.
#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "extractor_table.h"
#include "ssr_test_util.h"
#include "wendrel/ssr_codec.h"

namespace {

using namespace ssrtest;

std::vector<Bytes> Seeds() {
    static const std::uint8_t ticket[4] = {1, 2, 3, 4};
    struct {
        std::uint32_t count = 2;
        SSR_ROUTE routes[2] = {{1, 2, 3}, {4, 5, 6}};
    } routes;
    struct {
        std::uint32_t count = 2;
        SSR_ADDRESS_PAIR pairs[2] = {{1, 2}, {3, 4}};
    } pairs;
    struct {
        std::uint32_t count = 2;
        SSR_REPORT_RECORD records[2] = {{1, 2, "rec"}, {3, 4, "x"}};
    } records;
    struct {
        std::uint32_t count = 2;
        SSR_GATEWAY_ENTRY gateways[2] = {{9, 4, ticket}, {10, 0, nullptr}};
    } gateways;
    const auto* r = reinterpret_cast<const SSR_ROUTE_LIST*>(&routes);
    const auto* p = reinterpret_cast<const SSR_PAIR_LIST*>(&pairs);
    std::vector<Bytes> seeds = {
        Build([](void* b, short* s) { return ssr_ConstructClientLogonRequest(b, s, "name", "text"); }),
        Build([&](void* b, short* s) { return ssr_ConstructClientLogonAck(b, s, "n", 1, 2, 3, 4, 5, 6, r); }),
        Build([](void* b, short* s) { return ssr_ConstructClientLogonNak(b, s, "n", 1, "no"); }),
        Build([](void* b, short* s) { return ssr_ConstructLinkSetupRequest(b, s, "n", "t"); }),
        Build([&](void* b, short* s) { return ssr_ConstructLinkSetupAck(b, s, "n", 1, 2, r); }),
        Build([](void* b, short* s) { return ssr_ConstructLinkSetupNak(b, s, "n", 1, "no"); }),
        Build([](void* b, short* s) { return ssr_ConstructGWLogonRequest(b, s, "a", "b", 1, "c"); }),
        Build([&](void* b, short* s) { return ssr_ConstructGWLogonAck(b, s, 1, 2, 4, ticket, r, p); }),
        Build([](void* b, short* s) { return ssr_ConstructGWLogonNak(b, s, 1, "no"); }),
        Build([](void* b, short* s) { return ssr_ConstructGWReport(b, s, 1); }),
        Build([](void* b, short* s) { return ssr_ConstructGWUpdClient(b, s, 1, "v", 2); }),
        Build([](void* b, short* s) { return ssr_ConstructGWUpdAck(b, s, 1, "v", 2, 3, 4, 5); }),
        Build([](void* b, short* s) { return ssr_ConstructGWLogUser(b, s, 1, "u", 2, "t"); }),
        Build([&](void* b, short* s) {
            return ssr_ConstructGWReport1(b, s, 1, reinterpret_cast<const SSR_REPORT_RECORD_LIST*>(&records),
                                          p, p);
        }),
        Build([](void* b, short* s) { return ssr_ConstructCltRegRequest(b, s, 1, "u", 2, 3, 4, ticket); }),
        Build([](void* b, short* s) { return ssr_ConstructCltRegisterAck(b, s, 1, 2, 3); }),
        Build([](void* b, short* s) { return ssr_ConstructCltRegisterNak(b, s, 1, "no"); }),
        Build([](void* b, short* s) { return ssr_ConstructCltLogonSvrRequest(b, s, "u", "n", "t"); }),
        Build([&](void* b, short* s) {
            return ssr_ConstructSvrCltLogonAck(b, s, 1, "u", 1, 2, 3, 4, 5, 6, r,
                                               reinterpret_cast<const SSR_GATEWAY_LIST*>(&gateways), 3, "t1",
                                               "t2", 1);
        }),
        Build([](void* b, short* s) { return ssr_ConstructCltSvrLogonNak(b, s, 1, "no"); }),
        Build([](void* b, short* s) { return ssr_ConstructKeepAliveRequest(b, s); }),
        Build([](void* b, short* s) { return ssr_ConstructGWUpdClient1(b, s, 1, "v", 2, 3); }),
        Build([](void* b, short* s) { return ssr_ConstructCltLogonSvrRequest3(b, s, "u", "p", 1, "hw", 0); }),
        Build<int>([](void* b, int* s) { return ssr_ConstructCltSvrResetPwd(b, s, 1, "u", "o", "n"); }),
        Control(94, {0, 0, 0, 1, 0, 0, 0, 0, 'b', 'y', 'e', 0}),
        Control(104, {0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 'o', 'k', 0}),
    };
    // A compressed frame from a real stream.
    SsrZlibStream* z = nullptr;
    ssr_CreateSsrZlibStream(&z);
    const std::string frame(300, 'h');
    Bytes zmsg(SSR_ZLIB_MESSAGE_SIZE);
    short size = SSR_ZLIB_MESSAGE_SIZE;
    if (ssr_ConstructZlibCompressedSsrIPPacket(zmsg.data(), &size, 300, frame.data(), z) == SSR_SUCCESS) {
        zmsg.resize(static_cast<std::size_t>(size));
        seeds.push_back(zmsg);
    }
    ssr_CloseSsrZlibStream(z);
    return seeds;
}

// Runs every parser on `input`, held in a block of exactly its size.
void RunAll(const Bytes& input, const char* what) {
    const std::size_t n = input.size();
    std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[n > 0 ? n : 1]);
    if (n > 0) std::memcpy(exact.get(), input.data(), n);
    // A zero-length input still gets a pointer, one that must never be read.
    const std::uint8_t* msg = exact.get();
    if (const std::string p = ssrfuzz::RunHeader(msg, n); !p.empty())
        ADD_FAILURE() << what << ": header: " << p;
    for (const ssrfuzz::Extractor& e : ssrfuzz::Extractors()) {
        const std::string problem = e.run(msg, n);
        if (!problem.empty())
            ADD_FAILURE() << what << ": " << e.name << ": " << problem << " (length " << n << ")";
    }
}

void SetPayloadSize(Bytes& m) {
    if (m.size() < 4) return;
    const std::size_t payload = m.size() - 4 > 0xFFFF ? 0xFFFF : m.size() - 4;
    m[2] = static_cast<std::uint8_t>(payload >> 8);
    m[3] = static_cast<std::uint8_t>(payload);
}

TEST(SsrFuzz, SeedsParseCleanly) {
    for (const Bytes& seed : Seeds()) RunAll(seed, "seed");
}

TEST(SsrFuzz, EveryTruncation) {
    for (const Bytes& seed : Seeds()) {
        for (std::size_t len = 0; len < seed.size(); ++len) {
            Bytes cut(seed.begin(), seed.begin() + static_cast<std::ptrdiff_t>(len));
            RunAll(cut, "truncated");
            // The same bytes with a header that agrees with them: the layout itself is cut.
            SetPayloadSize(cut);
            RunAll(cut, "truncated payload");
        }
    }
}

TEST(SsrFuzz, MutatedSeeds) {
    std::mt19937 rng(20240611);
    const std::vector<Bytes> seeds = Seeds();
    for (int round = 0; round < 300; ++round) {
        for (const Bytes& seed : seeds) {
            Bytes m = seed;
            const int edits = 1 + static_cast<int>(rng() % 6);
            for (int e = 0; e < edits && m.size() > 4; ++e) {
                const std::size_t at = 4 + rng() % (m.size() - 4);
                switch (rng() % 5) {
                    case 0: m[at] = static_cast<std::uint8_t>(rng()); break;
                    case 1: m[at] = 0xFF; break;
                    case 2: m[at] = 0; break;
                    case 3:
                        m.insert(m.begin() + static_cast<std::ptrdiff_t>(at),
                                 static_cast<std::uint8_t>(rng()));
                        break;
                    default: m.erase(m.begin() + static_cast<std::ptrdiff_t>(at)); break;
                }
            }
            if (rng() % 2 == 0) SetPayloadSize(m);
            RunAll(m, "mutated");
        }
    }
}

TEST(SsrFuzz, RandomAndOversizedInput) {
    std::mt19937 rng(7);
    for (int i = 0; i < 3000; ++i) {
        Bytes m(rng() % 700);
        for (auto& c : m) c = static_cast<std::uint8_t>(rng());
        if (m.size() >= 4 && i % 3 == 0) m[0] = 0x13;
        if (i % 3 == 1) SetPayloadSize(m);
        RunAll(m, "random");
    }
    // Announced payloads far beyond the bytes given, and inputs beyond what a 16-bit size can say.
    for (std::size_t len : {4u, 5u, 100u, 40000u, 0xFFFFu + 4}) {
        Bytes m(len, 0xFF);
        m[0] = 0x13;
        RunAll(m, "oversized");
        SetPayloadSize(m);
        RunAll(m, "large");
        std::fill(m.begin() + 4, m.end(), 0);
        RunAll(m, "large zeros");
    }
}

}  // namespace
