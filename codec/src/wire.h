// Bounded readers and writers of SSR messages, shared by every message family. The rules that the
// exported functions promise (size first, refuse instead of truncating, never read or write
// outside the bytes given) live here once, so each message only lists its fields.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "wendrel/ssr_codec.h"

namespace wendrel {

// Largest payload the header's 16-bit size field can announce.
constexpr std::size_t kMaxPayload = 0xFFFF;

// Bytes a text occupies on the wire with its NUL; a null text is sent as an empty one.
inline std::size_t TextBytes(const char* text) { return text != nullptr ? std::strlen(text) + 1 : 1; }
inline std::size_t TextLength(const char* text) { return text != nullptr ? std::strlen(text) : 0; }
// A text fits a fixed field when its NUL does.
inline bool FitsField(const char* text, std::size_t width) { return TextBytes(text) <= width; }

// Writes fields one after the other; the caller has already checked that the message fits, so a
// writer that would run past its end is a bug in the size formula: it stops writing and reports
// it through Ok() instead of corrupting memory.
class WireWriter {
public:
    WireWriter(void* buf, std::size_t total, std::size_t pos = SSR_HEADER_SIZE)
        : m_p(static_cast<std::uint8_t*>(buf)), m_total(total), m_pos(pos) {}

    void U8(std::uint8_t v) { Put(&v, 1); }
    void U16(std::uint16_t v) {
        const std::uint8_t b[2] = {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
        Put(b, 2);
    }
    void U32(std::uint32_t v) {
        const std::uint8_t b[4] = {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                                   static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
        Put(b, 4);
    }
    void U32Le(std::uint32_t v) {
        const std::uint8_t b[4] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                                   static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
        Put(b, 4);
    }
    void Bytes(const void* data, std::size_t n) { Put(data, n); }
    void Zero(std::size_t n) {
        if (Room(n)) {
            std::memset(m_p + m_pos, 0, n);
            m_pos += n;
        }
    }
    // Text with its NUL.
    void Text(const char* text) {
        const std::size_t n = TextBytes(text);
        if (text == nullptr) {
            Zero(1);
        } else {
            Put(text, n);
        }
    }
    // Text in a fixed field, rest zero (FitsField already checked).
    void Field(const char* text, std::size_t width) {
        const std::size_t n = TextBytes(text) <= width ? TextBytes(text) - 1 : 0;
        if (n > 0) Put(text, n);
        Zero(width - n);
    }
    bool Ok() const { return !m_overrun && m_pos == m_total; }

private:
    bool Room(std::size_t n) {
        if (m_overrun || n > m_total - m_pos) {
            m_overrun = true;
            return false;
        }
        return true;
    }
    void Put(const void* data, std::size_t n) {
        if (n > 0 && Room(n)) {
            std::memcpy(m_p + m_pos, data, n);
            m_pos += n;
        }
    }

    std::uint8_t* m_p;
    std::size_t m_total;
    std::size_t m_pos;
    bool m_overrun = false;
};

// Reads fields of one message's payload; any read past the end fails the reader for good.
class WireReader {
public:
    WireReader(const void* msg, std::size_t end, std::size_t pos = SSR_HEADER_SIZE)
        : m_p(static_cast<const std::uint8_t*>(msg)), m_end(end), m_pos(pos) {}

    bool U8(std::uint8_t* v) {
        if (!Room(1)) return false;
        *v = m_p[m_pos++];
        return true;
    }
    bool U16(std::uint16_t* v) {
        if (!Room(2)) return false;
        *v = static_cast<std::uint16_t>((m_p[m_pos] << 8) | m_p[m_pos + 1]);
        m_pos += 2;
        return true;
    }
    bool U32(std::uint32_t* v) {
        if (!Room(4)) return false;
        *v = (std::uint32_t{m_p[m_pos]} << 24) | (std::uint32_t{m_p[m_pos + 1]} << 16) |
             (std::uint32_t{m_p[m_pos + 2]} << 8) | std::uint32_t{m_p[m_pos + 3]};
        m_pos += 4;
        return true;
    }
    bool Skip(std::size_t n) {
        if (!Room(n)) return false;
        m_pos += n;
        return true;
    }
    // n raw bytes; *out points at them.
    bool Bytes(std::size_t n, const void** out) {
        if (!Room(n)) return false;
        *out = m_p + m_pos;
        m_pos += n;
        return true;
    }
    // NUL-terminated text running on from here; the NUL must lie inside the payload.
    bool Text(const char** out) {
        if (m_failed || m_pos >= m_end) return Fail();
        const void* nul = std::memchr(m_p + m_pos, 0, m_end - m_pos);
        if (nul == nullptr) return Fail();
        *out = reinterpret_cast<const char*>(m_p + m_pos);
        m_pos = static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - m_p) + 1;
        return true;
    }
    // Fixed field of width bytes whose text must end inside the field.
    bool Field(std::size_t width, const char** out) {
        if (!Room(width) || std::memchr(m_p + m_pos, 0, width) == nullptr) return Fail();
        *out = reinterpret_cast<const char*>(m_p + m_pos);
        m_pos += width;
        return true;
    }
    // L bytes of text (L counts the NUL): the bytes must be present and hold a NUL.
    bool CountedText(std::size_t length, const char** out) {
        if (length == 0 || !Room(length) || std::memchr(m_p + m_pos, 0, length) == nullptr) return Fail();
        *out = reinterpret_cast<const char*>(m_p + m_pos);
        m_pos += length;
        return true;
    }
    std::size_t Remaining() const { return m_failed ? 0 : m_end - m_pos; }
    const std::uint8_t* Here() const { return m_p + m_pos; }
    bool Ok() const { return !m_failed; }

private:
    bool Room(std::size_t n) {
        if (m_failed || n > m_end - m_pos) return Fail();
        return true;
    }
    bool Fail() {
        m_failed = true;
        return false;
    }

    const std::uint8_t* m_p;
    std::size_t m_end;
    std::size_t m_pos;
    bool m_failed = false;
};

// Largest message a size argument of this type can carry.
template <typename SizeT>
constexpr std::size_t MaxMessage() {
    return sizeof(SizeT) == 2 ? std::size_t{SHRT_MAX} : kMaxPayload + SSR_HEADER_SIZE;
}

// Constructor prologue: writes the needed size, then refuses (-3) when the caller's value was
// smaller or the message cannot be built at all, -6 for a null buffer or when the caller found a
// field unusable (`valid` false: a required text missing, a text longer than its field). On
// success the message is zeroed and its header written; the payload follows from offset 4.
template <typename SizeT>
int BeginMessage(void* buf, SizeT* size, std::uint64_t total, std::uint8_t type, std::uint8_t code,
                 bool valid = true) {
    const SizeT held = *size;
    if (total > MaxMessage<SizeT>()) {
        *size = static_cast<SizeT>(sizeof(SizeT) == 2 ? std::uint64_t{SHRT_MAX}
                                                      : (total > INT_MAX ? std::uint64_t{INT_MAX} : total));
        return SSR_BUFFER_TOO_SMALL;
    }
    *size = static_cast<SizeT>(total);
    if (held < 0 || static_cast<std::size_t>(held) < total) return SSR_BUFFER_TOO_SMALL;
    if (buf == nullptr || !valid) return SSR_ERROR_INVALID_ARGUMENT;
    auto* p = static_cast<std::uint8_t*>(buf);
    std::memset(p, 0, static_cast<std::size_t>(total));
    const std::size_t payload = static_cast<std::size_t>(total) - SSR_HEADER_SIZE;
    p[0] = static_cast<std::uint8_t>((type << 4) | SSR_VERSION);
    p[1] = code;
    p[2] = static_cast<std::uint8_t>(payload >> 8);
    p[3] = static_cast<std::uint8_t>(payload);
    return SSR_SUCCESS;
}

// Extractor prologue: -9 unless the size value covers the announced payload; on success the
// size value becomes the message's length and the returned end bounds every read.
template <typename SizeT>
int BeginExtract(const void* msg, SizeT* size, std::size_t* end) {
    if (*size < SSR_HEADER_SIZE) return SSR_ERROR_INCOMPLETE;
    const auto* p = static_cast<const std::uint8_t*>(msg);
    const std::size_t total = ((std::size_t{p[2]} << 8) | p[3]) + SSR_HEADER_SIZE;
    if (static_cast<std::size_t>(*size) < total) return SSR_ERROR_INCOMPLETE;
    *size = static_cast<SizeT>(total);
    *end = total;
    return SSR_SUCCESS;
}

// Finishes a constructor: the writer must have filled exactly the computed size.
inline int EndMessage(const WireWriter& w) { return w.Ok() ? SSR_SUCCESS : SSR_ERROR_INVALID_ARGUMENT; }

// Control-message shorthands.
template <typename SizeT>
int BeginControl(void* buf, SizeT* size, std::uint64_t payload, std::uint8_t code, bool valid = true) {
    return BeginMessage(buf, size, payload + SSR_HEADER_SIZE, SSR_TYPE_MNG, code, valid);
}

}  // namespace wendrel
