/* Fennix: the suite's small cryptography library, a plain C interface.
 *
 * Base64 (RFC 4648 alphabet, CR LF after every 76 output characters when more follows), AES-CBC
 * (own FIPS-197 implementation, no padding), MD5 (own RFC 1321 implementation, one-shot and
 * incremental), SHA-1 (OpenSSL's) and HMAC-SHA1 (RFC 2104).
 *
 * Records are passed by pointer: packed little-endian 32-bit words followed by their bytes inline.
 * Result codes of every function except the Base64 pair:
 *   FENNIX_OK (0), FENNIX_ERR_ARGUMENT (3) a required pointer is null, a length is 0 or negative,
 *   or a digest record is too small; FENNIX_ERR_MEMORY (4) out of memory; FENNIX_ERR_BLOCK_LENGTH
 *   (5) AES data length not a multiple of 16. On any error nothing is written.
 *
 * Every function is reentrant and thread-safe (no shared state); an MD5 context belongs to one
 * thread at a time. No function lets a C++ exception out.
 */
#ifndef FENNIX_FENNIX_H
#define FENNIX_FENNIX_H

#include <stdint.h>

#if defined(FENNIX_BUILDING)
#define FENNIX_API __attribute__((visibility("default")))
#else
#define FENNIX_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

enum { FENNIX_OK = 0, FENNIX_ERR_ARGUMENT = 3, FENNIX_ERR_MEMORY = 4, FENNIX_ERR_BLOCK_LENGTH = 5 };

enum { FENNIX_MD5_LENGTH = 16, FENNIX_SHA1_LENGTH = 20, FENNIX_AES_BLOCK = 16 };

#if defined(__cplusplus)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#endif
#pragma pack(push, 1)

/* Key record (AES and HMAC). `length` is the key length in bytes; for AES 24 or 192 selects
 * AES-192, 32 or 256 selects AES-256 and any other value AES-128 (then 16 key bytes are read).
 * The caller provides that many bytes in `key`. */
typedef struct fennix_key_record {
    uint32_t word0; /* not read */
    uint32_t word1; /* not read */
    uint32_t length;
    unsigned char key[]; /* `length` bytes (AES: 16, 24 or 32) */
} fennix_key_record;

/* IV record (AES). */
typedef struct fennix_iv_record {
    uint32_t word0; /* not read */
    unsigned char iv[16];
} fennix_iv_record;

/* Digest record. `size` is the size of `bytes` and must be at least the digest length
 * (16 for MD5, 20 for SHA-1 and HMAC-SHA1), else the call fails with FENNIX_ERR_ARGUMENT and
 * writes nothing. The digest goes to the start of `bytes`; the rest up to `size` is zeroed.
 * `size` is not changed. */
typedef struct fennix_digest_record {
    uint32_t size;
    unsigned char bytes[];
} fennix_digest_record;

#pragma pack(pop)
#if defined(__cplusplus)
#pragma GCC diagnostic pop
#endif

/* Base64 encoding of `length` bytes into `out`, zero-terminated. The caller sizes `out`: 4
 * characters per started group of 3 bytes, 2 more for every full 76-character line followed by
 * more output, and 1 for the terminating zero. Returns the characters written without the zero;
 * -1 (and an empty string when `out` is not null) when `out` is null, `in` is null with a
 * non-zero length, `length` is negative or the encoding would not fit an int. */
FENNIX_API int fennix_Base64Encode(const unsigned char* in, int length, char* out);

/* Base64 decoding of `length` characters. Characters outside the alphabet (CR, LF, blanks, "=")
 * are skipped; each 4 alphabet characters give 3 bytes, a final 3 give 2, a final 2 give 1. The
 * caller sizes `out` for 3 bytes per 4 input characters (rounded up). Returns the bytes written
 * (no terminating zero); -1 when `out` is null, `in` is null with a non-zero length, or `length`
 * is negative. */
FENNIX_API int fennix_Base64Decode(const char* in, int length, unsigned char* out);

/* AES-CBC without padding; `length` a multiple of 16. `in` and `out` may be the same buffer. */
FENNIX_API int fennix_AESEncrypt(const unsigned char* in, int length, unsigned char* out,
                                 const fennix_key_record* key, const fennix_iv_record* iv);
FENNIX_API int fennix_AESDecrypt(const unsigned char* in, int length, unsigned char* out,
                                 const fennix_key_record* key, const fennix_iv_record* iv);

/* One-shot digests of `length` (> 0) bytes. */
FENNIX_API int fennix_SHA1Digest(const unsigned char* data, int length, fennix_digest_record* out);
FENNIX_API int fennix_MD5Digest(const unsigned char* data, int length, fennix_digest_record* out);

/* Incremental MD5. Create allocates an opaque 104-byte context (FENNIX_ERR_MEMORY when that
 * fails); Update feeds `length` (> 0) bytes; Final writes the digest of everything fed and starts
 * the context over; Destroy wipes and frees it. */
FENNIX_API int fennix_CreateMD5Ctx(void** context);
FENNIX_API int fennix_MD5Update(void* context, const unsigned char* data, int length);
FENNIX_API int fennix_MD5Final(void* context, fennix_digest_record* out);
FENNIX_API int fennix_DestroyMD5Ctx(void* context);

/* HMAC-SHA1 of `length` (> 0) bytes with the key record's key (any length, also 0; a key over
 * 64 bytes is hashed first). */
FENNIX_API int fennix_HMACSHA1Digest(const unsigned char* data, int length, fennix_digest_record* out,
                                     const fennix_key_record* key);

#ifdef __cplusplus
}
#endif

#endif /* FENNIX_FENNIX_H */
