// Packet capture files in the libpcap format.
#include "util/ethr_log.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

namespace {

constexpr DWORD kMagic = 0xA1B2C3D4u;
constexpr DWORD kSnapLength = 65535;
constexpr DWORD kLinkEthernet = 1;
// Larger records cannot come from this writer or any Ethernet capture: the file is damaged.
constexpr DWORD kLargestRecord = 262144;

#pragma pack(push, 1)
struct PcapHeader {
    DWORD magic;
    WORD versionMajor;
    WORD versionMinor;
    LONG thisZone;
    DWORD sigFigs;
    DWORD snapLength;
    DWORD linkType;
};
struct RecordHeader {
    DWORD seconds;
    DWORD microseconds;
    DWORD capturedLength;
    DWORD originalLength;
};
#pragma pack(pop)
static_assert(sizeof(PcapHeader) == 24);
static_assert(sizeof(RecordHeader) == 16);

struct EthrLog {
    char path[260] = {};
    std::mutex lock;
    DWORD limit = 0;
    DWORD written = 0;
    std::FILE* stream = nullptr;
    bool damaged = false;
};

EthrLog* NewLog(const char* path, const char* mode) {
    if (path == nullptr) return nullptr;
    auto* log = new (std::nothrow) EthrLog;
    if (log == nullptr) return nullptr;
    std::snprintf(log->path, sizeof(log->path), "%s", path);
    log->stream = std::fopen(path, mode);
    if (log->stream == nullptr) {
        delete log;
        return nullptr;
    }
    return log;
}

}  // namespace

void* EthrOpenLog(const char* path, DWORD maxBytes) {
    EthrLog* log = NewLog(path, "wbe");
    if (log == nullptr) return nullptr;
    log->limit = maxBytes;
    const PcapHeader header{kMagic, 2, 4, 0, 0, kSnapLength, kLinkEthernet};
    if (std::fwrite(&header, sizeof(header), 1, log->stream) != 1 || std::fflush(log->stream) != 0) {
        EthrCloseLog(log);
        return nullptr;
    }
    return log;
}

void EthrLogPacket(void* handle, const void* packet, DWORD size) {
    auto* log = static_cast<EthrLog*>(handle);
    if (log == nullptr || packet == nullptr) return;
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
    const DWORD stored = size > kSnapLength ? kSnapLength : size;
    const RecordHeader record{static_cast<DWORD>(us / 1000000), static_cast<DWORD>(us % 1000000), stored,
                              size};
    std::lock_guard<std::mutex> g(log->lock);
    if (log->limit != 0 && log->written >= log->limit) return;
    if (std::fwrite(&record, sizeof(record), 1, log->stream) != 1) return;
    if (stored > 0 && std::fwrite(packet, stored, 1, log->stream) != 1) return;
    std::fflush(log->stream);
    log->written += static_cast<DWORD>(sizeof(record)) + stored;
}

void EthrCloseLog(void* handle) {
    auto* log = static_cast<EthrLog*>(handle);
    if (log == nullptr) return;
    if (log->stream != nullptr) std::fclose(log->stream);
    delete log;
}

void* EthrReadLog(const char* path) {
    EthrLog* log = NewLog(path, "rbe");
    if (log == nullptr) return nullptr;
    PcapHeader header{};
    if (std::fread(&header, sizeof(header), 1, log->stream) != 1 || header.magic != kMagic ||
        header.versionMajor != 2 || header.versionMinor != 4) {
        EthrCloseLog(log);
        return nullptr;
    }
    return log;
}

int EthrReadPacket(void* handle, void* buffer, DWORD* size) {
    auto* log = static_cast<EthrLog*>(handle);
    if (size == nullptr) return 0;
    const DWORD capacity = *size;
    *size = 0;
    if (log == nullptr || buffer == nullptr) return 0;
    std::lock_guard<std::mutex> g(log->lock);
    if (log->damaged) return 0;
    RecordHeader record{};
    if (std::fread(&record, sizeof(record), 1, log->stream) != 1) return 0;
    if (record.capturedLength > kLargestRecord || record.capturedLength > record.originalLength) {
        log->damaged = true;
        return 0;
    }
    if (record.capturedLength > capacity) {
        if (std::fseek(log->stream, static_cast<long>(record.capturedLength), SEEK_CUR) != 0)
            log->damaged = true;
        return 0;
    }
    if (record.capturedLength > 0 && std::fread(buffer, record.capturedLength, 1, log->stream) != 1) {
        log->damaged = true;
        return 0;
    }
    *size = record.capturedLength;
    return 1;
}
