// Header rules, the library marker and the diagnostic dumps.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ssr_dump.h"
#include "wendrel/ssr_codec.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

int Parse(const Bytes& b, SSR_HEADER* h) {
    return ssr_ExtractPacketHeader(b.data(), static_cast<unsigned>(b.size()), h);
}

TEST(SsrHeader, LayoutIsFourPackedBytes) {
    static_assert(sizeof(SSR_HEADER) == 4);
    const Bytes msg = {0x13, 0x17, 0x00, 0x00};
    SSR_HEADER h{};
    ASSERT_EQ(Parse(msg, &h), SSR_SUCCESS);
    EXPECT_EQ(h.version, 3);
    EXPECT_EQ(h.type, SSR_TYPE_MNG);
    EXPECT_EQ(h.code, 23);
    EXPECT_EQ(h.payload_size, 0);
}

TEST(SsrHeader, PayloadSizeIsBigEndianAndChecked) {
    Bytes msg = {0x03, 0x01, 0x01, 0x02};
    msg.resize(4 + 0x102);
    SSR_HEADER h{};
    ASSERT_EQ(Parse(msg, &h), SSR_SUCCESS);
    EXPECT_EQ(h.payload_size, 0x102);
    EXPECT_EQ(h.code, 1);
    msg.pop_back();
    EXPECT_EQ(Parse(msg, &h), SSR_ERROR_INCOMPLETE);
}

TEST(SsrHeader, ErrorsInTheirOrder) {
    SSR_HEADER h{};
    EXPECT_EQ(ssr_ExtractPacketHeader(nullptr, 4, &h), SSR_ERROR_INVALID_ARGUMENT);
    const Bytes ok = {0x13, 0, 0, 0};
    EXPECT_EQ(ssr_ExtractPacketHeader(ok.data(), 4, nullptr), SSR_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(ssr_ExtractPacketHeader(ok.data(), 3, &h), SSR_ERROR_HEADER_TOO_SHORT);
    EXPECT_EQ(Parse({0x04, 0, 0, 0}, &h), SSR_ERROR_BAD_VERSION);
    EXPECT_EQ(Parse({0x23, 0, 0, 0}, &h), SSR_ERROR_BAD_TYPE);
    EXPECT_EQ(Parse({0x03, 2, 0, 0}, &h), SSR_ERROR_BAD_DATA_CODE);
    EXPECT_EQ(Parse({0x13, 200, 0, 0}, &h), SSR_SUCCESS);
    // Version is checked before type, type before code.
    EXPECT_EQ(Parse({0x24, 5, 0, 0}, &h), SSR_ERROR_BAD_VERSION);
}

TEST(SsrHeader, IncompletePayloadStillFillsTheHeader) {
    Bytes msg = {0x13, 0x42, 0x00, 0x0A};
    msg.resize(13);
    SSR_HEADER h{};
    EXPECT_EQ(Parse(msg, &h), SSR_ERROR_INCOMPLETE);
    EXPECT_EQ(h.version, 3);
    EXPECT_EQ(h.code, 0x42);
    EXPECT_EQ(h.payload_size, 10);
}

TEST(SsrHeader, LargestPayloadDoesNotWrap) {
    Bytes msg = {0x13, 0x01, 0xFF, 0xFF};
    msg.resize(4 + 0xFFFF);
    SSR_HEADER h{};
    EXPECT_EQ(Parse(msg, &h), SSR_SUCCESS);
    EXPECT_EQ(ssr_ExtractPacketHeader(msg.data(), 0xFFFF + 3, &h), SSR_ERROR_INCOMPLETE);
}

TEST(SsrLibrary, InitializeAndTerminate) {
    EXPECT_EQ(ssr_Terminate(), SSR_ERROR_NOT_INITIALIZED);
    EXPECT_EQ(ssr_Initialize(), SSR_SUCCESS);
    EXPECT_EQ(ssr_Initialize(), SSR_SUCCESS);
    EXPECT_EQ(ssr_Terminate(), SSR_SUCCESS);
    EXPECT_EQ(ssr_Terminate(), SSR_ERROR_NOT_INITIALIZED);
}

TEST(SsrDump, HexDumpRows) {
    std::string data = "GET / HTTP/1.1\r\nHost";
    const std::string dump = wendrel::FormatHexDump(data.data(), data.size());
    const std::string row0 =
        std::string("0000:  47 45 54 20 2f 20 48 54 54 50 2f 31 2e 31 0d 0a   ") + "GET / HTTP/1.1..\n";
    ASSERT_GE(dump.size(), row0.size());
    EXPECT_EQ(dump.substr(0, row0.size()), row0);
    // The printable text always starts 50 columns into the byte area, even on a short last row.
    const std::string row1 = dump.substr(row0.size());
    EXPECT_EQ(row1.substr(0, 7), "0010:  ");
    EXPECT_EQ(row1.substr(7, 12), "48 6f 73 74 ");
    EXPECT_EQ(row1.substr(7 + 50), "Host\n");
    EXPECT_EQ(wendrel::FormatHexDump(nullptr, 10), "");
}

TEST(SsrDump, HeaderDumpStaysWithinAvailableBytes) {
    const std::uint8_t msg[] = {0x13, 0x17, 0x01, 0x00, 'a', 'b'};
    const std::string dump = wendrel::FormatHeaderDump(msg, sizeof msg);
    EXPECT_EQ(dump.rfind("SSR.version = 3\nSSR.type    = 1\nSSR.code    = 23\nSSR.PayloadSize = 256\n", 0),
              0u);
    EXPECT_NE(dump.find("0000:  61 62 "), std::string::npos);
    EXPECT_EQ(dump.find("0010:"), std::string::npos);
}

TEST(SsrDump, StreamDumpNamesTheSixFields) {
    z_stream s{};
    s.avail_in = 7;
    s.total_out = 9;
    const std::string dump = wendrel::FormatZlibStreamDump(&s, "out");
    EXPECT_NE(dump.find("Dump ZlibStream 0x"), std::string::npos);
    EXPECT_NE(dump.find(", out\n"), std::string::npos);
    EXPECT_NE(dump.find("z_stream.avail_in = 7\n"), std::string::npos);
    EXPECT_NE(dump.find("z_stream.total_out = 9\n"), std::string::npos);
    EXPECT_NE(dump.find("z_stream.next_out  = 0x"), std::string::npos);
}

}  // namespace
