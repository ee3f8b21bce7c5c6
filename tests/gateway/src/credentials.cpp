#include "credentials.h"

#include <openssl/pem.h>
#include <openssl/x509.h>
#include <stdlib.h>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <system_error>
#include <utility>

#include "testsupport/certs.h"

namespace qelgw {

namespace fs = std::filesystem;

namespace {

bool LoadCa(const std::string& certPath, const std::string& keyPath, testsupport::CertKey* ca) {
    FILE* c = std::fopen(certPath.c_str(), "r");
    if (c == nullptr) return false;
    ca->cert = PEM_read_X509(c, nullptr, nullptr, nullptr);
    std::fclose(c);
    FILE* k = std::fopen(keyPath.c_str(), "r");
    if (k == nullptr) return false;
    ca->key = PEM_read_PrivateKey(k, nullptr, nullptr, nullptr);
    std::fclose(k);
    return ca->cert != nullptr && ca->key != nullptr;
}

bool Fail(std::string* error, const std::string& why) {
    if (error) *error = why;
    return false;
}

bool Prepare(GatewayConfig& config, Credentials* out, std::string* error) {
    std::error_code ec;
    if (config.stateDir.empty()) {
        std::string pattern = (fs::temp_directory_path(ec) / "qel-gateway-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) return Fail(error, "cannot make a state folder");
        config.stateDir = pattern;
    }
    fs::create_directories(config.stateDir + "/trusted", ec);
    if (ec) return Fail(error, "cannot make " + config.stateDir + "/trusted: " + ec.message());
    out->trustPath = config.stateDir + "/trusted";

    testsupport::CertKey ca;
    if (!config.caCert.empty()) {
        if (!config.caKey.empty() && !LoadCa(config.caCert, config.caKey, &ca))
            return Fail(error, "cannot read the CA " + config.caCert);
        fs::copy_file(config.caCert, out->trustPath + "/ca.pem", fs::copy_options::overwrite_existing, ec);
        if (ec) return Fail(error, "cannot copy " + config.caCert + ": " + ec.message());
        out->caCert = config.caCert;
        out->caKey = config.caKey;
    } else if (config.certFile.empty() && fs::exists(config.stateDir + "/server.pem") &&
               LoadCa(config.stateDir + "/ca.pem", config.stateDir + "/ca.key", &ca)) {
        // Minted by an earlier start in this folder: a restarted gateway keeps the CA that
        // clients and harnesses were given (and does not pay for new keys).
        out->caCert = config.stateDir + "/ca.pem";
        out->caKey = config.stateDir + "/ca.key";
        out->certFile = config.stateDir + "/server.pem";
        return true;
    } else if (config.certFile.empty()) {
        testsupport::CertKey minted = testsupport::MakeCert("Qel Test Gateway CA", nullptr, true);
        std::swap(ca.cert, minted.cert);
        std::swap(ca.key, minted.key);
        out->caCert = config.stateDir + "/ca.pem";
        out->caKey = config.stateDir + "/ca.key";
        testsupport::WritePem(out->caCert, ca, false);
        testsupport::WriteKeyPem(out->caKey, ca);
        testsupport::WritePem(out->trustPath + "/ca.pem", ca, false);
    }
    if (!config.certFile.empty()) {
        out->certFile = config.certFile;
        out->keyFile = config.keyFile;
        return true;
    }
    if (ca.cert == nullptr) return Fail(error, "a minted certificate needs the CA's key (ca_key)");
    testsupport::CertKey server = testsupport::MakeCert("qel.gateway.test", &ca, false);
    out->certFile = config.stateDir + "/server.pem";
    testsupport::WritePem(out->certFile, server, true);
    return true;
}

}  // namespace

bool PrepareCredentials(GatewayConfig& config, Credentials* out, std::string* error) {
    try {
        return Prepare(config, out, error);
    } catch (const std::exception& e) {  // the certificate helpers throw when a file cannot be written
        return Fail(error, e.what());
    }
}

}  // namespace qelgw
