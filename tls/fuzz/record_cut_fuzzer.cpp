// libFuzzer entry for cutting key-id records out of the received tunnel stream. Checked: every
// record lies inside the bytes given, its length is its header's, the cut always moves forward,
// and a stream stops only at a malformed record (with a reason) or where more bytes are needed.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "ssl_record.h"

namespace {

void Fail(const char* what, std::size_t offset) {
    std::fprintf(stderr, "record cut at %zu: %s\n", offset, what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> buf(data, data + size);
    std::uint8_t* base = buf.empty() ? nullptr : buf.data();
    std::size_t offset = 0;
    for (;;) {
        const std::size_t before = offset;
        tamberk::TwSslRecordView record;
        const char* why = nullptr;
        const tamberk::RecordCut cut = tamberk::GetSslRecord(base, size, &offset, &record, &why);
        if (cut == tamberk::RecordCut::kMalformed) {
            if (why == nullptr) Fail("malformed without a reason", before);
            if (offset != before) Fail("malformed record moved the offset", before);
            break;
        }
        if (cut == tamberk::RecordCut::kNeedMore) {
            if (offset != before) Fail("incomplete record moved the offset", before);
            break;
        }
        if (record.data != base + before) Fail("record does not start at the offset", before);
        if (record.length < tamberk::kRecordHeaderSize ||
            record.length > tamberk::kRecordHeaderSize + tamberk::kMaxFragmentLength) {
            Fail("record length out of range", before);
        }
        if (offset != before + record.length || offset > size) Fail("offset not past the record", before);
        const std::size_t fragment = (std::size_t{record.data[3]} << 8) | record.data[4];
        if (record.length != tamberk::kRecordHeaderSize + fragment)
            Fail("length is not the header's", before);
        if (record.keyId > 3 || (record.data[0] & 0xC0) != 0) Fail("key id bits left in place", before);
    }
    return 0;
}
