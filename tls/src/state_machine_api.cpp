// The TwSslAPI operations of the state machine implementation, in slot order.
#include <cstdio>
#include <cstring>

#include "state_machine_impl.h"
#include "tls_log.h"

using namespace tamberk;

namespace {

void CopyText(const std::string& text, char* buffer, unsigned long size) {
    // Copied only when it fits, as callers have always expected.
    if (buffer && size > 0 && text.size() < size) std::memcpy(buffer, text.c_str(), text.size() + 1);
}

}  // namespace

int TwSslStateMachineImpl::SetSessionData(SharedObjectPtr<SharedObject> session, DWORD value) {
    auto* h = AsSslSession(session);
    if (!h || !h->core) return 0;
    h->core->userValue.store(value);
    return 1;
}

int TwSslStateMachineImpl::SendMsg(SharedObjectPtr<SharedObject> session, const char* data, int length,
                                   bool flush) {
    auto* h = AsSslSession(session);
    if (!h || !h->core || !data) return -1;
    // Callers have always read 0 as "not sent"; GetSslError tells a closing session from one
    // that is not ready yet. Either way none of the message went out.
    return h->core->SendMsg(data, length, flush) == TwSslSendResult::kSent ? length : 0;
}

int TwSslStateMachineImpl::SendUdpMsg(SharedObjectPtr<SharedObject> session, const char* data, int length) {
    auto* h = AsSslSession(session);
    if (!h || !m_udp || !data) return 0;
    auto udp = h->UdpSession();
    return udp && m_udp->SendMessage(udp, data, length) ? length : 0;
}

int TwSslStateMachineImpl::UdpConnect(SharedObjectPtr<SharedObject> session, unsigned long address,
                                      unsigned short port, unsigned short wait) {
    auto* h = AsSslSession(session);
    if (!h || !m_udp) return 0;
    SharedObjectPtr<SharedObject> udp = m_udp->Connect(address, port, session, wait);
    return udp ? 1 : 0;
}

BOOL TwSslStateMachineImpl::IsUdpSessionConnected(SharedObjectPtr<SharedObject> session) {
    auto* h = AsSslSession(session);
    if (!h || !m_udp) return FALSE;
    auto udp = h->UdpSession();
    return udp && m_udp->IsSessionConnected(udp) ? TRUE : FALSE;
}

void TwSslStateMachineImpl::UdpDisconnect(SharedObjectPtr<SharedObject> session) {
    auto* h = AsSslSession(session);
    if (!h || !m_udp) return;
    if (auto udp = h->UdpSession()) m_udp->UdpDisconnect(udp);
    h->SetUdpSession(nullptr);
}

int TwSslStateMachineImpl::Disconnect(SharedObjectPtr<SharedObject> session) {
    auto* h = AsSslSession(session);
    if (!h || !h->core) return 0;
    if (h->core->CompletedCount() >= 1) {
        TLS_LOG(kLogInfo, "[TwSslStateMachineImpl] Disconnect ShutDownSslSession");
        h->core->ShutdownAll(false);
        h->core->disconnected.Wait(static_cast<int>(m_timing.closeWaitMs), m_clock);
    }
    TLS_LOG(kLogInfo, "[TwSslStateMachineImpl] Disconnect SslSession");
    return h->core->CloseSocket() ? 1 : 0;
}

void TwSslStateMachineImpl::SetSessionContext(SharedObjectPtr<SharedObject> session,
                                              SharedObjectPtr<SharedObject> context) {
    if (auto* h = AsSslSession(session)) h->SetContext(context);
}

void TwSslStateMachineImpl::GetPeerAddr(SharedObjectPtr<SharedObject> session, char* text, unsigned long size,
                                        short* port) {
    auto* h = AsSslSession(session);
    if (h && Manager()) Manager()->GetPeerAddr(h->socketSession, text, size, port);
}

void TwSslStateMachineImpl::GetLocalAddr(SharedObjectPtr<SharedObject> session, char* text,
                                         unsigned long size, short* port) {
    auto* h = AsSslSession(session);
    if (h && Manager()) Manager()->GetLocalAddr(h->socketSession, text, size, port);
}

void TwSslStateMachineImpl::GetPeerCertSubject(SharedObjectPtr<SharedObject> session, char* text,
                                               unsigned long size) {
    if (auto* h = AsSslSession(session); h && h->core) CopyText(h->core->PeerCertSubject(), text, size);
}

void TwSslStateMachineImpl::GetPeerCertIssuer(SharedObjectPtr<SharedObject> session, char* text,
                                              unsigned long size) {
    if (auto* h = AsSslSession(session); h && h->core) CopyText(h->core->PeerCertIssuer(), text, size);
}

void TwSslStateMachineImpl::GetPeerCertSerial(SharedObjectPtr<SharedObject> session, char* text,
                                              unsigned long size) {
    if (auto* h = AsSslSession(session); h && h->core) CopyText(h->core->PeerCertSerial(), text, size);
}

int TwSslStateMachineImpl::RequestClientCertificate(SharedObjectPtr<SharedObject> session,
                                                    const char* expectedName, int flag) {
    auto* h = AsSslSession(session);
    if (!h || !h->core) return 0;
    return h->core->RequestClientCertificate(expectedName, flag != 0);
}

int TwSslStateMachineImpl::GetRehandshakeStatus(SharedObjectPtr<SharedObject> session) {
    auto* h = AsSslSession(session);
    return h && h->core ? h->core->RehandshakeStatus() : 0;
}

int TwSslStateMachineImpl::LoadCertificateFiles(const char* certFile, const char* keyFile,
                                                const char* password, SharedObjectPtr<SharedObject> provider,
                                                int certType, int keyType) {
    auto* h = AsSslSession(provider);
    if (provider && !(h && h->core)) return 0;
    if (h) return h->core->UseCertificateFiles(certFile, keyFile, password, certType, keyType) ? 1 : 0;
    return engine->LoadCertificateFiles(certFile, keyFile, password, nullptr, certType, keyType) ? 1 : 0;
}

int TwSslStateMachineImpl::SetCipherList(const char* cipherList) {
    return cipherList && engine->SetCipherList(cipherList) ? 1 : 0;
}

void TwSslStateMachineImpl::DisconnectSock(SharedObjectPtr<SharedObject> session) {
    auto* h = AsSslSession(session);
    if (!h || !h->core) return;
    TLS_LOG(kLogInfo, "[DisconnectSock] Disconnect");
    h->core->CloseSocket();
}

int TwSslStateMachineImpl::GetSslError(SharedObjectPtr<SharedObject> session) {
    auto* h = AsSslSession(session);
    return h && h->core ? h->core->Error() : TW_SSL_ERR_NO_SESSION;
}

const char* TwSslStateMachineImpl::GetSslErrorString(SharedObjectPtr<SharedObject> session) {
    auto* h = AsSslSession(session);
    return h && h->core ? h->core->ErrorText() : nullptr;
}

void TwSslStateMachineImpl::TurnoffSockAliveCheck(SharedObjectPtr<SharedObject> session) {
    auto* h = AsSslSession(session);
    if (h && m_server && engine->Mode() == TW_SSL_MODE_SERVER)
        m_server.load()->TurnoffSockAliveCheck(h->socketSession);
}

BOOL TwSslStateMachineImpl::GetMasterKey(SharedObjectPtr<SharedObject> session, const unsigned char** key,
                                         unsigned long* length) {
    auto* h = AsSslSession(session);
    return h && h->core && h->core->MasterKey(key, length) ? TRUE : FALSE;
}

BOOL TwSslStateMachineImpl::GetSslAlert(SharedObjectPtr<SharedObject> session, int* level, int* description) {
    auto* h = AsSslSession(session);
    if (!h || !h->core) return FALSE;
    TwSslAlertRecord alert = h->core->Alert();
    if (level) *level = alert.level;
    if (description) *description = alert.description;
    return alert.received ? TRUE : FALSE;
}

int TwSslStateMachineImpl::ReleaseContextObject() { return engine->ReleaseContextObject(); }

int TwSslStateMachineImpl::GetPeerCertFingerprint(SharedObjectPtr<SharedObject> session, char* text,
                                                  unsigned long size) {
    if (text != nullptr && size > 0) text[0] = '\0';
    auto* h = AsSslSession(session);
    if (!h || !h->core || text == nullptr) return 0;
    const std::string fingerprint = h->core->PeerCertFingerprint();
    if (fingerprint.empty() || fingerprint.size() >= size) return 0;
    CopyText(fingerprint, text, size);
    return 1;
}

int TwSslStateMachineImpl::OpenKeyId(SharedObjectPtr<SharedObject> session, int keyId) {
    auto* h = AsSslSession(session);
    return h && h->core && h->core->OpenKeyId(keyId) ? 1 : 0;
}
