// SchannelClient: fetches one file over HTTPS into memory, directly or through an HTTP proxy
// (CONNECT, optional Basic authentication), on OpenSSL. It sends one HTTP/1.0 GET and reads one
// response. The server's certificate is checked with the suite's trust rule (the trusted-CA folder
// or a certificate the tunnel accepted, see update/src/trusted_certs.h) before the request leaves.
//
// Blocking: the call runs wholly on the caller's thread; every wait is bounded by SchannelTiming.
// Questions and messages for the user go to the SchannelUi the caller passes (none: nothing is
// shown and a certificate that fails the check is refused). Several calls may run at once on
// different threads; they share nothing but the process's log.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/types.h"

// The real waits; tests shrink them.
struct SchannelTiming {
    DWORD connectMs = 60000;      // the TCP connection to the server or the proxy
    DWORD proxyAnswerMs = 30000;  // the proxy's whole answer to CONNECT
    DWORD receiveMs = 30000;      // each wait for the server, in the handshake and the response
};

// What the fetch shows. Called on the fetching thread; the call blocks until the user answered.
class SchannelUi {
public:
    virtual ~SchannelUi() = default;
    // A Yes/No question (system-modal on Windows); true for Yes.
    virtual bool AskYesNo(const std::string& caption, const std::string& text) = 0;
    // An error box.
    virtual void ShowError(const std::string& caption, const std::string& text) = 0;
    // A text on the proxy road (failed authentication, refused connection, time-out).
    virtual void ShowMessage(const std::string& text) = 0;
};

struct SchannelOptions {
    // Proxy: none while the host is empty or the port 0. Credentials are sent when the user is
    // not empty; "user:password" must stay within 255 characters.
    std::string proxyHost;
    unsigned short proxyPort = 0;
    std::string proxyUser, proxyPassword;
    // PEM texts of the certificates to trust; empty: read the trusted-CA folder now.
    std::vector<std::string> trusted;
    // Shown in front of the question's and the error box's caption.
    std::string appTitle;
    SchannelUi* ui = nullptr;
    // The most the whole response (head and body) may take in memory.
    std::size_t responseMax = 64u * 1024 * 1024;
    SchannelTiming timing;
    const platform::Clock* clock = &platform::SystemClock();
};

// Where a fetch stopped.
enum class SchannelStep {
    kNone,             // fetched
    kArguments,        // host, path or credentials not acceptable
    kSecurityLibrary,  // OpenSSL could not be initialised
    kCredentials,      // no TLS context
    kConnect,          // name, TCP connection or proxy
    kHandshake,
    kCertificate,  // no certificate, or refused by the check (and by the user)
    kFetch,        // request, response head, status, length or body
};

struct SchannelResponse {
    SchannelStep failedStep = SchannelStep::kNone;
    int status = 0;    // the answer's status (200 when fetched)
    std::string head;  // status line and headers, with the blank line
    std::string body;  // exactly Content-Length bytes, or everything up to the server's close
};

// 1 when the file was fetched: status 200 and the whole body (every byte of its Content-Length,
// or, without one, up to the server's TLS close). 0 otherwise, with response->failedStep set;
// the socket is closed and the TLS state freed in every case. host: a DNS name or dotted IPv4
// address (letters, digits, '.' and '-', at most 255 characters); path begins with '/' and holds
// no spaces or control characters.
int SchannelClient(const char* host, unsigned short port, const char* path, const SchannelOptions& options,
                   SchannelResponse* response);

// The reason text for an OpenSSL verification error, as the question shows it.
std::string SchannelCertificateReason(int verifyError);
