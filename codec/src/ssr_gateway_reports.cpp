// Gateway reports, update notices and user/application logs (codes 11-14, 25, 87): a leading
// value, then counted texts and trailing values.
#include <cstdio>

#include "control_lists.h"
#include "ssr_log.h"
#include "wendrel/ssr_control.h"
#include "wire.h"

using namespace wendrel;

namespace {

// The u16 count written before a text; the message size limit keeps it within 16 bits.
std::uint16_t CountOf(const char* text) { return static_cast<std::uint16_t>(TextBytes(text)); }

// u32, then a counted text; the part every message of this family starts with (written, read).
void WriteLead(WireWriter& w, std::uint32_t value, const char* text) {
    w.U32(value);
    w.U16(CountOf(text));
    w.Text(text);
}

bool ReadLead(WireReader& r, std::uint32_t* value, std::uint16_t* length, const char** text) {
    return r.U32(value) && r.U16(length) && r.CountedText(*length, text);
}

int BuildLogUser(void* buf, short* size, std::uint8_t code, std::uint32_t value, const char* name,
                 std::uint32_t value2, const char* text) {
    if (size == nullptr) return SSR_ERROR_INVALID_ARGUMENT;
    const int rc = BeginControl(buf, size, 4 + 2 + TextBytes(name) + 4 + 4 + TextBytes(text), code);
    if (rc != SSR_SUCCESS) return rc;
    WireWriter w(buf, static_cast<std::size_t>(*size));
    WriteLead(w, value, name);
    w.U32(value2);
    w.U32(static_cast<std::uint32_t>(TextBytes(text)));
    w.Text(text);
    return EndMessage(w);
}

// `side` is "sip" (sources) or "dip" (destinations).
void LogFlows(const char* side, const std::uint8_t* pairs, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint8_t* p = pairs + std::size_t{i} * kPairBytes;
        char ip[16];
        std::snprintf(ip, sizeof ip, "%u.%u.%u.%u", p[0], p[1], p[2], p[3]);
        const std::uint32_t bytes = (std::uint32_t{p[4]} << 24) | (std::uint32_t{p[5]} << 16) |
                                    (std::uint32_t{p[6]} << 8) | std::uint32_t{p[7]};
        SSR_LOG("%s_flow[%d].ip = %s, data_flow = %d\n", side, static_cast<int>(i), ip,
                static_cast<int>(bytes));
    }
}

// A u32 count p and p pairs; *out points at the count.
bool ReadFlows(WireReader& r, const void** out, std::uint32_t* count) {
    *out = r.Here();
    return r.U32(count) && SkipPairs(r, *count);
}

}  // namespace

extern "C" {

SSR_API int ssr_ConstructGWUpdClient(void* buf, short* size, uint32_t value, const char* text,
                                     uint16_t flags) {
    if (size == nullptr) return SSR_ERROR_INVALID_ARGUMENT;
    const int rc = BeginControl(buf, size, 4 + 2 + TextBytes(text) + 2, SSR_CODE_MNG_GW_UPD_CLIENT);
    if (rc != SSR_SUCCESS) return rc;
    WireWriter w(buf, static_cast<std::size_t>(*size));
    WriteLead(w, value, text);
    w.U16(flags);
    return EndMessage(w);
}

SSR_API int ssr_ExtractGWUpdClient(const void* msg, short* size, uint32_t* value, uint16_t* text_length,
                                   const char** text, uint16_t* flags) {
    if (msg == nullptr || size == nullptr || value == nullptr || text_length == nullptr || text == nullptr ||
        flags == nullptr)
        return SSR_ERROR_INVALID_ARGUMENT;
    std::size_t end = 0;
    if (const int rc = BeginExtract(msg, size, &end); rc != SSR_SUCCESS) return rc;
    WireReader r(msg, end);
    std::uint32_t v = 0;
    std::uint16_t l = 0, f = 0;
    const char* t = nullptr;
    if (!ReadLead(r, &v, &l, &t) || !r.U16(&f)) return SSR_ERROR_INCOMPLETE;
    *value = v;
    *text_length = l;
    *text = t;
    *flags = f;
    return SSR_SUCCESS;
}

SSR_API int ssr_ConstructGWUpdAck(void* buf, short* size, uint32_t value, const char* text, uint16_t value2,
                                  uint16_t value3, uint32_t value4, uint32_t value5) {
    if (size == nullptr) return SSR_ERROR_INVALID_ARGUMENT;
    const int rc = BeginControl(buf, size, 4 + 2 + TextBytes(text) + 12, SSR_CODE_MNG_GW_UPD_ACK);
    if (rc != SSR_SUCCESS) return rc;
    WireWriter w(buf, static_cast<std::size_t>(*size));
    WriteLead(w, value, text);
    w.U16(value2);
    w.U16(value3);
    w.U32(value4);
    w.U32(value5);
    return EndMessage(w);
}

SSR_API int ssr_ExtractGWUpdAck(const void* msg, short* size, uint32_t* value, uint16_t* text_length,
                                const char** text, uint16_t* value2, uint16_t* value3, uint32_t* value4,
                                uint32_t* value5) {
    if (msg == nullptr || size == nullptr || value == nullptr || text_length == nullptr || text == nullptr ||
        value2 == nullptr || value3 == nullptr || value4 == nullptr || value5 == nullptr)
        return SSR_ERROR_INVALID_ARGUMENT;
    std::size_t end = 0;
    if (const int rc = BeginExtract(msg, size, &end); rc != SSR_SUCCESS) return rc;
    WireReader r(msg, end);
    std::uint32_t v = 0, v4 = 0, v5 = 0;
    std::uint16_t l = 0, v2 = 0, v3 = 0;
    const char* t = nullptr;
    if (!ReadLead(r, &v, &l, &t) || !r.U16(&v2) || !r.U16(&v3) || !r.U32(&v4) || !r.U32(&v5))
        return SSR_ERROR_INCOMPLETE;
    *value = v;
    *text_length = l;
    *text = t;
    *value2 = v2;
    *value3 = v3;
    *value4 = v4;
    *value5 = v5;
    return SSR_SUCCESS;
}

SSR_API int ssr_ConstructGWLogUser(void* buf, short* size, uint32_t value, const char* name, uint32_t value2,
                                   const char* text) {
    return BuildLogUser(buf, size, SSR_CODE_MNG_GW_LOG_USER, value, name, value2, text);
}

SSR_API int ssr_ConstructGWLogApp(void* buf, short* size, uint32_t value, const char* name, uint32_t value2,
                                  const char* text) {
    return BuildLogUser(buf, size, SSR_CODE_MNG_GW_LOG_APP, value, name, value2, text);
}

SSR_API int ssr_ExtractGWLogUser(const void* msg, short* size, uint32_t* value, uint16_t* name_length,
                                 const char** name, uint32_t* value2, uint32_t* text_length,
                                 const char** text) {
    if (msg == nullptr || size == nullptr || value == nullptr || name_length == nullptr || name == nullptr ||
        value2 == nullptr || text_length == nullptr || text == nullptr)
        return SSR_ERROR_INVALID_ARGUMENT;
    std::size_t end = 0;
    if (const int rc = BeginExtract(msg, size, &end); rc != SSR_SUCCESS) return rc;
    WireReader r(msg, end);
    std::uint32_t v = 0, v2 = 0, tl = 0;
    std::uint16_t nl = 0;
    const char* n = nullptr;
    const char* t = nullptr;
    if (!ReadLead(r, &v, &nl, &n) || !r.U32(&v2) || !r.U32(&tl) || !r.CountedText(tl, &t))
        return SSR_ERROR_INCOMPLETE;
    *value = v;
    *name_length = nl;
    *name = n;
    *value2 = v2;
    *text_length = tl;
    *text = t;
    return SSR_SUCCESS;
}

SSR_API int ssr_ConstructGWReport1(void* buf, short* size, uint32_t value,
                                   const SSR_REPORT_RECORD_LIST* records, const SSR_PAIR_LIST* source_flows,
                                   const SSR_PAIR_LIST* destination_flows) {
    if (size == nullptr) return SSR_ERROR_INVALID_ARGUMENT;
    const std::uint32_t n = records != nullptr ? records->count : 0;
    std::uint64_t payload = 8 + PairListBytes(source_flows, 4) + PairListBytes(destination_flows, 4);
    for (std::uint32_t i = 0; i < n && payload <= kMaxPayload; ++i)
        payload += 10 + TextBytes(records->records[i].text);
    const int rc = BeginControl(buf, size, payload, SSR_CODE_MNG_GW_REPORT1);
    if (rc != SSR_SUCCESS) return rc;
    WireWriter w(buf, static_cast<std::size_t>(*size));
    w.U32(value);
    w.U32(n);
    for (std::uint32_t i = 0; i < n; ++i) {
        const SSR_REPORT_RECORD& rec = records->records[i];
        w.U32(rec.value1);
        w.U32(rec.value2);
        w.U16(CountOf(rec.text));
        w.Text(rec.text);
    }
    w.U32(source_flows != nullptr ? source_flows->count : 0);
    WritePairs(w, source_flows);
    w.U32(destination_flows != nullptr ? destination_flows->count : 0);
    WritePairs(w, destination_flows);
    return EndMessage(w);
}

SSR_API int ssr_ExtractGWReport1(const void* msg, short* size, uint32_t* value, const void** records,
                                 const void** source_flows, const void** destination_flows) {
    if (msg == nullptr || size == nullptr || value == nullptr || records == nullptr ||
        source_flows == nullptr || destination_flows == nullptr)
        return SSR_ERROR_INVALID_ARGUMENT;
    std::size_t end = 0;
    if (const int rc = BeginExtract(msg, size, &end); rc != SSR_SUCCESS) return rc;
    WireReader r(msg, end);
    std::uint32_t v = 0, n = 0;
    if (!r.U32(&v)) return SSR_ERROR_INCOMPLETE;
    const void* recs = r.Here();
    if (!r.U32(&n)) return SSR_ERROR_INCOMPLETE;
    // Each record takes at least 11 bytes, so a count beyond that is rejected before the walk.
    if (std::uint64_t{n} * 11 > r.Remaining()) return SSR_ERROR_INCOMPLETE;
    for (std::uint32_t i = 0; i < n; ++i) {
        std::uint32_t a = 0, b = 0;
        std::uint16_t l = 0;
        const char* t = nullptr;
        if (!r.U32(&a) || !r.U32(&b) || !r.U16(&l) || !r.CountedText(l, &t)) return SSR_ERROR_INCOMPLETE;
    }
    const void* sip = nullptr;
    const void* dip = nullptr;
    std::uint32_t p = 0, q = 0;
    if (!ReadFlows(r, &sip, &p) || !ReadFlows(r, &dip, &q)) return SSR_ERROR_INCOMPLETE;
    LogFlows("sip", static_cast<const std::uint8_t*>(sip) + 4, p);
    LogFlows("dip", static_cast<const std::uint8_t*>(dip) + 4, q);
    *value = v;
    *records = recs;
    *source_flows = sip;
    *destination_flows = dip;
    return SSR_SUCCESS;
}

SSR_API int ssr_ConstructGWUpdClient1(void* buf, short* size, uint32_t value, const char* text,
                                      uint16_t value2, uint32_t value3) {
    if (size == nullptr) return SSR_ERROR_INVALID_ARGUMENT;
    const int rc = BeginControl(buf, size, 4 + 2 + TextBytes(text) + 6, SSR_CODE_MNG_GW_UPD_CLIENT1);
    if (rc != SSR_SUCCESS) return rc;
    WireWriter w(buf, static_cast<std::size_t>(*size));
    WriteLead(w, value, text);
    w.U16(value2);
    w.U32(value3);
    return EndMessage(w);
}

SSR_API int ssr_ExtractGWUpdClient1(const void* msg, short* size, uint32_t* value, uint16_t* text_length,
                                    const char** text, uint16_t* value2, uint32_t* value3) {
    if (msg == nullptr || size == nullptr || value == nullptr || text_length == nullptr || text == nullptr ||
        value2 == nullptr || value3 == nullptr)
        return SSR_ERROR_INVALID_ARGUMENT;
    std::size_t end = 0;
    if (const int rc = BeginExtract(msg, size, &end); rc != SSR_SUCCESS) return rc;
    WireReader r(msg, end);
    std::uint32_t v = 0, v3 = 0;
    std::uint16_t l = 0, v2 = 0;
    const char* t = nullptr;
    if (!ReadLead(r, &v, &l, &t) || !r.U16(&v2) || !r.U32(&v3)) return SSR_ERROR_INCOMPLETE;
    *value = v;
    *text_length = l;
    *text = t;
    *value2 = v2;
    *value3 = v3;
    return SSR_SUCCESS;
}

}  // extern "C"
