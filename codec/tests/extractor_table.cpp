#include "extractor_table.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "wendrel/ssr_codec.h"

namespace ssrfuzz {
namespace {

// Bounds of the message being parsed, for the checks below.
struct Span {
    const std::uint8_t* begin;
    std::size_t length;
};

bool Inside(const Span& s, const void* p) {
    const auto* b = static_cast<const std::uint8_t*>(p);
    return b >= s.begin && b < s.begin + s.length;
}

std::string CheckText(const Span& s, const char* t, const char* what) {
    if (t == nullptr) return {};
    if (!Inside(s, t)) return std::string(what) + " outside the message";
    const auto room = static_cast<std::size_t>(s.begin + s.length - reinterpret_cast<const std::uint8_t*>(t));
    if (std::memchr(t, 0, room) == nullptr) return std::string(what) + " not terminated inside the message";
    return {};
}

std::string CheckPtr(const Span& s, const void* p, const char* what) {
    if (p == nullptr || Inside(s, p)) return {};
    return std::string(what) + " outside the message";
}

short ShortSize(std::size_t length) { return static_cast<short>(length > SHRT_MAX ? SHRT_MAX : length); }

// Common result check: failures are fine; success must have consumed what the header announced.
template <typename SizeT>
std::string CheckSize(int rc, SizeT size, const Span& s) {
    if (rc != SSR_SUCCESS) return {};
    if (size < 4 || static_cast<std::size_t>(size) > s.length) return "size value out of range";
    const std::size_t announced = ((std::size_t{s.begin[2]} << 8) | s.begin[3]) + 4;
    if (static_cast<std::size_t>(size) != announced) return "size value differs from the header";
    return {};
}

#define SSR_CHECK(expr)                         \
    do {                                        \
        std::string problem_ = (expr);          \
        if (!problem_.empty()) return problem_; \
    } while (0)

std::string NameText(const std::uint8_t* m, std::size_t n,
                     int (*f)(const void*, short*, const char**, const char**)) {
    Span s{m, n};
    short size = ShortSize(n);
    const char *a = nullptr, *b = nullptr;
    const int rc = f(m, &size, &a, &b);
    SSR_CHECK(CheckSize(rc, size, s));
    if (rc != SSR_SUCCESS) return {};
    SSR_CHECK(CheckText(s, a, "name"));
    return CheckText(s, b, "text");
}

std::string NameErrorText(const std::uint8_t* m, std::size_t n,
                          int (*f)(const void*, short*, const char**, uint32_t*, const char**)) {
    Span s{m, n};
    short size = ShortSize(n);
    const char *a = nullptr, *b = nullptr;
    std::uint32_t e = 0;
    const int rc = f(m, &size, &a, &e, &b);
    SSR_CHECK(CheckSize(rc, size, s));
    if (rc != SSR_SUCCESS) return {};
    SSR_CHECK(CheckText(s, a, "name"));
    return CheckText(s, b, "text");
}

std::string ErrorText(const std::uint8_t* m, std::size_t n,
                      int (*f)(const void*, short*, uint32_t*, const char**)) {
    Span s{m, n};
    short size = ShortSize(n);
    const char* t = nullptr;
    std::uint32_t e = 0;
    const int rc = f(m, &size, &e, &t);
    SSR_CHECK(CheckSize(rc, size, s));
    return rc == SSR_SUCCESS ? CheckText(s, t, "text") : std::string();
}

std::string RouteCopy(SSR_ROUTE_LIST* list, std::size_t routeBytesMax) {
    if (list == nullptr) return "no route list";
    const bool ok = std::size_t{list->count} * 12 <= routeBytesMax;
    std::free(list);
    return ok ? std::string() : "route count larger than the message";
}

std::string ClientLogonAck(const std::uint8_t* m, std::size_t n) {
    Span s{m, n};
    short size = ShortSize(n);
    const char* name = nullptr;
    std::uint32_t v[6];
    SSR_ROUTE_LIST* list = nullptr;
    const int rc =
        ssr_ExtractClientLogonAck(m, &size, &name, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &list);
    SSR_CHECK(CheckSize(rc, size, s));
    if (rc != SSR_SUCCESS) return {};
    SSR_CHECK(CheckText(s, name, "name"));
    return RouteCopy(list, n);
}

std::string LinkSetupAck(const std::uint8_t* m, std::size_t n) {
    Span s{m, n};
    short size = ShortSize(n);
    const char* name = nullptr;
    std::uint32_t a = 0, b = 0;
    SSR_ROUTE_LIST* list = nullptr;
    const int rc = ssr_ExtractLinkSetupAck(m, &size, &name, &a, &b, &list);
    SSR_CHECK(CheckSize(rc, size, s));
    if (rc != SSR_SUCCESS) return {};
    SSR_CHECK(CheckText(s, name, "name"));
    return RouteCopy(list, n);
}

std::string GWLogonRequest(const std::uint8_t* m, std::size_t n) {
    Span s{m, n};
    short size = ShortSize(n);
    const char *a = nullptr, *b = nullptr, *t = nullptr;
    std::uint32_t v = 0;
    const int rc = ssr_ExtractGWLogonRequest(m, &size, &a, &b, &v, &t);
    SSR_CHECK(CheckSize(rc, size, s));
    if (rc != SSR_SUCCESS) return {};
    SSR_CHECK(CheckText(s, a, "name"));
    SSR_CHECK(CheckText(s, b, "peer name"));
    return CheckText(s, t, "text");
}

std::string GWLogonAck(const std::uint8_t* m, std::size_t n) {
    Span s{m, n};
    short size = ShortSize(n);
    std::uint32_t v = 0;
    std::uint16_t f = 0, k = 0;
    const void *d = nullptr, *r = nullptr, *p = nullptr;
    const int rc = ssr_ExtractGWLogonAck(m, &size, &v, &f, &k, &d, &r, &p);
    SSR_CHECK(CheckSize(rc, size, s));
    if (rc != SSR_SUCCESS) return {};
    SSR_CHECK(CheckPtr(s, r, "route list"));
    return CheckPtr(s, p, "second list");
}

std::string GWReport(const std::uint8_t* m, std::size_t n) {
    Span s{m, n};
    short size = ShortSize(n);
    std::uint32_t v = 0;
    const int rc = ssr_ExtractGWReport(m, &size, &v);
    return CheckSize(rc, size, s);
}

std::string GWUpdClient(const std::uint8_t* m, std::size_t n) {
    Span s{m, n};
    short size = ShortSize(n);
    std::uint32_t v = 0;
    std::uint16_t l = 0, f = 0;
    const char* t = nullptr;
    const int rc = ssr_ExtractGWUpdClient(m, &size, &v, &l, &t, &f);
    SSR_CHECK(CheckSize(rc, size, s));
    return rc == SSR_SUCCESS ? CheckText(s, t, "text") : std::string();
}

std::string GWUpdAck(const std::uint8_t* m, std::size_t n) {
    Span s{m, n};
    short size = ShortSize(n);
    std::uint32_t v = 0, c = 0, d = 0;
    std::uint16_t l = 0, a = 0, b = 0;
    const char* t = nullptr;
    const int rc = ssr_ExtractGWUpdAck(m, &size, &v, &l, &t, &a, &b, &c, &d);
    SSR_CHECK(CheckSize(rc, size, s));
    return rc == SSR_SUCCESS ? CheckText(s, t, "text") : std::string();
}

std::string GWUpdClient1(const std::uint8_t* m, std::size_t n) {
    Span s{m, n};
    short size = ShortSize(n);
    std::uint32_t v = 0, c = 0;
    std::uint16_t l = 0, a = 0;
    const char* t = nullptr;
    const int rc = ssr_ExtractGWUpdClient1(m, &size, &v, &l, &t, &a, &c);
    SSR_CHECK(CheckSize(rc, size, s));
    return rc == SSR_SUCCESS ? CheckText(s, t, "text") : std::string();
}

std::string GWLogUser(const std::uint8_t* m, std::size_t n) {
    Span s{m, n};
    short size = ShortSize(n);
    std::uint32_t v = 0, v2 = 0, tl = 0;
    std::uint16_t nl = 0;
    const char *name = nullptr, *t = nullptr;
    const int rc = ssr_ExtractGWLogUser(m, &size, &v, &nl, &name, &v2, &tl, &t);
    SSR_CHECK(CheckSize(rc, size, s));
    if (rc != SSR_SUCCESS) return {};
    SSR_CHECK(CheckText(s, name, "name"));
    return CheckText(s, t, "text");
}

std::string GWReport1(const std::uint8_t* m, std::size_t n) {
    Span s{m, n};
    short size = ShortSize(n);
    std::uint32_t v = 0;
    const void *r = nullptr, *a = nullptr, *b = nullptr;
    const int rc = ssr_ExtractGWReport1(m, &size, &v, &r, &a, &b);
    SSR_CHECK(CheckSize(rc, size, s));
    if (rc != SSR_SUCCESS) return {};
    SSR_CHECK(CheckPtr(s, r, "records"));
    SSR_CHECK(CheckPtr(s, a, "source flows"));
    return CheckPtr(s, b, "destination flows");
}

std::string CltRegRequest(const std::uint8_t* m, std::size_t n) {
    Span s{m, n};
    short size = ShortSize(n);
    std::uint32_t sid = 0, ip = 0;
    std::uint16_t ul = 0, k = 0;
    std::uint8_t sel = 0;
    const char* u = nullptr;
    const void* t = nullptr;
    const int rc = ssr_ExtractCltRegRequest(m, &size, &sid, &ul, &u, &sel, &ip, &k, &t);
    SSR_CHECK(CheckSize(rc, size, s));
    if (rc != SSR_SUCCESS) return {};
    SSR_CHECK(CheckText(s, u, "user"));
    if (k > 0 && (!Inside(s, t) || static_cast<const std::uint8_t*>(t) + k > m + n)) return "ticket outside";
    return {};
}

std::string CltRegisterAck(const std::uint8_t* m, std::size_t n) {
    Span s{m, n};
    short size = ShortSize(n);
    std::uint16_t st = 0;
    std::uint32_t a = 0, b = 0;
    const int rc = ssr_ExtractCltRegisterAck(m, &size, &st, &a, &b);
    return CheckSize(rc, size, s);
}

std::string CltLogonSvrRequest(const std::uint8_t* m, std::size_t n) {
    Span s{m, n};
    short size = ShortSize(n);
    std::uint16_t l = 0;
    const char *u = nullptr, *name = nullptr, *t = nullptr;
    const int rc = ssr_ExtractCltLogonSvrRequest(m, &size, &l, &u, &name, &t);
    SSR_CHECK(CheckSize(rc, size, s));
    if (rc != SSR_SUCCESS) return {};
    SSR_CHECK(CheckText(s, u, "user"));
    SSR_CHECK(CheckText(s, name, "name"));
    return CheckText(s, t, "text");
}

std::string SvrCltLogonAck(const std::uint8_t* m, std::size_t n) {
    Span s{m, n};
    short size = ShortSize(n);
    std::uint32_t sid = 0, v[6];
    std::uint16_t nl = 0;
    const char *name = nullptr, *t1 = nullptr, *t2 = nullptr, *cert = nullptr;
    const void *routes = nullptr, *gws = nullptr;
    std::uint8_t sel = 0, flag = 0, certLength = 0;
    const int rc = ssr_ExtractSvrCltLogonAck(m, &size, &sid, &nl, &name, &v[0], &v[1], &v[2], &v[3], &v[4],
                                             &v[5], &routes, &gws, &sel, &t1, &t2, &flag, &certLength, &cert);
    SSR_CHECK(CheckSize(rc, size, s));
    if (rc != SSR_SUCCESS) return {};
    SSR_CHECK(CheckText(s, name, "name"));
    SSR_CHECK(CheckText(s, t1, "text 1"));
    SSR_CHECK(CheckText(s, t2, "text 2"));
    SSR_CHECK(CheckText(s, cert, "certificate"));
    if (cert != nullptr && std::strlen(cert) != certLength) return "certificate length wrong";
    SSR_CHECK(CheckPtr(s, routes, "routes"));
    return CheckPtr(s, gws, "gateways");
}

std::string KeepAlive(const std::uint8_t* m, std::size_t n) {
    Span s{m, n};
    short size = ShortSize(n);
    const int rc = ssr_ExtractKeepAliveRequest(m, &size);
    SSR_CHECK(CheckSize(rc, size, s));
    size = ShortSize(n);
    const int rc2 = ssr_ExtractKeepAliveResponse(m, &size);
    return CheckSize(rc2, size, s);
}

// The two extractors that copy text into the client's 64-byte buffers: guard bytes after it.
template <typename F>
std::string Bounded(const std::uint8_t* m, std::size_t n, F call) {
    Span s{m, n};
    char text[SSR_ERROR_TEXT_BUFFER_SIZE + 8];
    std::memset(text, 0x5A, sizeof text);
    int size = static_cast<int>(n);
    const int rc = call(&size, text);
    SSR_CHECK(CheckSize(rc, size, s));
    for (std::size_t i = SSR_ERROR_TEXT_BUFFER_SIZE; i < sizeof text; ++i) {
        if (text[i] != 0x5A) return "wrote past the 64-byte text buffer";
    }
    if (rc == SSR_SUCCESS && std::memchr(text, 0, SSR_ERROR_TEXT_BUFFER_SIZE) == nullptr)
        return "text not terminated";
    return {};
}

std::string CutLogoff(const std::uint8_t* m, std::size_t n) {
    std::uint32_t e = 0;
    return Bounded(m, n,
                   [&](int* size, char* text) { return ssr_ExtractSvrCutCltLogoff(m, size, &e, text); });
}

std::string ResetPwdAck(const std::uint8_t* m, std::size_t n) {
    std::uint32_t e = 0, v = 0;
    return Bounded(
        m, n, [&](int* size, char* text) { return ssr_ExtractSvrCltResetPwdAck(m, size, &e, &v, text); });
}

std::string IPPacket(const std::uint8_t* m, std::size_t n) {
    Span s{m, n};
    short size = ShortSize(n);
    short length = 0;
    const void* frame = nullptr;
    const int rc = ssr_ExtractSsrIPPacket(m, &size, &length, &frame);
    SSR_CHECK(CheckSize(rc, size, s));
    if (rc == SSR_SUCCESS && static_cast<const std::uint8_t*>(frame) + length > m + n) return "frame outside";
    return {};
}

std::string ZlibPacket(const std::uint8_t* m, std::size_t n) {
    // One stream for the whole run, like a tunnel receiving garbage; a failed stream is reset.
    static SsrZlibStream* stream = [] {
        SsrZlibStream* z = nullptr;
        ssr_CreateSsrZlibStream(&z);
        return z;
    }();
    Span s{m, n};
    short size = ShortSize(n);
    std::uint8_t out[SSR_ZLIB_FRAME_CAPACITY + 8];
    std::memset(out, 0x5A, sizeof out);
    short capacity = SSR_ZLIB_FRAME_CAPACITY;
    const int rc = ssr_ExtractZlibCompressedSsrIPPacket(m, &size, &capacity, out, stream);
    SSR_CHECK(CheckSize(rc, size, s));
    if (rc == SSR_ERROR_ZLIB) ssr_ResetSsrZlibStream(stream);
    for (std::size_t i = SSR_ZLIB_FRAME_CAPACITY; i < sizeof out; ++i) {
        if (out[i] != 0x5A) return "inflated past the capacity";
    }
    if (rc == SSR_SUCCESS && (capacity < 0 || capacity > SSR_ZLIB_FRAME_CAPACITY))
        return "frame length out of range";
    return {};
}

}  // namespace

std::string RunHeader(const std::uint8_t* msg, std::size_t length) {
    SSR_HEADER h{};
    const int rc = ssr_ExtractPacketHeader(msg, static_cast<unsigned>(length), &h);
    if (rc == SSR_SUCCESS && std::size_t{h.payload_size} + 4 > length)
        return "header accepted a short message";
    return {};
}

const std::vector<Extractor>& Extractors() {
    static const std::vector<Extractor> table = {
        {"ClientLogonRequest",
         [](const std::uint8_t* m, std::size_t n) { return NameText(m, n, ssr_ExtractClientLogonRequest); }},
        {"ClientLogonAck", ClientLogonAck},
        {"ClientLogonNak",
         [](const std::uint8_t* m, std::size_t n) { return NameErrorText(m, n, ssr_ExtractClientLogonNak); }},
        {"LinkSetupRequest",
         [](const std::uint8_t* m, std::size_t n) { return NameText(m, n, ssr_ExtractLinkSetupRequest); }},
        {"LinkSetupAck", LinkSetupAck},
        {"LinkSetupNak",
         [](const std::uint8_t* m, std::size_t n) { return NameErrorText(m, n, ssr_ExtractLinkSetupNak); }},
        {"GWLogonRequest", GWLogonRequest},
        {"GWLogonAck", GWLogonAck},
        {"GWLogonNak",
         [](const std::uint8_t* m, std::size_t n) { return ErrorText(m, n, ssr_ExtractGWLogonNak); }},
        {"GWReport", GWReport},
        {"GWUpdClient", GWUpdClient},
        {"GWUpdAck", GWUpdAck},
        {"GWLogUser", GWLogUser},
        {"GWReport1", GWReport1},
        {"CltRegRequest", CltRegRequest},
        {"CltRegisterAck", CltRegisterAck},
        {"CltRegisterNak",
         [](const std::uint8_t* m, std::size_t n) { return ErrorText(m, n, ssr_ExtractCltRegisterNak); }},
        {"CltLogonSvrRequest", CltLogonSvrRequest},
        {"SvrCltLogonAck", SvrCltLogonAck},
        {"CltSvrLogonNak",
         [](const std::uint8_t* m, std::size_t n) { return ErrorText(m, n, ssr_ExtractCltSvrLogonNak); }},
        {"KeepAlive", KeepAlive},
        {"GWUpdClient1", GWUpdClient1},
        {"SvrCutCltLogoff", CutLogoff},
        {"SvrCltResetPwdAck", ResetPwdAck},
        {"SsrIPPacket", IPPacket},
        {"ZlibCompressedSsrIPPacket", ZlibPacket},
    };
    return table;
}

}  // namespace ssrfuzz
