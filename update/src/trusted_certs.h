// The certificates a download may trust: those of the trusted-CA folder, which also holds the
// gateway certificates the tunnel accepted (the TLS library writes them there). Used by the
// update library's HTTPS client and by the HTTPS file fetch.
#pragma once
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <string>
#include <vector>

namespace update_trust {

// <InstallDir>/trusted, InstallDir from "Software\\Morvane\\QelClient" (the machine's default
// install folder when it is not set); for a member, "trusted" in the member's own place (empty
// when that place is refused).
std::string TrustedFolder();

// Whether downloads by this process may skip the check: only when the root-only setting
// "SOFTWARE\\Morvane" UpdateAllowUnverifiedServer is 1 and the process is not root.
bool AllowUnverified();

// The PEM texts of every certificate file (*.pem, *.crt, *.cer, hash names *.N) of a folder.
std::vector<std::string> ReadFolder(const std::string& folder);

// Verifies a server's certificate: accepted when it is one of `trusted` itself (a certificate
// the tunnel accepted), or when its chain ends in one of them and it names `host` (a DNS name or
// an IP address). On failure *error is the OpenSSL verification error.
bool VerifyServer(X509* leaf, STACK_OF(X509) * chain, const std::vector<std::string>& trusted,
                  const std::string& host, int* error);

// Installs VerifyServer as the context's whole certificate check. `state` must outlive the
// handshakes of the context.
struct VerifyState {
    std::vector<std::string> trusted;
    std::string host;
    int error = 0;
};
void InstallVerifier(SSL_CTX* ctx, VerifyState* state);

}  // namespace update_trust
