// The tunnel link over the suite's TLS library and a socket client of the socket engine.
#include <arpa/inet.h>
#include <unistd.h>

#include <mutex>
#include <set>

#include "dailylog/shared_daily_log.h"
#include "engine/tunnel_link.h"
#include "prendle/socket_client.h"
#include "tamberk/ssl_state_machine.h"

namespace engine {

namespace {

constexpr unsigned char kApplicationData = 23;
constexpr int kContentCacheSize = 8192;

class TamberkLink final : public TunnelLink {
public:
    TamberkLink() = default;
    ~TamberkLink() override { Shutdown(); }

    bool Initialize(TunnelLinkEvents* events, const std::string& caPath) override {
        m_events = events;
        m_client = TwSocketClient::CreateSockClient();
        if (!m_client) return false;
        if (m_tls.Initialize(TW_SSL_PROTOCOL_TLSV1, DefaultList()) != 1) return false;
        TwCertificateVerificationPolicy policy{0, 8, 1};
        m_tls.SetCertVerifyPolicy(&policy);
        if (m_tls.RegisterSslContentHandler(&TamberkLink::Handler, this, kApplicationData,
                                            kContentCacheSize) == nullptr)
            return false;
        const int bound = m_tls.BindToSocketClient(m_client.get(), caPath.c_str(), nullptr);
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[Initialize] TwQelConnector BindToSocketClient, %s",
               bound ? "success" : "fail");
        m_initialised = bound == 1;
        return m_initialised;
    }

    void Shutdown() override {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (m_shutDown) return;
            m_shutDown = true;  // no event reaches the connector from here on
            m_current = nullptr;
        }
        // Returns once the events already running have ended: no handler outlives it.
        if (m_initialised) m_tls.Terminate();
        // The last reference: the manager closes its sessions and drains their callbacks.
        m_client = nullptr;
    }

    void SetCipherList(const std::string& list) override {
        if (TwSslAPI* api = m_tls.GetSslAPI()) api->SetCipherList(list.c_str());
    }
    void UseHttpProxy(DWORD address, WORD port, const std::string& user,
                      const std::string& password) override {
        m_tls.UseHttpProxy(address, port, user.c_str(), password.c_str());
    }
    void SetCancelEvent(platform::Event* event) override { m_tls.SetCancelEvent(event); }
    int ChooseCertificate(const std::string& subject, const std::string& serial) override {
        return m_tls.ChooseCertificate(subject.c_str(), serial.c_str(), 1);
    }

    bool Attach(int fd, DWORD address, WORD port) override {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (m_shutDown) {
                ::close(fd);
                return false;
            }
            m_current = nullptr;
            m_attaching = true;
        }
        SharedObjectPtr<SharedObject> session =
            m_tls.AttachSocket(fd, address, static_cast<short>(port), nullptr);
        std::lock_guard<std::mutex> lock(m_lock);
        m_attaching = false;
        if (!session) return false;
        if (!m_current) m_current = session;
        if (m_ended.count(session.get()) == 0) m_open.insert(session.get());
        m_ended.clear();
        return true;
    }

    bool HasSession() override {
        std::lock_guard<std::mutex> lock(m_lock);
        return static_cast<bool>(m_current);
    }
    bool PreviousSessionClosed() override {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_open.empty() || (m_open.size() == 1 && m_current && m_open.count(m_current.get()) == 1);
    }

    int Send(const std::uint8_t* data, std::size_t length, bool more) override {
        SharedObjectPtr<SharedObject> session = Current();
        TwSslAPI* api = m_tls.GetSslAPI();
        if (!session || api == nullptr) return -1;
        return api->SendMsg(session, reinterpret_cast<const char*>(data), static_cast<int>(length), !more);
    }

    void DisconnectSession() override {
        SharedObjectPtr<SharedObject> session;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            session = m_current;
            m_current = nullptr;
            // Its end still reaches the connector (the tunnel-lost decision hangs on it).
            if (session) m_closing.insert(session.get());
        }
        if (session && m_tls.GetSslAPI()) m_tls.GetSslAPI()->DisconnectSock(session);
    }
    void ReleaseSession() override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_current = nullptr;
    }

    bool PeerAddress(std::string* text, WORD* port) override { return Address(true, text, port); }
    bool LocalAddress(std::string* text, WORD* port) override { return Address(false, text, port); }

    std::vector<BYTE> MasterKey() override {
        SharedObjectPtr<SharedObject> session = Current();
        const unsigned char* key = nullptr;
        unsigned long length = 0;
        if (!session || !m_tls.GetSslAPI() || !m_tls.GetSslAPI()->GetMasterKey(session, &key, &length) ||
            key == nullptr)
            return {};
        return std::vector<BYTE>(key, key + length);
    }

    std::string PeerCertificateFingerprint() override {
        SharedObjectPtr<SharedObject> session = Current();
        TwSslAPI* api = m_tls.GetSslAPI();
        char text[128] = "";
        if (!session || api == nullptr || !api->GetPeerCertFingerprint(session, text, sizeof text)) return {};
        return text;
    }

private:
    static const char* DefaultList() { return nullptr; }

    SharedObjectPtr<SharedObject> Current() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_current;
    }

    bool Address(bool peer, std::string* text, WORD* port) {
        SharedObjectPtr<SharedObject> session = Current();
        TwSslAPI* api = m_tls.GetSslAPI();
        if (!session || api == nullptr) return false;
        char buffer[64] = "";
        short p = 0;
        if (peer)
            api->GetPeerAddr(session, buffer, sizeof buffer, &p);
        else
            api->GetLocalAddr(session, buffer, sizeof buffer, &p);
        *text = buffer;
        *port = static_cast<WORD>(p);
        return !text->empty() && *text != "0";
    }

    // Whether the event of `session` goes on to the connector.
    // A session that is being attached may speak before Attach returned; earlier ones are known.
    // The end of a session we closed ourselves is passed on too (`ending`).
    bool Enter(SharedObject* session, bool ending = false, bool* closedHere = nullptr) {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_shutDown || m_events == nullptr) return false;
        if (!ending && !m_current && m_attaching && m_open.count(session) == 0)
            m_current = SharedObjectPtr<SharedObject>(session);
        const bool closing = ending && m_closing.erase(session) == 1;
        if (closedHere != nullptr) *closedHere = closing && m_current.get() != session;
        if (m_current.get() != session && !closing) return false;
        if (ending && m_current.get() == session) m_current = nullptr;
        return true;
    }

    static std::uint32_t Handler(TwSslAPI* api, TwSslMessage* message) {
        auto* self = static_cast<TamberkLink*>(message->context);
        SharedObject* session = message->session.get();
        switch (message->code) {
            case TW_MSG_SSL_START:
                TW_LOG(LOG_CLIENT_LOGIN, 4, "[SslContentHandlerProc] SslMsg TW_MSG_SSL_START");
                break;
            case TW_MSG_SSL_STOP:
                TW_LOG(LOG_CLIENT_LOGIN, 4, "[SslContentHandlerProc] SslMsg TW_MSG_SSL_STOP");
                break;
            case TW_MSG_SSL_CONNECT:
                TW_LOG(LOG_CLIENT_LOGIN, 4, "[SslContentHandlerProc] SslMsg TW_MSG_SSL_CONNECT");
                if (self->Enter(session)) self->m_events->OnLinkConnect();
                break;
            case TW_MSG_SSL_RECEIVE: {
                TwSslDataRecord* record = message->data;
                if (record == nullptr) break;
                record->result = record->size;  // a session no longer ours: its bytes go nowhere
                if (self->Enter(session)) {
                    const std::size_t consumed = self->m_events->OnLinkReceive(
                        reinterpret_cast<const std::uint8_t*>(record->data), record->size);
                    record->result =
                        static_cast<std::uint32_t>(consumed > record->size ? record->size : consumed);
                }
                break;
            }
            case TW_MSG_SSL_DISCONNECT: {
                int level = 0, code = 0;
                const bool alert = api != nullptr && api->GetSslAlert(message->session, &level, &code);
                {
                    std::lock_guard<std::mutex> lock(self->m_lock);
                    if (self->m_open.erase(session) == 0 && self->m_attaching) self->m_ended.insert(session);
                }
                bool closedHere = false;
                if (self->Enter(session, true, &closedHere))
                    self->m_events->OnLinkDisconnect(alert && (level != 0 || code != 0), level, code,
                                                     closedHere);
                break;
            }
            default: break;
        }
        return 0;
    }

    TunnelLinkEvents* m_events = nullptr;
    SharedObjectPtr<TwSocketClient> m_client;
    TwSslStateMachine m_tls;
    bool m_initialised = false;

    std::mutex m_lock;
    SharedObjectPtr<SharedObject> m_current;
    bool m_attaching = false;
    bool m_shutDown = false;
    std::set<SharedObject*> m_open;     // handed over, end not seen yet
    std::set<SharedObject*> m_ended;    // ended while Attach had not returned yet
    std::set<SharedObject*> m_closing;  // closed by us, end not seen yet
};

}  // namespace

std::unique_ptr<TunnelLink> MakeTamberkLink() { return std::make_unique<TamberkLink>(); }

}  // namespace engine
