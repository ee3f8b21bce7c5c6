#include "schannel_client.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "dailylog/shared_daily_log.h"
#include "platform/errors.h"
#include "platform/unique_fd.h"
#include "prendle/proxy_handshake.h"
#include "response_head.h"
#include "tls_channel.h"
#include "trusted_certs.h"

namespace {

using update_fetch::TlsChannel;

constexpr std::size_t kHostMax = 255;
constexpr std::size_t kPathMax = 2048;
constexpr std::size_t kCredentialsMax = 255;
constexpr std::size_t kNameTextMax = 1024;

#define FETCH_LOG(...) TW_LOG(LOG_CLIENT_LOGIN, 4, __VA_ARGS__)

struct SslCtxFree {
    void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
struct SslFree {
    void operator()(SSL* s) const { SSL_free(s); }
};

bool HostOk(const char* host) {
    if (!host || !*host) return false;
    std::size_t n = 0;
    for (const char* p = host; *p; ++p, ++n) {
        const auto c = static_cast<unsigned char>(*p);
        if (n >= kHostMax || !(std::isalnum(c) || c == '.' || c == '-')) return false;
    }
    return true;
}

bool PathOk(const char* path) {
    if (!path || path[0] != '/') return false;
    std::size_t n = 0;
    for (const char* p = path; *p; ++p, ++n) {
        const auto c = static_cast<unsigned char>(*p);
        if (n >= kPathMax || c <= 0x20 || c == 0x7F) return false;
    }
    return true;
}

bool IsIpv4(const char* host) {
    in_addr a{};
    return ::inet_pton(AF_INET, host, &a) == 1;
}

// A name as one bounded line for the question (escapes control characters and keeps UTF-8).
std::string NameText(X509_NAME* name) {
    std::string text;
    BIO* bio = BIO_new(BIO_s_mem());
    if (!bio) return text;
    X509_NAME_print_ex(bio, name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    if (n > 0) text.assign(data, std::min(static_cast<std::size_t>(n), kNameTextMax));
    BIO_free(bio);
    return text;
}

class Fetch {
public:
    Fetch(const char* host, unsigned short port, const char* path, const SchannelOptions& options,
          SchannelResponse* response)
        : m_host(host), m_port(port), m_path(path), m_options(options), m_response(response) {}

    int Run();

private:
    bool Fail(SchannelStep step) {
        m_response->failedStep = step;
        return false;
    }
    bool CreateCredentials();
    bool ConnectToServer();
    bool ConnectTcp(const std::string& host, unsigned short port, int* error);
    bool ProxyConnect();
    bool ProxyText(const std::string& text);
    bool PerformClientHandshake();
    bool CheckServerCertificate();
    bool HttpsGetFile();
    bool ReadResponse();
    void DisconnectFromServer();
    std::string ErrorCaption() const { return m_options.appTitle + "-错误"; }

    std::string m_host;
    unsigned short m_port;
    std::string m_path;
    const SchannelOptions& m_options;
    SchannelResponse* m_response;
    std::unique_ptr<SSL_CTX, SslCtxFree> m_ctx;
    std::unique_ptr<SSL, SslFree> m_ssl;
    std::unique_ptr<TlsChannel> m_channel;
    platform::UniqueFd m_fd;
};

bool Fetch::CreateCredentials() {
    m_ctx.reset(SSL_CTX_new(TLS_client_method()));
    if (!m_ctx) {
        FETCH_LOG("**** Error 0x%x returned by AcquireCredentialsHandle\n",
                  static_cast<unsigned>(ERR_get_error()));
        FETCH_LOG("SchannelClient: Error creating credentials\n");
        return Fail(SchannelStep::kCredentials);
    }
    // The certificate is judged after the handshake by the suite's own rule, which may ask.
    SSL_CTX_set_verify(m_ctx.get(), SSL_VERIFY_NONE, nullptr);
    return true;
}

bool Fetch::ConnectTcp(const std::string& host, unsigned short port, int* error) {
    *error = 0;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) {
        *error = EHOSTUNREACH;
        return false;
    }
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(found, ::freeaddrinfo);
    const platform::ClockDeadline deadline(*m_options.clock, m_options.timing.connectMs);
    for (addrinfo* a = found; a; a = a->ai_next) {
        sockaddr_in to = *reinterpret_cast<sockaddr_in*>(a->ai_addr);
        to.sin_port = htons(port);
        platform::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!fd) {
            *error = errno;
            return false;
        }
        int one = 1;
        ::setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0) {
            if (errno != EINPROGRESS) {
                *error = errno;
                continue;
            }
            if (!update_fetch::WaitSocket(fd.Get(), POLLOUT, deadline)) {
                *error = ETIMEDOUT;
                return false;
            }
            socklen_t len = sizeof(*error);
            if (::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, error, &len) != 0) *error = errno;
            if (*error != 0) continue;
        }
        m_fd = std::move(fd);
        return true;
    }
    return false;
}

bool Fetch::ConnectToServer() {
    const bool viaProxy = !m_options.proxyHost.empty() && m_options.proxyPort != 0;
    int error = 0;
    bool ok = viaProxy ? ConnectTcp(m_options.proxyHost, m_options.proxyPort, &error)
                       : ConnectTcp(m_host, m_port, &error);
    if (ok && viaProxy) ok = ProxyConnect();
    if (!ok) {
        FETCH_LOG("SchannelClient: Error connecting to server\n");
        return Fail(SchannelStep::kConnect);
    }
    FETCH_LOG("SchannelClient: ConnectToServer(%s, port %d) success\n", m_host.c_str(), m_port);
    return true;
}

// A text of the proxy road: to the user and to the log. Always false, for the caller's return.
bool Fetch::ProxyText(const std::string& text) {
    FETCH_LOG("%s", text.c_str());
    if (m_options.ui) m_options.ui->ShowMessage(text);
    return false;
}

bool Fetch::ProxyConnect() {
    const bool withCredentials = !m_options.proxyUser.empty();
    const std::string credentials =
        withCredentials ? m_options.proxyUser + ":" + m_options.proxyPassword : std::string();
    const std::string request = prendle::BuildProxyRequest(m_host, m_port, credentials);
    const platform::ClockDeadline deadline(*m_options.clock, m_options.timing.proxyAnswerMs);
    char text[256];
    for (std::size_t off = 0; off < request.size();) {
        ssize_t n = ::send(m_fd.Get(), request.data() + off, request.size() - off, MSG_NOSIGNAL);
        if (n > 0) {
            off += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!update_fetch::WaitSocket(m_fd.Get(), POLLOUT, deadline))
                return ProxyText("接收代理服务器应答超时，请稍后再试!");
        } else {
            std::snprintf(text, sizeof(text), "接收代理服务器应答出错，Socket错误号为%d，请稍后再试!",
                          static_cast<int>(platform::WsaErrorFromErrno(errno)));
            return ProxyText(text);
        }
    }
    prendle::ProxyAnswerReader reader;
    for (;;) {
        if (!update_fetch::WaitSocket(m_fd.Get(), POLLIN, deadline)) {
            FETCH_LOG("Can not receive full proxy response in 30 seconds\n");
            return ProxyText("接收代理服务器应答超时，请稍后再试!");
        }
        int error = 0;
        const prendle::ProxyAnswer verdict = prendle::FeedFromSocket(m_fd.Get(), reader, &error);
        if (error != 0) {
            std::snprintf(text, sizeof(text), "接收代理服务器应答出错，Socket错误号为%d，请稍后再试!",
                          static_cast<int>(platform::WsaErrorFromErrno(error)));
            return ProxyText(text);
        }
        switch (verdict) {
            case prendle::ProxyAnswer::kNeedMore: continue;
            case prendle::ProxyAnswer::kConnected:
                FETCH_LOG("Proxy connect success\n%s", reader.PrintableText().c_str());
                return true;
            case prendle::ProxyAnswer::kAuthRejected:
                return ProxyText(withCredentials ? "不能通过代理服务器认证，账号或密码不正确!"
                                                 : "不能通过代理服务器认证，请检查代理服务器设置!");
            case prendle::ProxyAnswer::kClosed:
                std::snprintf(text, sizeof(text), "接收代理服务器应答出错，Socket错误号为%d，请稍后再试!",
                              static_cast<int>(platform::WsaErrorFromErrno(ECONNRESET)));
                return ProxyText(text);
            case prendle::ProxyAnswer::kRefused:
            case prendle::ProxyAnswer::kOversized:
                return ProxyText("不能建立与代理服务器的连接，代理服务器返回下列信息：\n" +
                                 reader.PrintableText());
        }
    }
}

bool Fetch::PerformClientHandshake() {
    m_ssl.reset(SSL_new(m_ctx.get()));
    if (m_ssl && !IsIpv4(m_host.c_str())) SSL_set_tlsext_host_name(m_ssl.get(), m_host.c_str());
    if (m_ssl) m_channel = std::make_unique<TlsChannel>(m_fd.Get(), m_ssl.get(), *m_options.clock);
    int sslError = 0;
    if (!m_channel || !m_channel->Ok() || m_channel->Handshake(m_options.timing.receiveMs, &sslError) <= 0) {
        FETCH_LOG("SchannelClient: Error performing handshake\n");
        return Fail(SchannelStep::kHandshake);
    }
    FETCH_LOG("Handshake was successful\n");
    return true;
}

bool Fetch::CheckServerCertificate() {
    X509* leaf = SSL_get0_peer_certificate(m_ssl.get());
    if (!leaf) {
        FETCH_LOG("SchannelClient: Error 0x%x querying remote certificate\n",
                  static_cast<unsigned>(ERR_get_error()));
        return Fail(SchannelStep::kCertificate);
    }
    const std::vector<std::string> trusted = m_options.trusted.empty()
                                                 ? update_trust::ReadFolder(update_trust::TrustedFolder())
                                                 : m_options.trusted;
    int error = 0;
    if (update_trust::VerifyServer(leaf, SSL_get_peer_cert_chain(m_ssl.get()), trusted, m_host, &error))
        return true;
    bool accepted = false;
    if (error == X509_V_ERR_UNSPECIFIED) {
        // The check itself could not run: nothing to ask the user about.
        char text[128];
        std::snprintf(text, sizeof(text), "Error 0x%x returned by CertVerifyCertificateChainPolicy!\n",
                      static_cast<unsigned>(error));
        if (m_options.ui) m_options.ui->ShowError(ErrorCaption(), text);
    } else if (m_options.ui && ::geteuid() != 0) {
        // Only a user's own process may take an unverified server on the user's word.
        const std::string question = "主题: \n" + NameText(X509_get_subject_name(leaf)) + "\n发行者: \n" +
                                     NameText(X509_get_issuer_name(leaf)) +
                                     "\n错误原因为: " + SchannelCertificateReason(error) + "，是否继续 ?";
        accepted = m_options.ui->AskYesNo(m_options.appTitle + "-不能验证服务器的证书", question);
    }
    if (accepted) return true;
    FETCH_LOG("SchannelClient: Error authenticating server credentials!\n");
    return Fail(SchannelStep::kCertificate);
}

bool Fetch::HttpsGetFile() {
    char request[kPathMax + 128];
    const int n =
        std::snprintf(request, sizeof(request),
                      "GET %s HTTP/1.0\r\nUser-Agent: QelClient\r\nAccept:*/*\r\n\r\n", m_path.c_str());
    int sslError = 0;
    if (m_channel->Write(request, n, m_options.timing.receiveMs, &sslError) != n || !ReadResponse()) {
        FETCH_LOG("SchannelClient: Error fetching file from server\n");
        return Fail(SchannelStep::kFetch);
    }
    FETCH_LOG("SchannelClient: HttpsGetFile(%s) success, Size = %d\n", m_path.c_str(),
              static_cast<int>(m_response->head.size() + m_response->body.size()));
    return true;
}

bool Fetch::ReadResponse() {
    std::string data;
    update_fetch::ResponseHead head;
    bool haveHead = false;
    std::size_t want = 0;  // bytes of the whole response, once the head gave a length
    char chunk[16384];
    bool closed = false;
    while (!(haveHead && head.hasLength && data.size() >= want)) {
        int sslError = 0;
        const int n = m_channel->Read(chunk, sizeof(chunk), m_options.timing.receiveMs, &sslError);
        if (n <= 0) {
            // Only the server's TLS close ends a body without length: a bare end of the socket may
            // be a cut connection.
            closed = sslError == SSL_ERROR_ZERO_RETURN;
            break;
        }
        std::size_t take = static_cast<std::size_t>(n);
        if (haveHead && head.hasLength) take = std::min(take, want - data.size());
        if (data.size() + take > m_options.responseMax) {
            FETCH_LOG("SchannelClient: response over %d bytes\n", static_cast<int>(m_options.responseMax));
            return false;
        }
        data.append(chunk, take);
        if (haveHead) continue;
        std::string why;
        switch (update_fetch::ParseResponseHead(data, update_fetch::kResponseHeadMax, &head, &why)) {
            case update_fetch::HeadVerdict::kNeedMore: continue;
            case update_fetch::HeadVerdict::kMalformed:
            case update_fetch::HeadVerdict::kOversized:
                FETCH_LOG("SchannelClient: bad response (%s)\n", why.c_str());
                return false;
            case update_fetch::HeadVerdict::kComplete: break;
        }
        haveHead = true;
        m_response->status = head.status;
        m_response->head = data.substr(0, head.headLength);
        if (head.status != 200) {
            FETCH_LOG("SchannelClient: status %d\n", head.status);
            return false;
        }
        if (head.hasLength) {
            if (head.contentLength > m_options.responseMax - head.headLength) {
                FETCH_LOG("SchannelClient: response over %d bytes\n",
                          static_cast<int>(m_options.responseMax));
                return false;
            }
            want = head.headLength + static_cast<std::size_t>(head.contentLength);
            if (data.size() > want) data.resize(want);
        }
    }
    if (!haveHead) return false;
    if (head.hasLength ? data.size() < want : !closed) {
        FETCH_LOG("SchannelClient: response ended after %d of its bytes\n", static_cast<int>(data.size()));
        return false;
    }
    m_response->body = data.substr(head.headLength);
    return true;
}

void Fetch::DisconnectFromServer() {
    if (m_channel && m_channel->Ok() && SSL_is_init_finished(m_ssl.get())) {
        const std::size_t before = m_channel->BytesSent();
        int sslError = 0;
        if (m_channel->Shutdown(m_options.timing.receiveMs, &sslError) <= 0) {
            FETCH_LOG("SchannelClient: Error disconnecting from server\n");
        } else {
            FETCH_LOG("Sending Close Notify, %d bytes of handshake data sent\n",
                      static_cast<int>(m_channel->BytesSent() - before));
        }
    }
    m_channel.reset();
    m_ssl.reset();
    m_fd.Reset();
}

int Fetch::Run() {
    if (OPENSSL_init_ssl(0, nullptr) != 1) {
        FETCH_LOG("SchannelClient: Error initializing the security library\n");
        Fail(SchannelStep::kSecurityLibrary);
        return 0;
    }
    FETCH_LOG("SchannelClient: LoadSecurityLibrary() success\n");
    bool ok = CreateCredentials() && ConnectToServer() && PerformClientHandshake() &&
              CheckServerCertificate() && HttpsGetFile();
    DisconnectFromServer();
    m_ctx.reset();
    FETCH_LOG("SchannelClient: FreeCredentialsHandle()\n");
    if (ok) m_response->failedStep = SchannelStep::kNone;
    return ok ? 1 : 0;
}

}  // namespace

int SchannelClient(const char* host, unsigned short port, const char* path, const SchannelOptions& options,
                   SchannelResponse* response) {
    if (!response) return 0;
    *response = SchannelResponse{};
    const std::size_t credentials = options.proxyUser.size() + 1 + options.proxyPassword.size();
    if (!HostOk(host) || !PathOk(path) ||
        (!options.proxyHost.empty() && !HostOk(options.proxyHost.c_str())) ||
        (!options.proxyUser.empty() && credentials > kCredentialsMax) || !options.clock) {
        response->failedStep = SchannelStep::kArguments;
        return 0;
    }
    try {
        return Fetch(host, port, path, options, response).Run();
    } catch (const std::bad_alloc&) {
        response->failedStep = SchannelStep::kFetch;
        return 0;
    }
}

std::string SchannelCertificateReason(int verifyError) {
    switch (verifyError) {
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_CERT_NOT_YET_VALID: return "证书失效";
        case X509_V_ERR_INVALID_CA:
        case X509_V_ERR_INVALID_NON_CA:
        case X509_V_ERR_PATH_LENGTH_EXCEEDED: return "最终实体证书被当作CA证书或相反";
        case X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION: return "致命错误";
        case X509_V_ERR_INVALID_PURPOSE: return "证书用于不允许的目的";
        case X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY:
        case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
        case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
        case X509_V_ERR_CERT_SIGNATURE_FAILURE: return "非法证书格式";
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_CERT_UNTRUSTED:
        case X509_V_ERR_CERT_REJECTED: return "证书链创建成功但根证书由不信任服务商提供";
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_CERT_CHAIN_TOO_LONG: return "不能创建证书链";
        case X509_V_ERR_CERT_REVOKED: return "证书或签名被取消";
        case X509_V_ERR_UNABLE_TO_GET_CRL:
        case X509_V_ERR_CRL_HAS_EXPIRED: return "撤销证书不能继续，证书不能被检查";
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH: return "证书的CN Name和输入的值不匹配";
        case X509_V_ERR_KEYUSAGE_NO_CERTSIGN: return "证书不能用于请求的用途";
        default: return "(未知错误)";
    }
}
