// The exported facade: every call forwards to the implementation object; nothing throws.
#include "tamberk/ssl_state_machine.h"

#include "state_machine_impl.h"

namespace {
template <class R, class F>
R Guard(R failure, F&& call) {
    try {
        return call();
    } catch (...) {
        return failure;
    }
}
}  // namespace

TwSslStateMachine::TwSslStateMachine() : TwSslStateMachine(TwSslTiming{}) {}

TwSslStateMachine::TwSslStateMachine(const TwSslTiming& timing, const platform::Clock& clock) {
    try {
        m_impl = TwSslStateMachineImpl::Create(timing, clock);
    } catch (...) {
        m_impl.reset();
    }
}

TwSslStateMachine::~TwSslStateMachine() = default;
TwSslStateMachine::TwSslStateMachine(const TwSslStateMachine& other) = default;
TwSslStateMachine& TwSslStateMachine::operator=(const TwSslStateMachine& other) = default;

int TwSslStateMachine::Initialize(TwSslProtocol protocol, const char* cipherList) {
    return m_impl ? Guard(0, [&] { return m_impl->engine->Initialize(protocol, cipherList); }) : 0;
}

int TwSslStateMachine::SetCertVerifyPolicy(const TwCertificateVerificationPolicy* policy) {
    return m_impl ? m_impl->engine->SetCertVerifyPolicy(policy) : 0;
}

void* TwSslStateMachine::RegisterSslContentHandler(TwSslContentHandlerProc proc, void* context,
                                                   unsigned char contentType, int cacheSize) {
    if (!m_impl) return nullptr;
    return Guard<void*>(nullptr,
                        [&] { return m_impl->RegisterHandler(proc, context, contentType, cacheSize); });
}

void TwSslStateMachine::RegisterSslUDPPacketProc(TwSslUDPPacketProc proc, void* context) {
    if (m_impl) m_impl->RegisterUdpProc(proc, context);
}

int TwSslStateMachine::RemoveSslContentHandler(void* handle) {
    if (!m_impl) return 0;
    return m_impl->engine->Handlers().Remove(static_cast<tamberk::TwSslContentHandler*>(handle)) ? 1 : 0;
}

int TwSslStateMachine::BindToSocketClient(TwSocketClient* client, const char* caPath, const char* caFile) {
    return m_impl ? Guard(0, [&] { return m_impl->BindClient(client, caPath, caFile); }) : 0;
}

int TwSslStateMachine::BindToSocketServer(TwSocketServer* server, const char* certFile, const char* keyFile,
                                          const char* keyPassword, const char* caPath, const char* caFile) {
    return m_impl
               ? Guard(0,
                       [&] {
                           return m_impl->BindServer(server, certFile, keyFile, keyPassword, caPath, caFile);
                       })
               : 0;
}

int TwSslStateMachine::ChooseCertificate(const char* subject, const char* serial, unsigned char pick) {
    return m_impl ? Guard(0, [&] { return m_impl->engine->ChooseCertificate(subject, serial, pick); }) : 0;
}

int TwSslStateMachine::BindToUDPServer(TwUDPSocketServer* server, unsigned short port) {
    return m_impl ? Guard(0, [&] { return m_impl->BindUdp(server, port); }) : 0;
}

int TwSslStateMachine::StartSslServer(unsigned long address, unsigned short port) {
    return m_impl ? Guard(0, [&] { return m_impl->StartServer(address, port); }) : 0;
}

SharedObjectPtr<SharedObject> TwSslStateMachine::ConnectToSslServer(const char* host, unsigned short port,
                                                                    SharedObjectPtr<SharedObject> context,
                                                                    int* error, int* systemError) {
    if (!m_impl) return nullptr;
    return Guard(SharedObjectPtr<SharedObject>(),
                 [&] { return m_impl->Connect(host, port, context, error, systemError); });
}

int TwSslStateMachine::UseHttpProxy(unsigned long address, unsigned short port, const char* user,
                                    const char* password) {
    return m_impl ? Guard(0, [&] { return m_impl->UseProxy(address, port, user, password); }) : 0;
}

SharedObjectPtr<SharedObject> TwSslStateMachine::AttachSocket(int socket, unsigned long address, short port,
                                                              SharedObjectPtr<SharedObject> context) {
    if (!m_impl) return nullptr;
    return Guard(SharedObjectPtr<SharedObject>(),
                 [&] { return m_impl->Attach(socket, address, port, context); });
}

void TwSslStateMachine::SetCancelEvent(platform::Event* event) {
    if (m_impl) m_impl->SetCancelEvent(event);
}

TwSslAPI* TwSslStateMachine::GetSslAPI() { return m_impl.get(); }

int TwSslStateMachine::Terminate() {
    return m_impl ? Guard(0, [&] { return m_impl->TerminateAll(); }) : 0;
}
