// Diagnostic dumps of messages and compression streams. Nothing in the suite calls them; they are
// kept for debugging sessions and write to the codec's debug output. Not exported.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <string>

namespace wendrel {

// Rows of 16 bytes: "%4.4x:  " offset, two hex digits and a blank per byte, then the printable
// characters (others as '.') from column 50 of the byte area.
std::string FormatHexDump(const void* data, std::size_t length);
// "SSR.version = ..." lines, then the hex dump of the payload; reads at most `available` bytes.
std::string FormatHeaderDump(const void* msg, std::size_t available);
// "Dump ZlibStream 0x%p, %s" and the stream's six buffer fields.
std::string FormatZlibStreamDump(const z_stream* stream, const char* label);

void DumpSsrHeader(const void* msg, std::size_t available);
void DumpZlibStream(const z_stream* stream, const char* label);

}  // namespace wendrel
