// Writing a digest into a caller's digest record (internal).
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fennix/fennix.h"

namespace fennix {

static_assert(sizeof(fennix_key_record) == 12, "key record head: three 32-bit words");
static_assert(sizeof(fennix_iv_record) == 20, "IV record: one word and 16 bytes");
static_assert(sizeof(fennix_digest_record) == 4, "digest record head: one 32-bit word");
static_assert(offsetof(fennix_key_record, key) == 12 && offsetof(fennix_digest_record, bytes) == 4,
              "bytes follow the words inline");

// A record whose size word is below the digest length is refused: writing the whole digest would
// run past the caller's buffer, and a cut digest would be taken for a good one.
inline bool RecordFits(const fennix_digest_record* record, std::size_t digestLength) {
    return record != nullptr && record->size >= digestLength;
}

// Digest at the start of the byte area, zeros after it up to the size word (unchanged).
inline void WriteDigest(fennix_digest_record* record, const unsigned char* digest, std::size_t digestLength) {
    const std::size_t area = record->size;  // 32-bit word widened before any arithmetic
    std::memcpy(record->bytes, digest, digestLength);
    std::memset(record->bytes + digestLength, 0, area - digestLength);
}

}  // namespace fennix
