// OpenSSL's per-certificate verify callback and state/alert callback for our connections.
#pragma once
#include <openssl/ssl.h>

namespace tamberk {

int VerifyCertificateCallback(int preverify, X509_STORE_CTX* store);
void SslConnectionInfoCallback(const SSL* ssl, int where, int value);

}  // namespace tamberk
