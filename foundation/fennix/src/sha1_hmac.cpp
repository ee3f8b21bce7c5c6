// SHA-1 from OpenSSL's libcrypto and HMAC-SHA1 (RFC 2104) built over it.
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>

#include "digest_record.h"
#include "fennix/fennix.h"

namespace {

constexpr std::size_t kBlockSize = 64;

// One SHA-1 over up to two pieces. FENNIX_ERR_MEMORY when OpenSSL cannot get a context.
int Sha1(const unsigned char* a, std::size_t aLength, const unsigned char* b, std::size_t bLength,
         unsigned char digest[FENNIX_SHA1_LENGTH]) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (ctx == nullptr) return FENNIX_ERR_MEMORY;
    unsigned int written = 0;
    const bool ok = EVP_DigestInit_ex(ctx, EVP_sha1(), nullptr) == 1 &&
                    (aLength == 0 || EVP_DigestUpdate(ctx, a, aLength) == 1) &&
                    (bLength == 0 || EVP_DigestUpdate(ctx, b, bLength) == 1) &&
                    EVP_DigestFinal_ex(ctx, digest, &written) == 1 && written == FENNIX_SHA1_LENGTH;
    EVP_MD_CTX_free(ctx);
    // Init fails only when the provider cannot be loaded or allocated: treat it as lack of memory.
    return ok ? FENNIX_OK : FENNIX_ERR_MEMORY;
}

int HmacSha1(const unsigned char* key, std::size_t keyLength, const unsigned char* data, std::size_t length,
             unsigned char mac[FENNIX_SHA1_LENGTH]) {
    unsigned char block[kBlockSize] = {};
    int rc = FENNIX_OK;
    if (keyLength > kBlockSize) {
        rc = Sha1(key, keyLength, nullptr, 0, block);
    } else if (keyLength > 0) {
        for (std::size_t i = 0; i < keyLength; ++i) block[i] = key[i];
    }
    unsigned char pad[kBlockSize];
    unsigned char inner[FENNIX_SHA1_LENGTH];
    if (rc == FENNIX_OK) {
        for (std::size_t i = 0; i < kBlockSize; ++i) pad[i] = block[i] ^ 0x36;
        rc = Sha1(pad, kBlockSize, data, length, inner);
    }
    if (rc == FENNIX_OK) {
        for (std::size_t i = 0; i < kBlockSize; ++i) pad[i] = block[i] ^ 0x5C;
        rc = Sha1(pad, kBlockSize, inner, sizeof inner, mac);
    }
    OPENSSL_cleanse(block, sizeof block);
    OPENSSL_cleanse(pad, sizeof pad);
    OPENSSL_cleanse(inner, sizeof inner);
    return rc;
}

}  // namespace

extern "C" FENNIX_API int fennix_SHA1Digest(const unsigned char* data, int length,
                                            fennix_digest_record* out) {
    if (data == nullptr || length <= 0 || !fennix::RecordFits(out, FENNIX_SHA1_LENGTH))
        return FENNIX_ERR_ARGUMENT;
    unsigned char digest[FENNIX_SHA1_LENGTH];
    const int rc = Sha1(data, static_cast<std::size_t>(length), nullptr, 0, digest);
    if (rc == FENNIX_OK) fennix::WriteDigest(out, digest, sizeof digest);
    return rc;
}

extern "C" FENNIX_API int fennix_HMACSHA1Digest(const unsigned char* data, int length,
                                                fennix_digest_record* out, const fennix_key_record* key) {
    if (data == nullptr || length <= 0 || key == nullptr || !fennix::RecordFits(out, FENNIX_SHA1_LENGTH)) {
        return FENNIX_ERR_ARGUMENT;
    }
    unsigned char mac[FENNIX_SHA1_LENGTH];
    const int rc = HmacSha1(key->key, key->length, data, static_cast<std::size_t>(length), mac);
    if (rc == FENNIX_OK) fennix::WriteDigest(out, mac, sizeof mac);
    OPENSSL_cleanse(mac, sizeof mac);
    return rc;
}
