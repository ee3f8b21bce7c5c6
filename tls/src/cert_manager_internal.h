// Trusted-folder hashing shared by binding, the accepted-certificate path and the public
// certificate manager.
#pragma once
#include <string>

namespace tamberk {

// Gives every .pem/.crt file of the folder a read-only copy named by its subject hash
// ("%08lx.0"); creates the folder when missing. Returns the number of names made.
int HashTrustedCertificatesIn(const std::string& folder);
// The same for one file; false when it cannot be read or copied.
bool HashTrustedCertificateFile(const std::string& file, const std::string& folder);

}  // namespace tamberk
