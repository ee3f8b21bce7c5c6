// The trusted CA folder, stored-password scrambling and a small certificate toolkit.
//
// Texts handed out (Encrypt, GetCertInfo) are new heap texts the caller frees with delete[].
// Every operation is safe to call from any thread; none changes the process's current folder.
#pragma once
#include "tamberk/export.h"

class TAMBERK_API TwSslCertificateManager {
public:
    TwSslCertificateManager();  // raises the process-wide OpenSSL use count
    ~TwSslCertificateManager();
    TwSslCertificateManager(const TwSslCertificateManager& other);
    TwSslCertificateManager& operator=(const TwSslCertificateManager& other);

    // Every *.pem / *.crt of the folder gets a read-only copy named "%08lx.0" after its subject
    // hash; the folder is created when missing. 1 when at least one name was made.
    int HashTrustedCertificates(const char* folder);
    int HashTrustedCertificate(const char* certificateFile, const char* folder);

    // Reversible scrambling of a stored password, Base64 of the scrambled bytes. Any length
    // round-trips; null for a null or empty text.
    static char* Encrypt(const char* text);
    // In place; a text that is not Base64 (an old plain one) is left as it is.
    static void Decrypt(char* text);

    // 1 when the PEM certificate and key load (the key opens with the password) and match.
    int VerifyServerCertificate(const char* certFile, const char* keyFile, const char* keyPassword);
    // OpenSSL's key-password callback shape; userdata is the password. Its length, 0 for nulls.
    static int SslVerifyRsaKeyPasswordCallback(char* buffer, int size, int flag, void* password);
    // 1 when the certificate's subject common name equals the name (case-insensitive).
    int VerifyCertificateSubject(const char* certFile, const char* name);

    int GenerateSelfSignedCACertificate(const char* certOut, const char* keyOut, const char* keyPassword,
                                        const char* country, const char* locality, const char* organisation,
                                        const char* unit, const char* commonName, const char* email);
    int BuildCertificateRequest(const char* requestOut, const char* keyOut, const char* keyPassword,
                                const char* country, const char* locality, const char* organisation,
                                const char* unit, const char* commonName, const char* email, int caFlag);
    int SignCertificateRequest(const char* caCertFile, const char* caKeyFile, const char* caKeyPassword,
                               const char* requestFile, const char* certOut);
    // PEM (certificate + key) to PKCS#12 with `exportFlag`, PKCS#12 to PEM without. 0 on
    // success, 1 on failure (the exit status the conversion has always reported).
    static int ConvertCertFile(const char* inFile, const char* outFile, const char* inPassword,
                               const char* outPassword, int exportFlag);
    // Subject, issuer, version, serial, validity start and end as new heap texts. 1/0.
    static int GetCertInfo(const char* certFile, char** subject, char** issuer, char** version, char** serial,
                           char** notBefore, char** notAfter);

private:
    void* m_reserved = nullptr;
};
