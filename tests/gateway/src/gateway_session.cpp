// What the gateway does with the messages of its TLS sessions. Runs on the socket engine's
// workers, one delivery of a session at a time; sends from here go out in order.
#include <arpa/inet.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "gateway_impl.h"
#include "platform/code_page.h"
#include "tamberk/session_info.h"
#include "wendrel/ssr_control.h"

namespace qelgw {

namespace {

constexpr auto kRegistrationWait = std::chrono::seconds(15);

// Counts a handler in while the gateway runs, so that Stop can wait for it to leave.
class HandlerScope {
public:
    explicit HandlerScope(TestGateway::Impl* g) : m_g(g) {
        std::lock_guard<std::mutex> lock(g->m_lock);
        m_in = !g->m_stopping;
        if (m_in) ++g->m_activeHandlers;
    }
    ~HandlerScope() {
        if (!m_in) return;
        std::lock_guard<std::mutex> lock(m_g->m_lock);
        // Only Stop waits for the handlers to leave: a busy tunnel's deliveries wake nobody.
        if (--m_g->m_activeHandlers == 0 && m_g->m_stopping) m_g->m_cv.notify_all();
    }
    bool In() const { return m_in; }
    HandlerScope(const HandlerScope&) = delete;
    HandlerScope& operator=(const HandlerScope&) = delete;

private:
    TestGateway::Impl* m_g;
    bool m_in = false;
};

const UserAccount* FindUser(const GatewayConfig& c, std::string_view name) {
    for (const auto& u : c.users)
        if (u.name == name) return &u;
    return nullptr;
}

}  // namespace

std::uint32_t TestGateway::Impl::ContentHandler(TwSslAPI*, TwSslMessage* message) {
    auto* g = static_cast<Impl*>(message->context);
    HandlerScope scope(g);
    if (!scope.In()) {
        if (message->code == TW_MSG_SSL_RECEIVE) message->data->result = message->data->size;
        return 0;
    }
    switch (message->code) {
        case TW_MSG_SSL_CONNECT: g->OnConnect(message->session); break;
        case TW_MSG_SSL_DISCONNECT: g->OnDisconnect(message->session); break;
        case TW_MSG_SSL_RECEIVE: {
            std::shared_ptr<Conn> conn;
            {
                std::lock_guard<std::mutex> lock(g->m_lock);
                auto it = g->m_conns.find(message->session.get());
                if (it != g->m_conns.end()) conn = it->second;
            }
            auto* d = message->data;
            d->result =
                conn ? g->Dispatch(conn, reinterpret_cast<const std::uint8_t*>(d->data), d->size) : d->size;
            break;
        }
        default: break;
    }
    return 0;
}

void TestGateway::Impl::OnConnect(const Session& session) {
    auto conn = std::make_shared<Conn>(session);
    std::string suite = tamberk::NegotiatedSuite(session);
    std::lock_guard<std::mutex> lock(m_lock);
    m_conns[session.get()] = conn;
    ++m_counters.tlsSessions;
    m_counters.lastSuite = std::move(suite);
}

void TestGateway::Impl::OnDisconnect(const Session& session) {
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_conns.find(session.get());
    if (it == m_conns.end()) return;
    const std::uint32_t sid = it->second->sessionId;
    m_conns.erase(it);
    // A client whose tunnel ends is gone; one that still has to register keeps its address for
    // the registration connection.
    auto c = m_clients.find(sid);
    if (c != m_clients.end() && c->second->tunnel.get() == session.get() && !c->second->registrationDue)
        m_clients.erase(c);
}

std::uint32_t TestGateway::Impl::Dispatch(const std::shared_ptr<Conn>& conn, const std::uint8_t* data,
                                          std::size_t size) {
    std::size_t used = 0;
    DeliveryTally tally;
    auto count = [&] {
        // The frames this delivery held back to merge go to the device before anything else.
        if (m_device) tally.dropped += m_device->FlushWrites();
        if (tally.delivered == 0 && tally.dropped == 0) return;
        std::lock_guard<std::mutex> lock(m_lock);
        // One delivery's tally is bounded by the frames of one read, so it fits the int counters.
        m_counters.framesFromClients += static_cast<int>(tally.delivered);
        m_counters.framesDropped += static_cast<int>(tally.dropped);
        tally.delivered = tally.dropped = 0;
    };
    while (used < size) {
        SSR_HEADER h{};
        const std::size_t left = std::min<std::size_t>(size - used, kMaxMessage);
        const int rc = ssr_ExtractPacketHeader(data + used, static_cast<unsigned>(left), &h);
        if (rc == SSR_ERROR_HEADER_TOO_SHORT || rc == SSR_ERROR_INCOMPLETE) break;  // the rest comes later
        if (rc != SSR_SUCCESS) {
            // The stream is out of step: nothing after this can be trusted.
            {
                std::lock_guard<std::mutex> lock(m_lock);
                ++m_counters.badMessages;
            }
            count();
            m_api->DisconnectSock(conn->session);
            return static_cast<std::uint32_t>(size);
        }
        const std::size_t length = std::size_t{h.payload_size} + SSR_HEADER_SIZE;
        if (h.type == SSR_TYPE_DATA) {
            HandleData(conn, data + used, length, tally);
        } else {
            // A control message may change who is online: the frames after it look again.
            count();
            HandleControl(conn, data + used, length);
            tally.resolved = false;
        }
        used += length;
    }
    count();
    return static_cast<std::uint32_t>(used);
}

void TestGateway::Impl::HandleControl(const std::shared_ptr<Conn>& conn, const std::uint8_t* msg,
                                      std::size_t length) {
    switch (msg[1]) {
        case SSR_CODE_MNG_CLT_SVR_LOGON_REQUEST3:
        case SSR_CODE_MNG_CLT_SVR_LOGON_REQUEST2:
        case SSR_CODE_MNG_CLT_SVR_LOGON_HARD_REQUEST: HandleLogon(conn, msg, length); return;
        case SSR_CODE_MNG_GW_CLT_REG_REQUEST: HandleRegistration(conn, msg, length); return;
        case SSR_CODE_MNG_CLT_SVR_RESET_PWD: HandlePasswordChange(conn, msg, length); return;
        case SSR_CODE_MNG_KEEP_ALIVE_REQUEST: {
            {
                std::lock_guard<std::mutex> lock(m_lock);
                ++m_counters.keepAliveRequestsReceived;
            }
            if (m_config.answerKeepAlive) Send(conn, BuildHeaderOnly(SSR_CODE_MNG_KEEP_ALIVE_RESPONSE));
            return;
        }
        case SSR_CODE_MNG_KEEP_ALIVE_RESPONSE: {
            std::lock_guard<std::mutex> lock(m_lock);
            ++m_counters.keepAliveResponsesReceived;
            return;
        }
        case SSR_CODE_MNG_CLT_GW_LOGOFF: {
            {
                std::lock_guard<std::mutex> lock(m_lock);
                ++m_counters.logoffs;
                m_clients.erase(conn->sessionId);
            }
            Send(conn, BuildHeaderOnly(SSR_CODE_MNG_GW_CLT_LOGOFF_ACK));
            return;
        }
        case SSR_CODE_MNG_GW_LOG_APP: {
            AppAccessRecord a;
            std::lock_guard<std::mutex> lock(m_lock);
            if (ParseAppAccessRecord(msg, length, &a) != SSR_SUCCESS) {
                ++m_counters.badMessages;
                return;
            }
            ++m_counters.appRecords;
            m_counters.lastAppRecord = std::string(a.text);
            return;
        }
        default: {
            std::lock_guard<std::mutex> lock(m_lock);
            ++m_counters.badMessages;
        }
    }
}

void TestGateway::Impl::HandleLogon(const std::shared_ptr<Conn>& conn, const std::uint8_t* msg,
                                    std::size_t length) {
    LogonRequest q;
    std::shared_ptr<Client> client;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (ParseLogonRequest(msg, length, &q) != SSR_SUCCESS) {
            ++m_counters.badMessages;
            return;
        }
        ++m_counters.logonRequests;
        m_counters.lastHardwareId = std::string(q.hardwareId);
        // An update notice is the whole message; the client hangs up after it.
        if (q.code == SSR_CODE_MNG_CLT_SVR_LOGON_REQUEST3 && q.updateFlag != 0) {
            ++m_counters.informUpdates;
            return;
        }
    }
    if (m_config.logon == LogonMode::Silent) return;
    UserAccount account;
    bool known = false;
    {
        // Passwords change under the lock (password change on another session).
        std::lock_guard<std::mutex> lock(m_lock);
        const UserAccount* found = FindUser(m_config, q.user);
        known = found != nullptr && found->password == q.password;
        if (known) account = *found;
    }
    if (!known) return Nak(conn, m_config.badPasswordCode, m_config.badPasswordText);
    switch (m_config.logon) {
        case LogonMode::Nak: return Nak(conn, m_config.nakCode, m_config.nakText);
        case LogonMode::Relogon: Send(conn, BuildHeaderOnly(SSR_MNG_GW_CLT_LOGON_RESPON_RELOGON)); return;
        default: break;
    }
    client = NewClient(account, q.sessionId);
    LogonAnswer a;
    bool registrationDue = false;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        a.sessionId = client->sessionId;
        a.name = client->user;
        a.virtualIp = client->vip;
        a.gateways.push_back(GatewayEntry{m_config.gatewayAddress, client->ticket});
        registrationDue = client->registrationDue;
        conn->sessionId = client->sessionId;
        client->tunnel = conn->session;
        ++m_counters.logonsAccepted;
    }
    a.netmask = m_config.netmask;
    a.dns1 = m_config.dns1;
    a.dns2 = m_config.dns2;
    a.wins1 = m_config.wins1;
    a.wins2 = m_config.wins2;
    a.routes = m_config.routes;
    a.text1 = m_config.text1;
    a.certText = m_config.certText;
    a.policy = m_config.PolicyText();
    a.registerFlag = registrationDue ? 1 : 0;
    std::vector<std::uint8_t> answer;
    const std::uint8_t code = m_config.logon == LogonMode::RelogonOk ? SSR_MNG_GW_CLT_LOGON_RESPON_RELOGONOK
                                                                     : SSR_MNG_GW_CLT_LOGON_RESPON_LOGONOK;
    if (BuildLogonAnswer(code, a, &answer) != SSR_SUCCESS) return Nak(conn, 2, "answer too large");
    // Online before the answer leaves, so that whoever reads the answer finds the tunnel open.
    if (!registrationDue) GoOnline(client, conn);
    Send(conn, answer);
    if (!registrationDue) Answered(client);
}

std::shared_ptr<Client> TestGateway::Impl::NewClient(const UserAccount& account,
                                                     std::uint32_t requestedSession) {
    std::lock_guard<std::mutex> lock(m_lock);
    // A relogon names its session: the user keeps the session and the address it had.
    if (auto it = m_clients.find(requestedSession);
        requestedSession != 0 && it != m_clients.end() && it->second->user == account.name) {
        it->second->online = false;
        it->second->registrationDue = m_config.registration != RegisterMode::None;
        return it->second;
    }
    auto client = std::make_shared<Client>();
    client->sessionId = m_nextSessionId++;
    client->user = account.name;
    client->certName = account.certName.empty() ? account.name : account.certName;
    client->ticket = "ticket-" + std::to_string(client->sessionId);
    client->registrationDue = m_config.registration != RegisterMode::None;
    client->vip = account.fixedIp;
    for (std::uint32_t candidate = m_config.poolStart; client->vip == 0; ++candidate) {
        bool taken = false;
        for (auto& [sid, other] : m_clients) taken |= other->vip == candidate;
        for (auto& u : m_config.users) taken |= u.fixedIp == candidate;
        if (!taken) client->vip = candidate;
    }
    m_clients[client->sessionId] = client;
    return client;
}

void TestGateway::Impl::GoOnline(const std::shared_ptr<Client>& client, const std::shared_ptr<Conn>& conn) {
    std::lock_guard<std::mutex> lock(m_lock);
    client->registrationDue = false;
    client->online = true;
    client->answered = false;
    client->cutSent = false;
    client->onlineSince = Clock::now();
    client->tunnel = conn->session;
    conn->sessionId = client->sessionId;
    if (m_config.keyId > 0) m_keySwitches.push_back(conn);
    TimerChangedLocked();  // keep-alive, forced logoff and key switch have a new deadline
}

void TestGateway::Impl::Answered(const std::shared_ptr<Client>& client) {
    std::lock_guard<std::mutex> lock(m_lock);
    client->answered = true;
}

void TestGateway::Impl::HandleRegistration(const std::shared_ptr<Conn>& conn, const std::uint8_t* msg,
                                           std::size_t length) {
    short size = static_cast<short>(std::min<std::size_t>(length, SHRT_MAX));
    std::uint32_t sid = 0, vip = 0;
    std::uint16_t userLength = 0, ticketLength = 0;
    const char* user = nullptr;
    const void* ticket = nullptr;
    std::uint8_t selector = 0;
    std::shared_ptr<Client> client;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (length > SHRT_MAX || ssr_ExtractCltRegRequest(msg, &size, &sid, &userLength, &user, &selector,
                                                          &vip, &ticketLength, &ticket) != SSR_SUCCESS) {
            ++m_counters.badMessages;
            return;
        }
        auto it = m_clients.find(sid);
        if (it != m_clients.end() && it->second->registrationDue &&
            it->second->ticket.size() == ticketLength &&
            std::memcmp(it->second->ticket.data(), ticket, ticketLength) == 0)
            client = it->second;
    }
    std::vector<std::uint8_t> nak;
    short nakSize = 0;
    auto sendNak = [&](std::uint32_t code, const std::string& utf8) {
        const std::string text = platform::Utf8ToCp936(utf8);
        ssr_ConstructCltRegisterNak(nullptr, &nakSize, code, text.c_str());
        nak.assign(static_cast<std::size_t>(nakSize), 0);
        if (ssr_ConstructCltRegisterNak(nak.data(), &nakSize, code, text.c_str()) == SSR_SUCCESS)
            Send(conn, nak);
    };
    if (!client) return sendNak(m_config.registerNakCode, "unknown session or ticket");
    if (m_config.registration == RegisterMode::Nak)
        return sendNak(m_config.registerNakCode, m_config.registerNakText);
    if (m_api->RequestClientCertificate(conn->session, client->certName.c_str(), 1) != 1)
        return FinishRegistration(Registration{conn, sid, Clock::now()}, false);
    std::lock_guard<std::mutex> lock(m_lock);
    m_registrations.push_back(Registration{conn, sid, Clock::now() + kRegistrationWait});
    TimerChangedLocked();
}

// Once the client's certificate was asked for and checked (or not): the registration answer.
void TestGateway::Impl::FinishRegistration(const Registration& r, bool certificateOk) {
    std::shared_ptr<Client> client;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        auto it = m_clients.find(r.sessionId);
        if (it == m_clients.end()) return;
        client = it->second;
    }
    std::uint16_t status = 0;
    if (!certificateOk)
        status = 3;
    else if (m_config.registration == RegisterMode::Refuse)
        status = m_config.registerStatus;
    else if (m_config.registration == RegisterMode::Reassign && m_config.reassignIp != 0)
        status = 1;
    std::uint32_t address = 0;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (status == 1) client->vip = m_config.reassignIp;
        if (status <= 1) address = client->vip;
    }
    std::vector<std::uint8_t> ack(14);
    short size = static_cast<short>(ack.size());
    const std::uint32_t mask = status <= 1 ? m_config.netmask : 0;
    if (ssr_ConstructCltRegisterAck(ack.data(), &size, status, address, mask) != SSR_SUCCESS) return;
    if (status <= 1) {
        std::lock_guard<std::mutex> lock(m_lock);
        ++m_counters.registrations;
    }
    if (status <= 1) GoOnline(client, r.conn);
    Send(r.conn, ack);
    if (status <= 1) Answered(client);
}

void TestGateway::Impl::HandlePasswordChange(const std::shared_ptr<Conn>& conn, const std::uint8_t* msg,
                                             std::size_t length) {
    PasswordChange c;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (ParsePasswordChange(msg, length, &c) != SSR_SUCCESS) {
            ++m_counters.badMessages;
            return;
        }
        ++m_counters.passwordChanges;
        if (m_config.passwordChangeCode == 0)
            for (auto& u : m_config.users)
                if (u.name == c.user && u.password == c.oldPassword) u.password = std::string(c.newPassword);
    }
    std::vector<std::uint8_t> answer;
    if (BuildPasswordChangeAnswer(m_config.passwordChangeCode, 0,
                                  platform::Utf8ToCp936(m_config.passwordChangeText), &answer) == SSR_SUCCESS)
        Send(conn, answer);
}

void TestGateway::Impl::Nak(const std::shared_ptr<Conn>& conn, std::uint32_t code, const std::string& utf8) {
    const std::string text = platform::Utf8ToCp936(utf8);
    short size = 0;
    ssr_ConstructCltSvrLogonNak(nullptr, &size, code, text.c_str());
    std::vector<std::uint8_t> nak(static_cast<std::size_t>(std::max<short>(size, 0)));
    if (ssr_ConstructCltSvrLogonNak(nak.data(), &size, code, text.c_str()) != SSR_SUCCESS) return;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        ++m_counters.naks;
    }
    Send(conn, nak);
}

// Control messages are sent whole or not at all by the TLS library and need no order against the
// deflated stream, so they skip the connection's send lock: a content handler runs under the TLS
// receive lock, and the device thread takes the two the other way round.
bool TestGateway::Impl::Send(const std::shared_ptr<Conn>& conn, const std::vector<std::uint8_t>& msg) {
    return m_api->SendMsg(conn->session, reinterpret_cast<const char*>(msg.data()),
                          static_cast<int>(msg.size()), true) > 0;
}

}  // namespace qelgw
