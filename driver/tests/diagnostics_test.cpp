// Debug flags and dumps: what is printed with which mask, and the packet dump format.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "adapter_entry.h"
#include "diagnostics.h"
#include "olvane/filter_api.h"
#include "trace.h"

namespace olvane {
namespace {

class Diagnostics : public ::testing::Test {
protected:
    void SetUp() override {
        SetTraceSink([this](std::string_view line) {
            std::lock_guard<std::mutex> lock(m);
            lines.emplace_back(line);
        });
    }
    void TearDown() override {
        SetTraceSink({});
        SetDebugFlags(0);
    }
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> lock(m);
        return lines;
    }
    std::mutex m;
    std::vector<std::string> lines;
};

TEST_F(Diagnostics, MaskSelectsTracesAndUnconditionalOnesAlwaysAppear) {
    SetDebugFlags(0);
    DbgTrace(kDbgRing, "ring line\n");
    DbgPrint("always\n");
    EXPECT_EQ(Lines(), std::vector<std::string>{"always\n"});
    SetDebugFlags(kDbgRing);
    DbgTrace(kDbgRing, "ring line\n");
    DbgTrace(kDbgInit, "init line\n");
    EXPECT_EQ(Lines().back(), "ring line\n");
    EXPECT_EQ(Lines().size(), 2u);
}

TEST_F(Diagnostics, FilterFunctionsTraceEnterAndLeaveUnderBitOne) {
    SetDebugFlags(kDbgFilterApi);
    AdapterEntry e;  // no tag
    std::uint8_t mac[6];
    EXPECT_EQ(Filter_GetAdapterCurrentAddress(&e, mac), FILTER_ERROR_INVALID_ADAPTER_HANDLE);
    auto l = Lines();
    ASSERT_GE(l.size(), 4u);
    EXPECT_EQ(l[0], "Enter Filter_GetAdapterCurrentAddress\n");
    EXPECT_NE(l[1].find("Filter_IsValidAdapter: Invalid Handle"), std::string::npos);
    EXPECT_EQ(l[2], "  Error: -7 - FILTER_ERROR_INVALID_ADAPTER_HANDLE\n");
    EXPECT_EQ(l[3], "Leave Filter_GetAdapterCurrentAddress, -7-FILTER_ERROR_INVALID_ADAPTER_HANDLE\n");
}

TEST_F(Diagnostics, PacketsDumpOnlyForAdaptersWithTheDumpFlag) {
    AdapterEntry e;
    TwPacket p;
    p.m_Adapter = &e;
    p.m_Frame = p.m_Data;
    p.m_DataLength = 20;
    for (int i = 0; i < 20; ++i) p.m_Data[i] = static_cast<std::uint8_t>(0x41 + i);
    Filter_DumpPacket("<< Indicate to Application", &p);
    EXPECT_TRUE(Lines().empty());
    e.m_bDumpPacket.store(1);
    Filter_DumpPacket("<< Indicate to Application", &p);
    auto l = Lines();
    ASSERT_GE(l.size(), 4u);
    EXPECT_EQ(l[0], "<< Indicate to Application, Size = 20 - 0x14\n");
    EXPECT_EQ(l[1], "  \t0000 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50 ABCDEFGHIJKLMNOP\n");
    EXPECT_EQ(l[2], "  \t0010 51 52 53 54 QRST\n");
    EXPECT_NE(l[3].find(" - pPacket 0x"), std::string::npos);
}

}  // namespace
}  // namespace olvane
