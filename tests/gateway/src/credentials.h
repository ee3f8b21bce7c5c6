// The gateway's certificate, its key and the folder of CAs it trusts for client certificates:
// taken from the configuration, or minted at start so that a harness needs no files of its own.
#pragma once
#include <string>

#include "gateway/gateway_config.h"

namespace qelgw {

struct Credentials {
    std::string certFile;   // PEM certificate (with its key unless keyFile is set)
    std::string keyFile;    // empty: in certFile
    std::string trustPath;  // folder of trusted CA certificates (client certificates)
    std::string caCert;     // the CA's certificate and key as files (minted or given)
    std::string caKey;
};

// Writes what it mints into config.stateDir (made when empty). False with *error.
bool PrepareCredentials(GatewayConfig& config, Credentials* out, std::string* error);

}  // namespace qelgw
