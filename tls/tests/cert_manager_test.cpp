// The certificate manager: trusted-folder hashing, password scrambling, the toolkit's CA,
// request, signing and PKCS#12 round trips, certificate details.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>

#include "tamberk/ssl_certificate_manager.h"
#include "test_certs.h"

using namespace tamberk::test;
namespace fs = std::filesystem;

namespace {

std::string RoundTrip(const std::string& text) {
    std::unique_ptr<char[]> scrambled(TwSslCertificateManager::Encrypt(text.c_str()));
    if (!scrambled) return "<null>";
    std::string copy(scrambled.get());
    TwSslCertificateManager::Decrypt(copy.data());
    return std::string(copy.c_str());
}

TEST(PasswordScrambling, RoundTripsAnyLength) {
    EXPECT_EQ(RoundTrip("abc"), "abc");
    std::mt19937 rng(3);
    for (std::size_t length : {1u, 54u, 55u, 56u, 100u, 255u, 256u, 1000u}) {
        std::string text(length, ' ');
        for (auto& ch : text) ch = static_cast<char>('!' + rng() % 90);
        EXPECT_EQ(RoundTrip(text), text) << length;
    }
}

TEST(PasswordScrambling, EmptyAndNullGiveNull) {
    EXPECT_EQ(TwSslCertificateManager::Encrypt(""), nullptr);
    EXPECT_EQ(TwSslCertificateManager::Encrypt(nullptr), nullptr);
    TwSslCertificateManager::Decrypt(nullptr);
}

TEST(PasswordScrambling, ShortTextsKeepTheirStoredForm) {
    // 'a' ^ '~' = 0x1F, 'b' ^ '#' = 0x41, 'c' ^ '!' = 0x42 -> Base64 "H0FC".
    std::unique_ptr<char[]> s(TwSslCertificateManager::Encrypt("abc"));
    EXPECT_STREQ(s.get(), "H0FC");
}

TEST(PasswordScrambling, NonBase64TextIsLeftAlone) {
    char text[] = "plain password!";
    TwSslCertificateManager::Decrypt(text);
    EXPECT_STREQ(text, "plain password!");
}

TEST(TrustedFolder, HashNamesAreReadOnlyCopiesAndMissingFolderIsCreated) {
    TempDir dir;
    std::string folder = dir.Path() + "/ca";
    TwSslCertificateManager manager;
    EXPECT_EQ(manager.HashTrustedCertificates(folder.c_str()), 0);
    EXPECT_TRUE(fs::is_directory(folder));
    CertKey a = MakeCert("Root A", nullptr, true), b = MakeCert("Root B", nullptr, true);
    WritePem(folder + "/a.pem", a, false);
    WritePem(folder + "/b.CRT", b, false);
    std::ofstream(folder + "/junk.pem") << "not a certificate";
    EXPECT_EQ(manager.HashTrustedCertificates(folder.c_str()), 1);
    for (const CertKey* ck : {&a, &b}) {
        char name[32];
        std::snprintf(name, sizeof name, "/%08lx.0", X509_subject_name_hash(ck->cert));
        struct stat st {};
        ASSERT_EQ(::stat((folder + name).c_str(), &st), 0) << name;
        EXPECT_EQ(st.st_mode & 0222, 0u);
    }
    EXPECT_EQ(manager.HashTrustedCertificates(folder.c_str()), 1);  // again: overwritten
}

TEST(Toolkit, CaRequestSignAndVerify) {
    TempDir dir;
    const fs::path cwd = fs::current_path();
    TwSslCertificateManager m;
    std::string caCert = dir.Path() + "/ca.pem", caKey = dir.Path() + "/ca.key";
    ASSERT_EQ(m.GenerateSelfSignedCACertificate(caCert.c_str(), caKey.c_str(), "capass", "CN", "Town", "Org",
                                                "Unit", "Test CA", "ca@example.test"),
              1);
    EXPECT_EQ(m.VerifyServerCertificate(caCert.c_str(), caKey.c_str(), "capass"), 1);
    EXPECT_EQ(m.VerifyServerCertificate(caCert.c_str(), caKey.c_str(), "wrong"), 0);
    std::string req = dir.Path() + "/user.csr", userKey = dir.Path() + "/user.key",
                userCert = dir.Path() + "/user.pem";
    ASSERT_EQ(m.BuildCertificateRequest(req.c_str(), userKey.c_str(), "userpass", "CN", "Town", "Org", "",
                                        "alice", "alice@example.test", 0),
              1);
    ASSERT_EQ(
        m.SignCertificateRequest(caCert.c_str(), caKey.c_str(), "capass", req.c_str(), userCert.c_str()), 1);
    EXPECT_EQ(m.VerifyCertificateSubject(userCert.c_str(), "ALICE"), 1);
    EXPECT_EQ(m.VerifyCertificateSubject(userCert.c_str(), "bob"), 0);
    EXPECT_EQ(m.VerifyServerCertificate(userCert.c_str(), userKey.c_str(), "userpass"), 1);
    // A request from another organisation does not match the CA's policy.
    std::string req2 = dir.Path() + "/other.csr", key2 = dir.Path() + "/other.key";
    ASSERT_EQ(m.BuildCertificateRequest(req2.c_str(), key2.c_str(), "p", "CN", "Town", "Elsewhere", "",
                                        "mallory", "", 0),
              1);
    EXPECT_EQ(m.SignCertificateRequest(caCert.c_str(), caKey.c_str(), "capass", req2.c_str(),
                                       (dir.Path() + "/other.pem").c_str()),
              0);
    EXPECT_EQ(
        m.GenerateSelfSignedCACertificate(caCert.c_str(), caKey.c_str(), nullptr, "", "", "", "", "", ""), 0);

    char *subject, *issuer, *version, *serial, *from, *to;
    ASSERT_EQ(TwSslCertificateManager::GetCertInfo(userCert.c_str(), &subject, &issuer, &version, &serial,
                                                   &from, &to),
              1);
    EXPECT_STREQ(subject, "C=CN/L=Town/O=Org/CN=alice/E=alice@example.test");
    EXPECT_STREQ(issuer, "C=CN/L=Town/O=Org/OU=Unit/CN=Test CA/E=ca@example.test");
    EXPECT_STREQ(version, "3");
    for (char* p : {subject, issuer, version, serial, from, to}) delete[] p;
    // Nothing was written beside the process, and it stayed where it was.
    EXPECT_EQ(fs::current_path(), cwd);
    EXPECT_FALSE(fs::exists(cwd / "CertReqConfig.cnf"));
    EXPECT_FALSE(fs::exists(cwd / "index.txt"));
}

TEST(Toolkit, Pkcs12RoundTrip) {
    TempDir dir;
    CertKey ck = MakeCert("client.one", nullptr, false);
    std::string pem = dir.Path() + "/client.pem", p12 = dir.Path() + "/client.p12",
                back = dir.Path() + "/back.pem";
    WritePem(pem, ck, true);
    ASSERT_EQ(TwSslCertificateManager::ConvertCertFile(pem.c_str(), p12.c_str(), nullptr, "exportpw", 1), 0);
    EXPECT_EQ(TwSslCertificateManager::ConvertCertFile(p12.c_str(), back.c_str(), "wrong", nullptr, 0), 1);
    ASSERT_EQ(TwSslCertificateManager::ConvertCertFile(p12.c_str(), back.c_str(), "exportpw", "pempw", 0), 0);
    TwSslCertificateManager m;
    EXPECT_EQ(m.VerifyServerCertificate(back.c_str(), back.c_str(), "pempw"), 1);
    EXPECT_EQ(m.VerifyCertificateSubject(back.c_str(), "client.one"), 1);
    EXPECT_EQ(TwSslCertificateManager::ConvertCertFile(dir.Path().c_str(), p12.c_str(), nullptr, nullptr, 1),
              1);
}

TEST(Toolkit, GarbageFilesAreRefused) {
    TempDir dir;
    std::mt19937 rng(9);
    std::string junk = dir.Path() + "/junk.p12";
    for (int i = 0; i < 50; ++i) {
        std::ofstream out(junk, std::ios::binary | std::ios::trunc);
        std::size_t n = rng() % 2000;
        for (std::size_t j = 0; j < n; ++j) out.put(static_cast<char>(rng()));
        out.close();
        EXPECT_EQ(TwSslCertificateManager::ConvertCertFile(junk.c_str(), (dir.Path() + "/o.pem").c_str(), "",
                                                           "", 0),
                  1);
        char *a, *b, *c, *d, *e, *f;
        EXPECT_EQ(TwSslCertificateManager::GetCertInfo(junk.c_str(), &a, &b, &c, &d, &e, &f), 0);
    }
}

}  // namespace
