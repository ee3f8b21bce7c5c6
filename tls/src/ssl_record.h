// Cutting TLS records with key ids out of a received byte stream, and tagging our own output.
// Pure functions over caller buffers: no I/O, no OpenSSL, no locks.
#pragma once
#include <cstddef>
#include <cstdint>

namespace tamberk {

// Header of a record on the tunnel stream: byte 0 carries the key id in bits 7-6 and the
// content type in bits 5-0; then major 3, minor 1..3, a big-endian fragment length.
constexpr std::size_t kRecordHeaderSize = 5;
// Largest fragment TLS allows on the wire (2^14 plaintext + 2048 of expansion). Anything longer
// cannot be a record, so we stop there instead of waiting for 64 KiB that never make sense.
constexpr std::size_t kMaxFragmentLength = 16384 + 2048;
constexpr std::uint8_t kContentChangeCipherSpec = 20;
constexpr std::uint8_t kContentAlert = 21;
constexpr std::uint8_t kContentHandshake = 22;
constexpr std::uint8_t kContentApplicationData = 23;
// Content types 24-63 are not TLS: such records are consumed and dropped.
constexpr std::uint8_t kFirstNonTlsContentType = 24;

enum class RecordCut {
    kRecord,     // a whole record was cut; offset advanced past it
    kNeedMore,   // the buffer ends inside a header or fragment; wait for more bytes
    kMalformed,  // the bytes at offset can never be a record; the stream is broken
};

struct TwSslRecordView {
    std::uint8_t* data = nullptr;  // first byte of the record (key id bits already cleared)
    std::uint32_t length = 0;      // header + fragment
    std::uint8_t keyId = 0;
    std::uint8_t contentType = 0;
    std::uint8_t minor = 0;
};

// Cuts the record at *offset of buf[0..n). On kRecord the key id bits of byte 0 are cleared in
// place and *offset moves past the record. On kMalformed *why names the fault (static text).
RecordCut GetSslRecord(std::uint8_t* buf, std::size_t n, std::size_t* offset, TwSslRecordView* record,
                       const char** why);

// Length of the whole record starting at buf (n >= kRecordHeaderSize), 0 when the header is not
// a valid version-3 record header. Used by the output path, which only sees OpenSSL's records.
std::size_t RecordLengthAt(const std::uint8_t* buf, std::size_t n);

}  // namespace tamberk
