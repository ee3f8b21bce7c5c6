// The verification policy with certificates made by the test: expired, unknown CA, chain depth,
// self-signed, AlwaysContinue, and the accepted gateway certificate saved under a safe name.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <openssl/pem.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "cert_text.h"
#include "tamberk/tls_log_sink.h"
#include "testsupport/tls_pipe.h"
#include "tls_log.h"

using namespace tamberk;
using namespace testsupport;
namespace fs = std::filesystem;

namespace {

// A PKI whose server chain the test chooses.
struct PolicyCase {
    TempDir dir;
    std::string caPath, serverPem;
    Recorder clientRec;
    PipePair pipe;
    std::vector<std::string> warnings;

    PolicyCase() {
        caPath = dir.Path() + "/trusted";
        fs::create_directories(caPath);
        serverPem = dir.Path() + "/server.pem";
        pipe.clientEngine->SetUserNotifier([this](const std::string& text) { warnings.push_back(text); });
    }
    int trusted = 0;
    void Trust(const CertKey& ca) {
        WritePem(caPath + "/ca-" + std::to_string(trusted++) + ".pem", ca, false);
    }
    void ServerChain(const CertKey& leaf, const std::vector<const CertKey*>& intermediates) {
        WritePem(serverPem, leaf, true);
        FILE* f = std::fopen(serverPem.c_str(), "a");
        for (auto* c : intermediates) PEM_write_X509(f, c->cert);
        std::fclose(f);
    }
    // Runs the handshake with the given policy; true when the client completed it.
    bool Handshake(TwCertificateVerificationPolicy policy) {
        pipe.clientEngine->Initialize(TW_SSL_PROTOCOL_TLSV1, nullptr);
        pipe.serverEngine->Initialize(TW_SSL_PROTOCOL_TLSV1, nullptr);
        pipe.clientEngine->SetCertVerifyPolicy(&policy);
        EXPECT_TRUE(pipe.clientEngine->BindClient(caPath.c_str(), nullptr));
        EXPECT_TRUE(
            pipe.serverEngine->BindServer(serverPem.c_str(), nullptr, nullptr, caPath.c_str(), nullptr))
            << pipe.serverEngine->BindError();
        pipe.clientEngine->Handlers().Register(23, 8192, clientRec.Sink());
        pipe.Start();
        pipe.Pump();
        return pipe.client->CompletedCount() == 1;
    }
};

// Stands in for the library's owner: records the lines of the levels it wants, counts the others.
struct RecordingSink : platform::LogSink {
    explicit RecordingSink(int lowestLevel) : lowest(lowestLevel) {}
    bool Wants(int level) override {
        if (level >= lowest) return true;
        ++refused;
        return false;
    }
    void Write(int level, const char* line) override {
        std::lock_guard<std::mutex> g(lock);
        lines.emplace_back(level, line);
    }
    const int lowest;
    std::atomic<int> refused{0};
    std::mutex lock;
    std::vector<std::pair<int, std::string>> lines;
};

// The library's lines reach the sink its owner set, with their levels, and only the wanted ones.
TEST(VerifyPolicy, ExpiredCertificateAcceptedWithAlwaysContinue) {
    auto sink = std::make_shared<RecordingSink>(kLogInfo);
    SetTlsLogSink(sink);
    {
        PolicyCase c;
        CertKey ca = MakeCert("Root", nullptr, true);
        CertKey leaf = MakeCert("gw.expired", &ca, false, -30, -1);
        c.Trust(ca);
        c.ServerChain(leaf, {});
        EXPECT_TRUE(c.Handshake({0, 8, 1}));
        EXPECT_TRUE(c.warnings.empty());
    }
    SetTlsLogSink(nullptr);
    std::lock_guard<std::mutex> g(sink->lock);
    const std::pair<int, std::string> expected{
        kLogInfo, "[VerifyCertificateCallback] m_policy.AlwaysContinue == TRUE, return TRUE"};
    EXPECT_NE(std::find(sink->lines.begin(), sink->lines.end(), expected), sink->lines.end());
    for (const auto& [level, line] : sink->lines) EXPECT_GE(level, kLogInfo) << line;
    EXPECT_GT(sink->refused.load(), 0) << "no debug line was even offered";
}

TEST(VerifyPolicy, ExpiredCertificateRejectedAndUserToldOnce) {
    PolicyCase c;
    CertKey ca = MakeCert("Root", nullptr, true);
    CertKey leaf = MakeCert("gw.expired", &ca, false, -30, -1);
    c.Trust(ca);
    c.ServerChain(leaf, {});
    EXPECT_FALSE(c.Handshake({0, 8, 0}));
    ASSERT_EQ(c.warnings.size(), 1u);
    EXPECT_NE(c.warnings[0].find("X509_V_ERR_CERT_HAS_EXPIRED"), std::string::npos);
    EXPECT_NE(c.warnings[0].find("gw.expired"), std::string::npos);
    EXPECT_TRUE(c.pipe.client->invalidPeerCertificate.load());
    EXPECT_TRUE(c.pipe.clientEnd->IsClosed());
    EXPECT_EQ(c.pipe.client->Error(), TW_SSL_ERR_HANDSHAKE);
}

TEST(VerifyPolicy, UnknownCaRejectedUnlessAlwaysContinue) {
    for (DWORD always : {0u, 1u}) {
        PolicyCase c;
        CertKey ca = MakeCert("Stranger Root", nullptr, true);
        CertKey other = MakeCert("Trusted Root", nullptr, true);
        CertKey leaf = MakeCert("gw.unknown", &ca, false);
        c.Trust(other);
        c.ServerChain(leaf, {});
        EXPECT_EQ(c.Handshake({0, 8, always}), always == 1) << always;
    }
}

TEST(VerifyPolicy, ChainDeeperThanThePolicyIsRejectedEvenWithAlwaysContinue) {
    for (DWORD depth : {1u, 2u}) {
        PolicyCase c;
        CertKey root = MakeCert("Root", nullptr, true);
        CertKey mid = MakeCert("Intermediate", &root, true);
        CertKey leaf = MakeCert("gw.deep", &mid, false);
        c.Trust(root);
        c.ServerChain(leaf, {&mid});
        // The root sits at depth 2.
        EXPECT_EQ(c.Handshake({0, depth, 1}), depth == 2) << depth;
    }
}

TEST(VerifyPolicy, SelfSignedServerAcceptedWhateverAlwaysContinueSays) {
    PolicyCase c;
    CertKey self = MakeCert("gw.self", nullptr, false);
    CertKey other = MakeCert("Trusted Root", nullptr, true);
    c.Trust(other);
    c.ServerChain(self, {});
    EXPECT_TRUE(c.Handshake({0, 8, 0}));
}

TEST(VerifyPolicy, AcceptedCertificateIsSavedUnderASafeNameAndTrusted) {
    PolicyCase c;
    CertKey ca = MakeCert("Root", nullptr, true);
    CertKey leaf = MakeCert("../../evil/gw", &ca, false);
    c.Trust(ca);
    c.ServerChain(leaf, {});
    ASSERT_TRUE(c.Handshake({0, 8, 1}));
    std::string saved = c.caPath + "/" + SafeFileName("../../evil/gw") + ".crt";
    EXPECT_TRUE(fs::exists(saved)) << saved;
    EXPECT_EQ(SafeFileName("../../evil/gw").find('/'), std::string::npos);
    EXPECT_FALSE(fs::exists(c.dir.Path() + "/evil"));
    char hash[32];
    std::snprintf(hash, sizeof hash, "%08lx.0", X509_subject_name_hash(leaf.cert));
    EXPECT_TRUE(fs::exists(c.caPath + "/" + hash));
}

TEST(SafeFileName, NeverCarriesAPath) {
    EXPECT_EQ(SafeFileName("gateway.example"), "gateway.example");
    for (const char* bad : {"", ".", "..", "../x", "a/b", "a\\b", "/etc/passwd"}) {
        std::string safe = SafeFileName(bad);
        EXPECT_EQ(safe.find('/'), std::string::npos) << bad;
        EXPECT_EQ(safe.find('\\'), std::string::npos) << bad;
        EXPECT_NE(safe[0], '.') << bad;
        EXPECT_FALSE(safe.empty());
    }
}

TEST(VerifyResultNames, AreOpenSslsNames) {
    EXPECT_STREQ(VerifyResultName(0), "X509_V_OK");
    EXPECT_STREQ(VerifyResultName(1), "Unknown result");
    EXPECT_STREQ(VerifyResultName(22), "X509_V_ERR_CERT_CHAIN_TOO_LONG");
    EXPECT_STREQ(VerifyResultName(32), "X509_V_ERR_KEYUSAGE_NO_CERTSIGN");
    EXPECT_STREQ(VerifyResultName(50), "X509_V_ERR_APPLICATION_VERIFICATION");
    EXPECT_STREQ(VerifyResultName(33), "Unknown result");
}

}  // namespace
