// Data messages: one Ethernet frame per message, plain (code 0) or deflated with a per-tunnel
// stream that is sync-flushed after every frame (code 1).
#include <cstdint>
#include <cstring>
#include <new>

#include "ssr_log.h"
#include "wendrel/ssr_codec.h"
#include "wire.h"
#include "zlib_stream.h"

namespace {

using wendrel::BeginExtract;
using wendrel::BeginMessage;

// zlib checks only the major digit and the structure size; this is the version the stream
// format was first built against.
constexpr const char* kZlibVersion = "1.2.2";

int BuildPlain(void* buf, short* size, int length, const void* frame) {
    if (length < 0) return SSR_ERROR_INVALID_ARGUMENT;
    const int rc = BeginMessage(buf, size, std::uint64_t{static_cast<unsigned>(length)} + SSR_HEADER_SIZE,
                                SSR_TYPE_DATA, SSR_CODE_DATA_IP_PACKET, frame != nullptr);
    if (rc != SSR_SUCCESS) return rc;
    std::memcpy(static_cast<std::uint8_t*>(buf) + SSR_HEADER_SIZE, frame, static_cast<std::size_t>(length));
    return SSR_SUCCESS;
}

}  // namespace

extern "C" {

SSR_API int ssr_ConstructSsrIPPacket(void* buf, short* size, int length, const void* frame) {
    if (size == nullptr) return SSR_ERROR_INVALID_ARGUMENT;
    return BuildPlain(buf, size, length, frame);
}

SSR_API int ssr_ExtractSsrIPPacket(const void* msg, short* size, short* length, const void** frame) {
    if (msg == nullptr || size == nullptr || length == nullptr || frame == nullptr)
        return SSR_ERROR_INVALID_ARGUMENT;
    std::size_t end = 0;
    const int rc = BeginExtract(msg, size, &end);
    if (rc != SSR_SUCCESS) return rc;
    *length = static_cast<short>(end - SSR_HEADER_SIZE);
    *frame = static_cast<const std::uint8_t*>(msg) + SSR_HEADER_SIZE;
    return SSR_SUCCESS;
}

SSR_API int ssr_CreateSsrZlibStream(SsrZlibStream** out) {
    if (out == nullptr) return SSR_ERROR_INVALID_ARGUMENT;
    *out = nullptr;
    auto* z = new (std::nothrow) SsrZlibStream;
    if (z == nullptr) return SSR_ERROR_NO_MEMORY;
    int err = inflateInit_(&z->m_ZlibStreamIn, kZlibVersion, static_cast<int>(sizeof(z_stream)));
    if (err != Z_OK) {
        SSR_LOG("inflateInit(m_ZlibStreamIn) fails, err=%d\n", err);
        delete z;
        return SSR_ERROR_ZLIB;
    }
    err = deflateInit_(&z->m_ZlibStreamOut, Z_DEFAULT_COMPRESSION, kZlibVersion,
                       static_cast<int>(sizeof(z_stream)));
    if (err != Z_OK) {
        SSR_LOG("deflateInit(m_ZlibStreamOut) fails, err=%d\n", err);
        inflateEnd(&z->m_ZlibStreamIn);
        delete z;
        return SSR_ERROR_ZLIB;
    }
    *out = z;
    return SSR_SUCCESS;
}

SSR_API int ssr_ResetSsrZlibStream(SsrZlibStream* z) {
    if (z == nullptr) return SSR_ERROR_INVALID_ARGUMENT;
    try {
        {
            std::lock_guard<std::mutex> lock(z->m_InLock);
            inflateReset(&z->m_ZlibStreamIn);
        }
        std::lock_guard<std::mutex> lock(z->m_OutLock);
        deflateReset(&z->m_ZlibStreamOut);
    } catch (...) {
        return SSR_ERROR_ZLIB;
    }
    return SSR_SUCCESS;
}

SSR_API int ssr_CloseSsrZlibStream(SsrZlibStream* z) {
    if (z == nullptr) return SSR_ERROR_INVALID_ARGUMENT;
    inflateEnd(&z->m_ZlibStreamIn);
    deflateEnd(&z->m_ZlibStreamOut);
    delete z;
    return SSR_SUCCESS;
}

SSR_API int ssr_ConstructZlibCompressedSsrIPPacket(void* buf, short* size, int length, const void* frame,
                                                   SsrZlibStream* z) {
    if (size == nullptr) return SSR_ERROR_INVALID_ARGUMENT;
    const short held = *size;
    *size = SSR_ZLIB_MESSAGE_SIZE;
    if (held < SSR_ZLIB_MESSAGE_SIZE) return SSR_BUFFER_TOO_SMALL;
    if (buf == nullptr || frame == nullptr) return SSR_ERROR_INVALID_ARGUMENT;
    if (z == nullptr) {
        *size = held;
        return BuildPlain(buf, size, length, frame);
    }
    // The worst case of a sync-flushed frame of up to 1,514 bytes fits the 1,530 bytes of room;
    // a longer frame could leave output pending inside the stream, which would corrupt every later
    // message of the tunnel, so it is refused before the stream sees it.
    if (length < 0 || length > SSR_MAX_FRAME_SIZE) return SSR_ERROR_INVALID_ARGUMENT;
    auto* out = static_cast<std::uint8_t*>(buf);
    try {
        std::lock_guard<std::mutex> lock(z->m_OutLock);
        z_stream& s = z->m_ZlibStreamOut;
        s.next_in = static_cast<Bytef*>(const_cast<void*>(frame));
        s.avail_in = static_cast<uInt>(length);
        s.next_out = out + SSR_HEADER_SIZE;
        s.avail_out = SSR_ZLIB_OUTPUT_ROOM;
        s.total_in = 0;
        s.total_out = 0;
        const int err = deflate(&s, Z_SYNC_FLUSH);
        if (err != Z_OK) {
            SSR_LOG("deflate(m_ZlibStreamOut) fails, err=%d\n", err);
            return SSR_ERROR_ZLIB;
        }
        if (s.avail_in != 0 || s.avail_out == 0) {
            // Cannot happen within the frame limit; if it ever does, the peer's dictionary is
            // already out of step, so say so rather than send a cut frame.
            SSR_LOG("deflate(m_ZlibStreamOut) fails, err=%d\n", Z_BUF_ERROR);
            return SSR_ERROR_ZLIB;
        }
        const auto produced = static_cast<std::size_t>(s.total_out);
        out[0] = (SSR_TYPE_DATA << 4) | SSR_VERSION;
        out[1] = SSR_CODE_DATA_ZLIB_COMPRESS_IP_PACKET;
        out[2] = static_cast<std::uint8_t>(produced >> 8);
        out[3] = static_cast<std::uint8_t>(produced);
        *size = static_cast<short>(produced + SSR_HEADER_SIZE);
    } catch (...) {
        return SSR_ERROR_ZLIB;
    }
    return SSR_SUCCESS;
}

SSR_API int ssr_ExtractZlibCompressedSsrIPPacket(const void* msg, short* size, short* capacity, void* out,
                                                 SsrZlibStream* z) {
    if (msg == nullptr || size == nullptr || capacity == nullptr || out == nullptr || z == nullptr)
        return SSR_ERROR_INVALID_ARGUMENT;
    std::size_t end = 0;
    const int rc = BeginExtract(msg, size, &end);
    if (rc != SSR_SUCCESS) return rc;
    if (*capacity < SSR_ZLIB_FRAME_CAPACITY) return SSR_BUFFER_TOO_SMALL;
    try {
        std::lock_guard<std::mutex> lock(z->m_InLock);
        z_stream& s = z->m_ZlibStreamIn;
        s.next_in = static_cast<Bytef*>(const_cast<void*>(msg)) + SSR_HEADER_SIZE;
        s.avail_in = static_cast<uInt>(end - SSR_HEADER_SIZE);
        s.next_out = static_cast<Bytef*>(out);
        s.avail_out = static_cast<uInt>(*capacity);
        s.total_in = 0;
        s.total_out = 0;
        int err = inflate(&s, Z_SYNC_FLUSH);
        // Input left over means the frame did not fit the caller's room: a cut frame would be
        // injected as if whole, so it is an error like a corrupt payload.
        if (err == Z_OK && s.avail_in != 0) err = Z_BUF_ERROR;
        if (err != Z_OK) {
            SSR_LOG("inflate(m_ZlibStreamIn) fails, err=%d\n", err);
            return SSR_ERROR_ZLIB;
        }
        *capacity = static_cast<short>(s.total_out);
    } catch (...) {
        return SSR_ERROR_ZLIB;
    }
    return SSR_SUCCESS;
}

}  // extern "C"
