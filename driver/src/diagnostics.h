// Driver diagnostics: packet dumps (per adapter, when its dump flag is on), leaked-packet dumps,
// adapter entry dumps and the dumps of the two global blocks. All output goes to the trace sink.
#pragma once
#include <cstdint>

#include "packet.h"

namespace olvane {
struct AdapterEntry;

// Hex dump and decode of a packet, only when its adapter has m_bDumpPacket set.
void Filter_DumpPacket(const char* label, const TwPacket* packet);
// The same without the per-adapter check (leaked packets, global dumps).
void DumpPacketAlways(const char* label, const TwPacket* packet);
void DumpLeakedPacket(const TwPacket* packet);
void DumpAdapterEntry(const AdapterEntry* entry);
// The filter device extension ("NdisFilterDeviceExtension").
void DumpFilterExtension();

}  // namespace olvane
