#include "gateway_client.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "platform/unique_fd.h"
#include "testsupport/net.h"
#include "wendrel/ssr_codec.h"

namespace qelgw::test {

GatewayClient::GatewayClient() : m_socketClient(TwSocketClient::CreateSockClient()) {
    m_tls.Initialize(TW_SSL_PROTOCOL_TLSV1, nullptr);
    TwCertificateVerificationPolicy policy{0, 8, 1};  // the client accepts the minted certificate
    m_tls.SetCertVerifyPolicy(&policy);
    m_tls.RegisterSslContentHandler(&GatewayClient::Handler, this, 23, 8192);
    m_tls.BindToSocketClient(m_socketClient.get(), "/nonexistent-trust", nullptr);
}

GatewayClient::~GatewayClient() {
    Disconnect();
    m_tls.Terminate();  // no handler runs past this, so the members it uses may go
}

std::string GatewayClient::Hello(unsigned short port, int* fd) {
    *fd = testsupport::ConnectLoopback(port);
    static const char kHello[] = "CONNECT QEL_GATEWAY HTTP 1.1 \r\n\r\n";
    if (*fd < 0 || !testsupport::SendAll(*fd, kHello, sizeof kHello - 1)) return "";
    std::string answer;
    char c = 0;
    // Byte by byte, so that nothing after the blank line (the TLS handshake) is taken.
    while (answer.find("\r\n\r\n") == std::string::npos && answer.size() < 1024) {
        pollfd p{*fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0 || ::recv(*fd, &c, 1, 0) != 1) break;
        answer.push_back(c);
    }
    return answer;
}

bool GatewayClient::Connect(unsigned short port) {
    int fd = -1;
    const bool greeted = Hello(port, &fd) == "HTTP 200 OK\r\n\r\n";
    platform::UniqueFd owned(fd);
    if (!greeted) return false;
    m_session = m_tls.AttachSocket(owned.Get(), htonl(INADDR_LOOPBACK), static_cast<short>(port), nullptr);
    if (!m_session) return false;
    owned.Release();  // the session closes it from now on
    std::unique_lock<std::mutex> lock(m_lock);
    return m_cv.wait_for(lock, std::chrono::seconds(15), [this] { return m_connected || m_disconnected; }) &&
           m_connected;
}

bool GatewayClient::ChooseCertificate(const std::string& subject, const std::string& serialHex) {
    return m_tls.ChooseCertificate(subject.c_str(), serialHex.c_str(), 1) == TW_CERT_CHOOSE_OK;
}

bool GatewayClient::Send(const std::vector<std::uint8_t>& msg) {
    return !msg.empty() && Api()->SendMsg(m_session, reinterpret_cast<const char*>(msg.data()),
                                          static_cast<int>(msg.size()), true) > 0;
}

std::uint32_t GatewayClient::Handler(TwSslAPI*, TwSslMessage* message) {
    auto* self = static_cast<GatewayClient*>(message->context);
    std::lock_guard<std::mutex> lock(self->m_lock);
    switch (message->code) {
        case TW_MSG_SSL_CONNECT: self->m_connected = true; break;
        case TW_MSG_SSL_DISCONNECT: self->m_disconnected = true; break;
        case TW_MSG_SSL_RECEIVE:
            self->m_stream.append(message->data->data, message->data->size);
            message->data->result = message->data->size;
            break;
        default: break;
    }
    self->m_cv.notify_all();
    return 0;
}

std::vector<std::uint8_t> GatewayClient::Next(int ms) {
    std::unique_lock<std::mutex> lock(m_lock);
    std::size_t length = 0;
    auto whole = [&] {
        SSR_HEADER h{};
        const int rc = ssr_ExtractPacketHeader(m_stream.data(), static_cast<unsigned>(m_stream.size()), &h);
        if (rc == SSR_SUCCESS) length = std::size_t{h.payload_size} + SSR_HEADER_SIZE;
        return rc == SSR_SUCCESS;
    };
    if (!m_cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return whole() || m_disconnected; }) ||
        length == 0)
        return {};
    std::vector<std::uint8_t> msg(m_stream.begin(), m_stream.begin() + static_cast<long>(length));
    m_stream.erase(0, length);
    return msg;
}

std::vector<std::uint8_t> GatewayClient::NextWithCode(std::uint8_t code, int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return {};
        auto msg = Next(static_cast<int>(left.count()));
        if (msg.empty() || msg[1] == code) return msg;
    }
}

bool GatewayClient::WaitDisconnected(int ms) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_cv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_disconnected; });
}

void GatewayClient::Disconnect() {
    if (m_session) Api()->DisconnectSock(m_session);
    m_session = nullptr;
}

}  // namespace qelgw::test
