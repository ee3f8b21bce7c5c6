#include "ssl_record.h"

namespace tamberk {

RecordCut GetSslRecord(std::uint8_t* buf, std::size_t n, std::size_t* offset, TwSslRecordView* record,
                       const char** why) {
    const std::size_t off = *offset;
    if (off >= n || n - off < 3) return RecordCut::kNeedMore;
    std::uint8_t* p = buf + off;
    const std::size_t remaining = n - off;
    // Only version-3 records can carry a key id. SSL 2.0 is never negotiated, so a stream that
    // does not look like one is broken rather than short.
    if (p[1] != 3) {
        *why = "not a version 3 record";
        return RecordCut::kMalformed;
    }
    if (p[2] < 1 || p[2] > 3) {
        *why = "record version is not TLS 1.0 to TLS 1.2";
        return RecordCut::kMalformed;
    }
    const std::uint8_t type = p[0] & 0x3F;
    if (type < kContentChangeCipherSpec) {
        *why = "unknown record content type";
        return RecordCut::kMalformed;
    }
    if (remaining < kRecordHeaderSize) return RecordCut::kNeedMore;
    const std::size_t fragment = (static_cast<std::size_t>(p[3]) << 8) | p[4];
    if (fragment > kMaxFragmentLength) {
        *why = "record length exceeds the TLS maximum";
        return RecordCut::kMalformed;
    }
    const std::size_t length = fragment + kRecordHeaderSize;
    if (length > remaining) return RecordCut::kNeedMore;
    record->data = p;
    record->length = static_cast<std::uint32_t>(length);
    record->keyId = static_cast<std::uint8_t>(p[0] >> 6);
    record->contentType = type;
    record->minor = p[2];
    p[0] = type;
    *offset = off + length;
    return RecordCut::kRecord;
}

std::size_t RecordLengthAt(const std::uint8_t* buf, std::size_t n) {
    if (n < kRecordHeaderSize || buf[1] != 3) return 0;
    return ((static_cast<std::size_t>(buf[3]) << 8) | buf[4]) + kRecordHeaderSize;
}

}  // namespace tamberk
