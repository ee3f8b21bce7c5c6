// The HTTPS file fetch against nginx on loopback, directly and through tinyproxy, and against a
// scripted proxy for the answers a real proxy does not give.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "https_server.h"
#include "platform/process.h"
#include "platform/settings_store.h"
#include "prendle/proxy_handshake.h"
#include "schannel_client.h"
#include "testsupport/as_user.h"
#include "testsupport/command.h"
#include "testsupport/cutting_proxy.h"
#include "testsupport/net.h"
#include "testsupport/temp_root.h"
#include "testsupport/tiny_proxy.h"

namespace {

class RecordingUi : public SchannelUi {
public:
    explicit RecordingUi(bool yes = false) : m_yes(yes) {}
    bool AskYesNo(const std::string& caption, const std::string& text) override {
        questions.push_back(caption + "|" + text);
        return m_yes;
    }
    void ShowError(const std::string& caption, const std::string& text) override {
        errors.push_back(caption + "|" + text);
    }
    void ShowMessage(const std::string& text) override { messages.push_back(text); }
    std::vector<std::string> questions, errors, messages;

private:
    bool m_yes;
};

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

using testsupport::TinyProxy;

class FetchTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists("/usr/sbin/nginx")) GTEST_SKIP() << "nginx is not installed";
        m_server = std::make_unique<updatetest::HttpsServer>();
        ASSERT_TRUE(m_server->Ok()) << m_server->ErrorLog();
        m_options.trusted = {m_server->CaPem()};
        m_options.appTitle = "Qel";
        m_options.timing.connectMs = 5000;
        m_options.timing.proxyAnswerMs = 5000;
        m_options.timing.receiveMs = 5000;
    }
    int Get(const std::string& path, SchannelResponse* r, const char* host = "localhost") {
        return SchannelClient(host, m_server->Port(), path.c_str(), m_options, r);
    }

    testsupport::TempRoot m_root{"qel-fetch"};
    std::unique_ptr<updatetest::HttpsServer> m_server;
    SchannelOptions m_options;
};

std::string Binary(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7919) >> 3);
    return s;
}

TEST_F(FetchTest, FetchesAFileWithItsWholeBodyWithOrWithoutALength) {
    const std::string body = Binary(300000);
    m_server->Put("/files/big.bin", body);
    SchannelResponse r;
    ASSERT_EQ(Get("/files/big.bin", &r), 1);
    EXPECT_EQ(r.failedStep, SchannelStep::kNone);
    EXPECT_EQ(r.status, 200);
    EXPECT_TRUE(Has(r.head, "Content-Length: 300000\r\n")) << r.head;
    EXPECT_EQ(r.body, body);

    m_server->Put("/files/empty.txt", "");
    ASSERT_EQ(Get("/files/empty.txt", &r), 1);
    EXPECT_EQ(r.body, "");

    // Without a length (server-side includes drop it) the body ends with the server's TLS close.
    m_server->Put("/nolength/list.txt", "line one\r\nline two\r\n");
    ASSERT_EQ(Get("/nolength/list.txt", &r), 1) << r.head;
    EXPECT_FALSE(Has(r.head, "Content-Length"));
    EXPECT_EQ(r.body, "line one\r\nline two\r\n");
}

TEST_F(FetchTest, ShortBodiesErrorStatusesOversizedAnswersAndBadArgumentsFail) {
    SchannelResponse r;
    EXPECT_EQ(Get("/short/file.bin", &r), 0) << "1000 of the 100000 bytes announced";
    EXPECT_EQ(r.failedStep, SchannelStep::kFetch);
    EXPECT_EQ(r.status, 200);
    EXPECT_TRUE(r.body.empty());

    EXPECT_EQ(Get("/nothing-here.bin", &r), 0);
    EXPECT_EQ(r.failedStep, SchannelStep::kFetch);
    EXPECT_EQ(r.status, 404);

    m_server->Put("/files/big.bin", Binary(50000));
    m_options.responseMax = 20000;
    EXPECT_EQ(Get("/files/big.bin", &r), 0) << "over the response bound";
    EXPECT_EQ(r.failedStep, SchannelStep::kFetch);
    m_server->Put("/nolength/big.txt", std::string(50000, 'n'));
    EXPECT_EQ(Get("/nolength/big.txt", &r), 0) << "over the bound without a length";
    EXPECT_EQ(r.failedStep, SchannelStep::kFetch);

    for (const char* path : {"no-slash", "/a b", "/a\r\nX-Injected: 1", ""}) {
        EXPECT_EQ(Get(path, &r), 0) << path;
        EXPECT_EQ(r.failedStep, SchannelStep::kArguments);
    }
    EXPECT_EQ(Get("/x", &r, "local host"), 0);
    EXPECT_EQ(r.failedStep, SchannelStep::kArguments);
    m_options.proxyHost = "127.0.0.1";
    m_options.proxyPort = 3128;
    m_options.proxyUser = "u";
    m_options.proxyPassword = std::string(300, 'p');
    EXPECT_EQ(Get("/x", &r), 0) << "credentials over their field";
    EXPECT_EQ(r.failedStep, SchannelStep::kArguments);

    SchannelOptions plain;
    plain.timing.connectMs = 2000;
    testsupport::LoopbackListener closed(1);
    const unsigned short port = closed.port;
    closed.fd.Reset();
    EXPECT_EQ(SchannelClient("127.0.0.1", port, "/x", plain, &r), 0);
    EXPECT_EQ(r.failedStep, SchannelStep::kConnect);
}

TEST_F(FetchTest, TheServersCertificateMustPassTheTrustCheck) {
    m_server->Put("/files/a.txt", "a");
    SchannelResponse r;
    RecordingUi ui(true);
    testsupport::CertKey other = testsupport::MakeCert("Other CA", nullptr, true);
    m_options.trusted = {updatetest::PemOf(other)};
    EXPECT_EQ(Get("/files/a.txt", &r), 0) << "unknown CA, nobody to ask";
    EXPECT_EQ(r.failedStep, SchannelStep::kCertificate);
    EXPECT_TRUE(r.head.empty()) << "no request went out";
    if (::geteuid() == 0) {
        m_options.ui = &ui;
        EXPECT_EQ(Get("/files/a.txt", &r), 0) << "root never takes an unverified server";
        EXPECT_TRUE(ui.questions.empty());
    }
    // The right CA, but the server's certificate does not name 127.0.0.1.
    m_options.ui = nullptr;
    m_options.trusted = {m_server->CaPem()};
    EXPECT_EQ(Get("/files/a.txt", &r, "127.0.0.1"), 0);
    EXPECT_EQ(r.failedStep, SchannelStep::kCertificate);
    // The certificate the tunnel accepted is trusted as it is.
    m_options.trusted = {m_server->ServerPem()};
    EXPECT_EQ(Get("/files/a.txt", &r, "127.0.0.1"), 1);
    EXPECT_EQ(r.body, "a");
    // Without a list of its own the fetch reads the trusted-CA folder of the installation.
    const std::string install = m_root.Path() + "/install";
    std::filesystem::create_directories(install + "/trusted");
    std::ofstream(install + "/trusted/ca.pem") << m_server->CaPem();
    platform::SettingsStore::Machine()->SetString("Software\\Morvane\\QelClient", "InstallDir", install);
    m_options.trusted.clear();
    EXPECT_EQ(Get("/files/a.txt", &r), 1);
    std::filesystem::remove(install + "/trusted/ca.pem");
    EXPECT_EQ(Get("/files/a.txt", &r), 0);
    EXPECT_EQ(r.failedStep, SchannelStep::kCertificate);
}

TEST_F(FetchTest, AUsersOwnProcessMayTakeAnUnverifiedServerOnTheUsersWord) {
    m_server->Put("/files/a.txt", "a");
    testsupport::CertKey other = testsupport::MakeCert("Other CA", nullptr, true);
    // A process of its own (see fetch_as_user.cpp for its exit codes), as an ordinary user.
    for (const char* answer : {"yes", "no"}) {
        const std::vector<std::string> argv = {testsupport::BinDir() + "/update_fetch_as_user",
                                               std::to_string(m_server->Port()), "/files/a.txt",
                                               updatetest::PemOf(other), answer};
        const int code = ::geteuid() == 0 ? testsupport::RunProgramAsUser(testsupport::AsUser{}, argv)
                                          : testsupport::Run(argv);
        EXPECT_EQ(code, std::string(answer) == "yes" ? 1 : 2) << answer;
    }
}

TEST_F(FetchTest, ThroughTinyproxyWithAndWithoutAuthentication) {
    if (platform::FindProgram("tinyproxy").empty()) GTEST_SKIP() << "tinyproxy is not installed";
    const std::string body = Binary(70000);
    m_server->Put("/files/p.bin", body);
    SchannelResponse r;
    {
        testsupport::TempDir dir("qel-tinyproxy");
        TinyProxy proxy(dir.Path(), "", "");
        ASSERT_TRUE(proxy.Ready());
        m_options.proxyHost = "127.0.0.1";
        m_options.proxyPort = proxy.Port();
        ASSERT_EQ(Get("/files/p.bin", &r), 1);
        EXPECT_EQ(r.body, body);
    }
    testsupport::TempDir dir("qel-tinyproxy");
    TinyProxy proxy(dir.Path(), "alice", "wonder");
    ASSERT_TRUE(proxy.Ready());
    m_options.proxyHost = "localhost";
    m_options.proxyPort = proxy.Port();
    m_options.proxyUser = "alice";
    m_options.proxyPassword = "wonder";
    ASSERT_EQ(Get("/files/p.bin", &r), 1);
    EXPECT_EQ(r.body, body);

    RecordingUi ui;
    m_options.ui = &ui;
    m_options.proxyPassword = "wrong";
    EXPECT_EQ(Get("/files/p.bin", &r), 0);
    EXPECT_EQ(r.failedStep, SchannelStep::kConnect);
    m_options.proxyUser.clear();
    EXPECT_EQ(Get("/files/p.bin", &r), 0);
    EXPECT_EQ(ui.messages, (std::vector<std::string>{"不能通过代理服务器认证，账号或密码不正确!",
                                                     "不能通过代理服务器认证，请检查代理服务器设置!"}));
}

// A proxy that answers one connection with a script.
class ScriptedProxy {
public:
    enum class Mode { kAnswer, kEndless, kSilence };
    ScriptedProxy(Mode mode, std::string answer) : m_mode(mode), m_answer(std::move(answer)) {
        m_thread = std::thread([this] { Run(); });
    }
    ~ScriptedProxy() {
        m_stop = true;
        m_thread.join();
    }
    unsigned short Port() const { return m_listener.port; }
    std::string Request() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_request;
    }

private:
    static bool Readable(int fd, int ms) {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, ms) > 0;
    }
    void Run() {
        platform::UniqueFd c;
        while (!m_stop && !c) {
            if (Readable(m_listener.fd.Get(), 10)) c.Reset(m_listener.Accept());
        }
        if (!c) return;
        std::string request;
        char buf[4096];
        while (!m_stop && request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
            if (!Readable(c.Get(), 10)) continue;
            ssize_t n = ::recv(c.Get(), buf, sizeof(buf), 0);
            if (n <= 0) break;
            request.append(buf, static_cast<std::size_t>(n));
        }
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_request = request;
        }
        if (!m_answer.empty() && !testsupport::SendAll(c.Get(), m_answer.data(), m_answer.size())) return;
        const std::string filler = "X-Filler: " + std::string(1000, 'f') + "\r\n";
        while (!m_stop) {
            if (m_mode == Mode::kEndless) {
                pollfd p{c.Get(), POLLOUT, 0};
                if (::poll(&p, 1, 10) > 0 && ::send(c.Get(), filler.data(), filler.size(), MSG_NOSIGNAL) < 0)
                    return;
            } else if (m_mode == Mode::kSilence) {
                char b;
                if (Readable(c.Get(), 10) && ::recv(c.Get(), &b, 1, 0) <= 0) return;  // the client went
            } else {
                return;
            }
        }
    }

    Mode m_mode;
    std::string m_answer;
    testsupport::LoopbackListener m_listener{4};
    std::atomic<bool> m_stop{false};
    std::mutex m_lock;
    std::string m_request;
    std::thread m_thread;
};

// However the proxy cuts its answer, down to a byte a packet or inside the status line, the fetch
// reads it to the blank line and the file comes whole through the tunnel.
TEST_F(FetchTest, TrickledProxyAnswerIsReadAcrossPackets) {
    const std::string body = Binary(70000);
    m_server->Put("/files/t.bin", body);
    for (const std::size_t piece : {std::size_t{1}, std::size_t{7}}) {
        SCOPED_TRACE("pieces of " + std::to_string(piece));
        testsupport::CuttingProxy proxy("HTTP/1.1 200 Connection established\r\n\r\n", piece,
                                        m_server->Port());
        RecordingUi ui;
        m_options.ui = &ui;
        m_options.proxyHost = "127.0.0.1";
        m_options.proxyPort = proxy.Port();
        m_options.timing.proxyAnswerMs = 20000;
        SchannelResponse r;
        ASSERT_EQ(Get("/files/t.bin", &r), 1) << (ui.messages.empty() ? "" : ui.messages[0]);
        EXPECT_EQ(r.body, body);
        EXPECT_GT(proxy.PiecesSent(), 5);
    }
}

TEST(FetchProxyTest, TheProxysAnswerIsBoundedAndTimed) {
    testsupport::TempRoot root("qel-fetchproxy");
    struct Case {
        ScriptedProxy::Mode mode;
        std::string answer, message;
    };
    const std::vector<Case> cases = {
        {ScriptedProxy::Mode::kEndless, "HTTP/1.1 200 OK\r\n",
         "不能建立与代理服务器的连接，代理服务器返回下列信息：\nHTTP/1.1 200 OK\r\nX-Filler: fff"},
        {ScriptedProxy::Mode::kSilence, "", "接收代理服务器应答超时，请稍后再试!"},
        {ScriptedProxy::Mode::kSilence, "HTTP/1.1 200 OK\r\nVia: slow\r\n",
         "接收代理服务器应答超时，请稍后再试!"},
        {ScriptedProxy::Mode::kAnswer, "HTTP/1.0 403 Forbidden\r\n\r\n",
         "不能建立与代理服务器的连接，代理服务器返回下列信息：\nHTTP/1.0 403 Forbidden\r\n\r\n"},
        {ScriptedProxy::Mode::kAnswer, "\x16\x03\x01 garbage\x01\r\n\r\n",
         "不能建立与代理服务器的连接，代理服务器返回下列信息：\n??? garbage?\r\n\r\n"},
        {ScriptedProxy::Mode::kAnswer, "HTTP/1.1 200 OK\r\nVia: x\r\n",
         "接收代理服务器应答出错，Socket错误号为10054，请稍后再试!"},
    };
    for (const Case& c : cases) {
        ScriptedProxy proxy(c.mode, c.answer);
        RecordingUi ui;
        SchannelOptions options;
        options.proxyHost = "127.0.0.1";
        options.proxyPort = proxy.Port();
        options.ui = &ui;
        options.timing.proxyAnswerMs = 300;
        SchannelResponse r;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(SchannelClient("update.example", 8443, "/x", options, &r), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
        EXPECT_EQ(r.failedStep, SchannelStep::kConnect);
        ASSERT_EQ(ui.messages.size(), 1u) << c.answer;
        EXPECT_TRUE(Has(ui.messages[0], c.message)) << ui.messages[0];
        EXPECT_EQ(proxy.Request(), prendle::BuildProxyRequest("update.example", 8443, ""))
            << "the socket engine's request, naming the server";
    }
}

}  // namespace
