/* Wendrel: builders and parsers of SSR messages, the unit of exchange between the client and the
 * gateway inside the TLS tunnel. A plain C interface: no connection state, no threads, no I/O.
 *
 * Every message starts with a 4-byte header: byte 0 holds the version (low nibble, always 3) and
 * the type (high nibble: 0 data, 1 control), byte 1 the code, bytes 2-3 the payload size
 * (big-endian). A message is at most 65,535 + 4 bytes; sizes travel through signed 16-bit
 * arguments, so no message longer than 32,767 bytes can be built through them.
 *
 * Conventions shared by every call (result codes below):
 *  - Constructors ssr_Construct<Message>(void* buf, short* size, fields...): the needed total size
 *    (header included) is always written to *size first; when *size held less on entry the result
 *    is SSR_BUFFER_TOO_SMALL and nothing is written. Size a message by calling with buf = NULL and
 *    *size = 0, allocate, call again. A message longer than the format allows is refused with
 *    SSR_BUFFER_TOO_SMALL on every call (*size then holds SHRT_MAX, or the real need for the
 *    32-bit size variants); nothing is ever truncated. Constructors zero the bytes they own.
 *  - Extractors ssr_Extract<Message>(const void* msg, short* size, out...): *size is the number of
 *    bytes available on entry; on success it becomes payload size + 4 (the bytes this message
 *    occupies). Integers come back in host order; texts, tickets and lists as pointers into msg
 *    (valid as long as msg is). Extractors trust the header's type and code (dispatch on
 *    ssr_ExtractPacketHeader first) but never read outside the bytes given and reject a payload
 *    that does not hold what its layout requires (SSR_ERROR_INCOMPLETE); a text returned as a
 *    pointer is always NUL-terminated inside the message.
 *  - Every call is a pure function of its arguments and may run on any thread at once, except the
 *    compression streams, which serialise each direction behind its own lock.
 *  - No call lets a C++ exception out.
 */
#ifndef WENDREL_SSR_CODEC_H
#define WENDREL_SSR_CODEC_H

#include "wendrel/ssr_common.h"

#ifdef __cplusplus
extern "C" {
#endif

#define SSR_CODE_DATA_IP_PACKET 0
#define SSR_CODE_DATA_ZLIB_COMPRESS_IP_PACKET 1

/* Largest Ethernet frame carried (14-byte header and a 1,500-byte IPv4 packet). */
#define SSR_MAX_FRAME_SIZE 1514
/* A compressed message needs a caller buffer of this size; at most 1,530 bytes of deflate output. */
#define SSR_ZLIB_MESSAGE_SIZE 1534
#define SSR_ZLIB_OUTPUT_ROOM 1530
/* An inflated frame needs a caller buffer of at least this size. */
#define SSR_ZLIB_FRAME_CAPACITY 1530

#pragma pack(push, 1)
/* The header as ssr_ExtractPacketHeader fills it (payload_size in host order). */
typedef struct SSR_HEADER {
    uint8_t version : 4;
    uint8_t type : 4;
    uint8_t code;
    uint16_t payload_size;
} SSR_HEADER;
#pragma pack(pop)

/* Library marker. The client never calls these and no other export depends on them.
 * ssr_Initialize: 0 (already or now initialised), -7. ssr_Terminate: 0, or -2 when not initialised. */
SSR_API int ssr_Initialize(void);
SSR_API int ssr_Terminate(void);

/* Checks in this order: null msg/out -6; available < 4 -8; header copied to *out; version != 3
 * -10; type > 1 -11; data code > 1 -12; payload size to host order; available < payload + 4 -9
 * (the header is still filled); else 0. */
SSR_API int ssr_ExtractPacketHeader(const void* msg, unsigned available, SSR_HEADER* out);

/* ---- Data messages ---- */

/* Code 0: the frame unchanged. Total = length + 4. length < 0 -> -6. */
SSR_API int ssr_ConstructSsrIPPacket(void* buf, short* size, int length, const void* frame);
/* *length = payload size; *frame points at the payload inside msg. */
SSR_API int ssr_ExtractSsrIPPacket(const void* msg, short* size, short* length, const void** frame);

/* One inflate stream (incoming) and one deflate stream (outgoing) per tunnel; each direction has
 * its own lock so one sender and one receiver may work at once. The dictionary carries over from
 * frame to frame, so the peer must inflate messages in the order they were built. */
typedef struct SsrZlibStream SsrZlibStream;

/* null out -6; -7; -1 when zlib cannot start a stream (*out = NULL). Ownership passes to the caller. */
SSR_API int ssr_CreateSsrZlibStream(SsrZlibStream** out);
/* Empties both dictionaries (a new tunnel begins). Must not race a build or parse on the stream. */
SSR_API int ssr_ResetSsrZlibStream(SsrZlibStream* stream);
/* Ends both streams and frees the object. */
SSR_API int ssr_CloseSsrZlibStream(SsrZlibStream* stream);

/* Code 1. *size := 1,534 whatever the frame length (-3 when smaller on entry). A null stream
 * builds a plain code-0 message instead. Frames longer than SSR_MAX_FRAME_SIZE (or negative
 * lengths) are refused with -6 before the stream is touched, so an oversized frame can never leave
 * deflate output pending and put the peer's dictionary out of step. -1 when deflate fails. */
SSR_API int ssr_ConstructZlibCompressedSsrIPPacket(void* buf, short* size, int length, const void* frame,
                                                   SsrZlibStream* stream);
/* *capacity: room at out on entry (>= 1,530, else -3), the frame length on success. -1 when the
 * payload does not inflate, or inflates to more than the capacity (the frame is never cut). */
SSR_API int ssr_ExtractZlibCompressedSsrIPPacket(const void* msg, short* size, short* capacity, void* out,
                                                 SsrZlibStream* stream);

#ifdef __cplusplus
}
#endif

/* The control messages come with the data messages: one include gives the whole format. */
#include "wendrel/ssr_control.h"

#endif /* WENDREL_SSR_CODEC_H */
