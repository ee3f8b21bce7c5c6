// The connector's view of the TLS library: one tunnel session at a time over a socket the
// connector connected and greeted itself. `MakeTamberkLink` gives the program's link over
// TwSslStateMachine and a socket client; tests pass a scripted one.
//
// Events come on the TLS library's threads (a socket-engine worker; the connect event may come on
// the caller of Attach): one at a time per session, never while the link's own lock is held.
// Events of a session that is no longer the current one are not passed on, except that its end
// counts for PreviousSessionClosed.
//
// Thread-safety: every call may come from any thread; Send also from inside an event.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/event.h"
#include "platform/types.h"

namespace engine {

class TunnelLinkEvents {
public:
    virtual void OnLinkConnect() = 0;
    // Decrypted application data; returns the bytes consumed (the rest comes again, with more).
    virtual std::size_t OnLinkReceive(const std::uint8_t* data, std::size_t size) = 0;
    // The current session ended; `alert` is true with the TLS alert the peer sent. `closedHere`:
    // it was closed through DisconnectSession (its end may come late, after another session began).
    virtual void OnLinkDisconnect(bool alert, int level, int code, bool closedHere) = 0;

protected:
    ~TunnelLinkEvents() = default;
};

class TunnelLink {
public:
    virtual ~TunnelLink() = default;

    // Configures the library (client mode, verification policy {0, 8, 1}, the content handler
    // with an 8,192-byte cache) and binds it to a socket client with the trusted-CA folder.
    virtual bool Initialize(TunnelLinkEvents* events, const std::string& caPath) = 0;
    // Stops delivering events, closes every session and waits until no event runs any more.
    // Nothing is called on the events object afterwards. Safe to call twice.
    virtual void Shutdown() = 0;

    virtual void SetCipherList(const std::string& list) = 0;
    // Address in network order; 0 turns the proxy off.
    virtual void UseHttpProxy(DWORD address, WORD port, const std::string& user,
                              const std::string& password) = 0;
    virtual void SetCancelEvent(platform::Event* event) = 0;
    // Client certificate from the certificate store: TW_CERT_CHOOSE_* (1 installed, 4 not valid).
    virtual int ChooseCertificate(const std::string& subject, const std::string& serial) = 0;

    // Hands a connected socket over (the link owns it afterwards, also on failure) and starts the
    // handshake; the session becomes the current one. false when no session could be made.
    virtual bool Attach(int fd, DWORD address, WORD port) = 0;
    virtual bool HasSession() = 0;
    // True once every session handed over earlier has ended (its disconnect was seen).
    virtual bool PreviousSessionClosed() = 0;
    // Whole messages: `length` when taken, 0 when not (no handshake yet, failed), -1 without session.
    // `more`: their records may wait in the session until a send without it (more follows at once).
    virtual int Send(const std::uint8_t* data, std::size_t length, bool more) = 0;
    // Closes the current session's TLS connection and socket and forgets it; its disconnect event
    // follows.
    virtual void DisconnectSession() = 0;
    // Forgets the current session without closing it (after its disconnect).
    virtual void ReleaseSession() = 0;

    // The current session's ends (dotted text and host-order port), master key, TLS alert.
    virtual bool PeerAddress(std::string* text, WORD* port) = 0;
    virtual bool LocalAddress(std::string* text, WORD* port) = 0;
    virtual std::vector<BYTE> MasterKey() = 0;
    // The SHA-256 fingerprint of the current session's peer certificate ("AB:CD:.."), "" when none.
    virtual std::string PeerCertificateFingerprint() = 0;
};

std::unique_ptr<TunnelLink> MakeTamberkLink();

}  // namespace engine
