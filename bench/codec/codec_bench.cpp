// Builds and parses SSR data messages for 64-, 576- and 1,514-byte Ethernet frames (IPv4 + TCP
// headers with HTTP-like payloads), plain and deflated, and runs raw zlib deflate/inflate with a
// sync flush per frame over the same frames as the baseline. Prints messages per second and MB/s
// of frame bytes. Usage: codec_bench [seconds-per-case, default 0.5]
#include <zlib.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "wendrel/ssr_codec.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kPool = 512;            // distinct frames per size, sent round-robin
constexpr std::size_t kCompressedRun = 4096;  // messages built before each inflate pass

// The opening of a request or response: a word, a number and a hex tag vary per frame.
std::string MakeHead(std::size_t kind, const std::string& word, unsigned number, unsigned tag) {
    char head[512];
    switch (kind % 3) {
        case 0:
            std::snprintf(head, sizeof head,
                          "GET /portal/%s/index.html?id=%u HTTP/1.1\r\nHost: intranet.example\r\n"
                          "User-Agent: Mozilla/5.0\r\nAccept: text/html,application/xhtml+xml\r\n"
                          "Cookie: session=%08x\r\n\r\n",
                          word.c_str(), number, tag);
            break;
        case 1:
            std::snprintf(head, sizeof head,
                          "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nX-Page: %s\r\n"
                          "Content-Length: %u\r\nETag: \"%08x\"\r\n\r\n<html><head><title>Staff portal"
                          "</title></head><body>",
                          word.c_str(), number, tag);
            break;
        default:
            std::snprintf(head, sizeof head,
                          "POST /api/v2/tickets HTTP/1.1\r\nHost: helpdesk.example\r\n"
                          "Content-Type: application/json\r\nX-Request-Id: %s-%u-%08x\r\n\r\n"
                          "{\"title\":\"ticket\",\"body\":\"",
                          word.c_str(), number, tag);
            break;
    }
    return head;
}

// Office prose and markup the payloads are made of.
std::vector<std::string> Words() {
    const std::string all =
        "the printer on floor three jams when printing reports quarterly budget meeting room is booked for "
        "tuesday please update your password before friday network maintenance window starts at midnight and "
        "lasts two hours <p> </p> <li> </li> <a href=\"/wiki/ \"> </a> class=\"row\" <div </div> invoice "
        "customer order shipped warehouse delivery pending approved rejected holiday schedule payroll "
        "benefits "
        "training security policy vpn laptop mail calendar project deadline review draft final version 2024 "
        "Q3 "
        "sales east west region total amount EUR USD account manager team lead office";
    std::vector<std::string> words;
    std::size_t start = 0;
    while (start < all.size()) {
        std::size_t end = all.find(' ', start);
        if (end == std::string::npos) end = all.size();
        words.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return words;
}

// Ethernet + IPv4 + TCP header (54 bytes) and an HTTP-like text payload; addresses, ids,
// sequence numbers and the words of the text vary from frame to frame.
Bytes MakeFrame(std::size_t length, std::size_t index) {
    Bytes f(length);
    std::uint8_t h[54] = {0x00, 0xff, 0xff, 0xff, 0x01, 0x00, 0x00, 0xff, 0xff, 0xff, 0x00, 0x00, 0x08, 0x00,
                          0x45, 0x00, 0,    0,    0,    0,    0x40, 0x00, 0x40, 0x06, 0,    0,    198,  18,
                          0,    2,    203,  0,    113,  10,   0,    0,    0x00, 0x50, 0,    0,    0,    0,
                          0,    0,    0,    0,    0x50, 0x18, 0x01, 0xf5, 0,    0,    0,    0};
    const std::size_t ipLength = length - 14;
    h[16] = static_cast<std::uint8_t>(ipLength >> 8);
    h[17] = static_cast<std::uint8_t>(ipLength);
    h[18] = static_cast<std::uint8_t>(index >> 8);
    h[19] = static_cast<std::uint8_t>(index);
    h[33] = static_cast<std::uint8_t>(10 + index % 7);
    h[34] = static_cast<std::uint8_t>(0xC0 | (index & 0x3F));
    h[35] = static_cast<std::uint8_t>(index * 7);
    const std::uint32_t seq = static_cast<std::uint32_t>(1000 + index * 1460);
    for (int i = 0; i < 4; ++i) h[38 + i] = static_cast<std::uint8_t>(seq >> (24 - 8 * i));
    std::memcpy(f.data(), h, length < sizeof h ? length : sizeof h);

    std::uint32_t rng = static_cast<std::uint32_t>(index * 2654435761u + 12345);
    auto next = [&rng] { return rng = rng * 1664525u + 1013904223u; };
    static const std::vector<std::string> words = Words();
    const std::string& word = words[next() % words.size()];
    std::string text = MakeHead(index, word, next() % 100000, next());
    while (text.size() < length) {
        text += words[next() % words.size()];
        text += (next() % 9 == 0) ? "\r\n" : " ";
    }
    for (std::size_t i = sizeof h; i < length; ++i) f[i] = static_cast<std::uint8_t>(text[i - sizeof h]);
    return f;
}

struct Result {
    double messages = 0;
    double seconds = 0;
    double bytes = 0;
};

void Print(const char* what, std::size_t frameSize, const Result& r) {
    const double rate = r.messages / r.seconds;
    std::printf("  %-28s %5zu B  %12.0f msg/s  %9.1f MB/s\n", what, frameSize, rate,
                r.bytes / r.seconds / 1e6);
}

template <typename Body>
Result Run(double budget, std::size_t frameSize, Body body) {
    Result r;
    const auto start = Clock::now();
    do {
        r.messages += static_cast<double>(body());
    } while (std::chrono::duration<double>(Clock::now() - start).count() < budget);
    r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    r.bytes = r.messages * static_cast<double>(frameSize);
    return r;
}

volatile std::size_t g_sink = 0;

void BenchSize(std::size_t frameSize, double budget) {
    std::vector<Bytes> frames;
    for (std::size_t i = 0; i < kPool; ++i) frames.push_back(MakeFrame(frameSize, i));
    Bytes msg(3028);

    Print("build plain", frameSize, Run(budget, frameSize, [&] {
              for (const Bytes& f : frames) {
                  short size = static_cast<short>(msg.size());
                  if (ssr_ConstructSsrIPPacket(msg.data(), &size, static_cast<int>(f.size()), f.data()) != 0)
                      std::abort();
              }
              return frames.size();
          }));

    std::vector<Bytes> plain;
    for (const Bytes& f : frames) {
        Bytes m(f.size() + 4);
        short size = static_cast<short>(m.size());
        ssr_ConstructSsrIPPacket(m.data(), &size, static_cast<int>(f.size()), f.data());
        plain.push_back(m);
    }
    Print("parse plain (no copy)", frameSize, Run(budget, frameSize, [&] {
              for (const Bytes& m : plain) {
                  SSR_HEADER h;
                  if (ssr_ExtractPacketHeader(m.data(), static_cast<unsigned>(m.size()), &h) != 0)
                      std::abort();
                  short size = static_cast<short>(m.size()), length = 0;
                  const void* frame = nullptr;
                  if (ssr_ExtractSsrIPPacket(m.data(), &size, &length, &frame) != 0) std::abort();
                  g_sink = g_sink + static_cast<std::size_t>(length);
              }
              return plain.size();
          }));

    // Compressed: build a run of messages on one stream, then inflate them in order on the peer.
    SsrZlibStream* out = nullptr;
    SsrZlibStream* in = nullptr;
    if (ssr_CreateSsrZlibStream(&out) != 0 || ssr_CreateSsrZlibStream(&in) != 0) std::abort();
    std::vector<Bytes> run(kCompressedRun, Bytes(SSR_ZLIB_MESSAGE_SIZE));
    std::vector<short> runSize(kCompressedRun);
    double wireBytes = 0, frameBytes = 0;
    Result build, parse;
    const auto start = Clock::now();
    Bytes frameOut(3028);
    do {
        ssr_ResetSsrZlibStream(out);
        ssr_ResetSsrZlibStream(in);
        auto t0 = Clock::now();
        for (std::size_t i = 0; i < kCompressedRun; ++i) {
            const Bytes& f = frames[i % kPool];
            runSize[i] = SSR_ZLIB_MESSAGE_SIZE;
            if (ssr_ConstructZlibCompressedSsrIPPacket(run[i].data(), &runSize[i], static_cast<int>(f.size()),
                                                       f.data(), out) != 0)
                std::abort();
        }
        auto t1 = Clock::now();
        for (std::size_t i = 0; i < kCompressedRun; ++i) {
            SSR_HEADER h;
            if (ssr_ExtractPacketHeader(run[i].data(), static_cast<unsigned>(runSize[i]), &h) != 0)
                std::abort();
            short size = runSize[i];
            short capacity = static_cast<short>(frameOut.size());
            if (ssr_ExtractZlibCompressedSsrIPPacket(run[i].data(), &size, &capacity, frameOut.data(), in) !=
                0)
                std::abort();
            if (static_cast<std::size_t>(capacity) != frameSize) std::abort();
            wireBytes += size;
            frameBytes += capacity;
        }
        auto t2 = Clock::now();
        build.seconds += std::chrono::duration<double>(t1 - t0).count();
        parse.seconds += std::chrono::duration<double>(t2 - t1).count();
        build.messages += kCompressedRun;
        parse.messages += kCompressedRun;
    } while (std::chrono::duration<double>(Clock::now() - start).count() < 2 * budget);
    build.bytes = build.messages * static_cast<double>(frameSize);
    parse.bytes = build.bytes;
    Print("build zlib", frameSize, build);
    Print("parse zlib (header+inflate)", frameSize, parse);
    std::printf("  %-28s %5zu B  wire/frame bytes = %.3f\n", "zlib ratio", frameSize, wireBytes / frameBytes);
    ssr_CloseSsrZlibStream(out);
    ssr_CloseSsrZlibStream(in);

    // Baseline: zlib alone, same frames, same flush, same level, same run length.
    z_stream d{}, n{};
    if (deflateInit(&d, Z_DEFAULT_COMPRESSION) != Z_OK || inflateInit(&n) != Z_OK) std::abort();
    Result rawDeflate, rawInflate;
    const auto rawStart = Clock::now();
    do {
        deflateReset(&d);
        inflateReset(&n);
        auto t0 = Clock::now();
        for (std::size_t i = 0; i < kCompressedRun; ++i) {
            Bytes& f = frames[i % kPool];
            d.next_in = f.data();
            d.avail_in = static_cast<uInt>(f.size());
            d.next_out = run[i].data();
            d.avail_out = SSR_ZLIB_OUTPUT_ROOM;
            if (deflate(&d, Z_SYNC_FLUSH) != Z_OK) std::abort();
            runSize[i] = static_cast<short>(SSR_ZLIB_OUTPUT_ROOM - d.avail_out);
        }
        auto t1 = Clock::now();
        for (std::size_t i = 0; i < kCompressedRun; ++i) {
            n.next_in = run[i].data();
            n.avail_in = static_cast<uInt>(runSize[i]);
            n.next_out = frameOut.data();
            n.avail_out = static_cast<uInt>(frameOut.size());
            if (inflate(&n, Z_SYNC_FLUSH) != Z_OK) std::abort();
        }
        auto t2 = Clock::now();
        rawDeflate.seconds += std::chrono::duration<double>(t1 - t0).count();
        rawInflate.seconds += std::chrono::duration<double>(t2 - t1).count();
        rawDeflate.messages += kCompressedRun;
        rawInflate.messages += kCompressedRun;
    } while (std::chrono::duration<double>(Clock::now() - rawStart).count() < 2 * budget);
    rawDeflate.bytes = rawDeflate.messages * static_cast<double>(frameSize);
    rawInflate.bytes = rawDeflate.bytes;
    Print("raw zlib deflate (baseline)", frameSize, rawDeflate);
    Print("raw zlib inflate (baseline)", frameSize, rawInflate);
    deflateEnd(&d);
    inflateEnd(&n);
}

}  // namespace

int main(int argc, char** argv) {
    const double budget = argc > 1 ? std::atof(argv[1]) : 0.5;
    if (budget <= 0) {
        std::fprintf(stderr, "usage: %s [seconds-per-case]\n", argv[0]);
        return 2;
    }
    std::printf("SSR data messages (MB/s counts frame bytes; %zu distinct frames per size)\n", kPool);
    for (const std::size_t size : {std::size_t{64}, std::size_t{576}, std::size_t{1514}})
        BenchSize(size, budget);
    return 0;
}
