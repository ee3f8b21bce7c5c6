// One TLS client connection over a connected non-blocking socket, with OpenSSL on a pair of memory
// BIOs: this object moves the bytes itself, so every send carries MSG_NOSIGNAL (a server that
// goes away never raises SIGPIPE in the caller's process) and every wait has a deadline. Not
// thread-safe; one fetch owns it.
#pragma once
#include <openssl/ssl.h>

#include <cstddef>

#include "platform/clock.h"
#include "platform/types.h"

namespace update_fetch {

class TlsChannel {
public:
    // Takes ownership of neither; `ssl` gets the BIOs of this object.
    TlsChannel(int fd, SSL* ssl, const platform::Clock& clock);
    TlsChannel(const TlsChannel&) = delete;
    TlsChannel& operator=(const TlsChannel&) = delete;

    bool Ok() const { return m_ok; }
    // Each call runs one OpenSSL operation until it completes, waiting for the socket as OpenSSL
    // asks, all waits together bounded by timeoutMs. Result > 0 on success; otherwise <= 0 with
    // *sslError the OpenSSL error kind (SSL_ERROR_ZERO_RETURN: the server's TLS close), or -1
    // with *sslError SSL_ERROR_SYSCALL after a socket error or the time-out.
    int Handshake(DWORD timeoutMs, int* sslError);
    int Read(char* buffer, int size, DWORD timeoutMs, int* sslError);
    int Write(const char* data, int size, DWORD timeoutMs, int* sslError);
    // Sends the close notify once, without waiting for the server's.
    int Shutdown(DWORD timeoutMs, int* sslError);

    std::size_t BytesSent() const { return m_sent; }

private:
    template <class Op>
    int Run(Op op, DWORD timeoutMs, int* sslError);
    bool Flush(const platform::ClockDeadline& deadline);
    int Fill(const platform::ClockDeadline& deadline);
    bool Wait(short events, const platform::ClockDeadline& deadline);

    int m_fd;
    SSL* m_ssl;
    BIO* m_in = nullptr;   // from the server, owned by m_ssl
    BIO* m_out = nullptr;  // to the server, owned by m_ssl
    const platform::Clock& m_clock;
    bool m_ok = false;
    bool m_eof = false;
    bool m_timedOut = false;
    int m_socketError = 0;
    std::size_t m_sent = 0;
};

// Waits until fd shows `events`: true when it does, false on time-out (or a poll failure).
bool WaitSocket(int fd, short events, const platform::ClockDeadline& deadline);

}  // namespace update_fetch
