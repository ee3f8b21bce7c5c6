// Packet capture files in the libpcap format (version 2.4, magic 0xA1B2C3D4 in host byte order,
// snapshot length 65535, link type 1 Ethernet).
//
// A log object is opaque; one object may be used by several threads (each call takes its lock).
// Null objects and buffers are refused quietly. Nothing throws.
#pragma once
#include "platform/types.h"

// Creates (replaces) the file and writes the global header. `maxBytes` limits the bytes of
// packet records (record headers included) written; 0 means no limit. Null on failure.
void* EthrOpenLog(const char* path, DWORD maxBytes);
// Appends one packet with the current UTC time. Once the limit is reached, packets are dropped.
// A packet longer than the snapshot length is stored cut to 65535 bytes with its original length.
void EthrLogPacket(void* log, const void* packet, DWORD size);
void EthrCloseLog(void* log);

// Opens an existing capture for reading; null when it is missing, shorter than its header or not
// a version 2.4 file with the standard magic.
void* EthrReadLog(const char* path);
// Reads the next packet into `buffer` (capacity *size). 1 and *size = its length when a packet was
// delivered; 0 with *size = 0 when the packet is larger than the buffer (it is skipped), at the
// end of the file, or when the record is malformed (then every later read answers 0 too).
int EthrReadPacket(void* log, void* buffer, DWORD* size);
