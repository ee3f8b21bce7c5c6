// The per-tunnel compression object behind the opaque SsrZlibStream handle.
#pragma once

#include <zlib.h>

#include <mutex>

// Field order as the object is laid out: the incoming (inflate) half, then the outgoing (deflate)
// half, each behind its own lock so a sender and a receiver never wait on each other.
struct SsrZlibStream {
    std::mutex m_InLock;
    z_stream m_ZlibStreamIn{};
    std::mutex m_OutLock;
    z_stream m_ZlibStreamOut{};
};
