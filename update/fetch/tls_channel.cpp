#include "tls_channel.h"

#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

namespace update_fetch {

bool WaitSocket(int fd, short events, const platform::ClockDeadline& deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        int n = ::poll(&p, 1, deadline.RemainingMs());
        if (n < 0 && errno == EINTR) continue;
        if (n > 0) return true;
        if (n < 0 || deadline.Expired()) return false;
    }
}

TlsChannel::TlsChannel(int fd, SSL* ssl, const platform::Clock& clock)
    : m_fd(fd), m_ssl(ssl), m_clock(clock) {
    m_in = BIO_new(BIO_s_mem());
    m_out = BIO_new(BIO_s_mem());
    if (!m_in || !m_out) {
        BIO_free(m_in);
        BIO_free(m_out);
        m_in = m_out = nullptr;
        return;
    }
    SSL_set_bio(m_ssl, m_in, m_out);
    m_ok = true;
}

bool TlsChannel::Wait(short events, const platform::ClockDeadline& deadline) {
    if (WaitSocket(m_fd, events, deadline)) return true;
    m_timedOut = true;
    return false;
}

bool TlsChannel::Flush(const platform::ClockDeadline& deadline) {
    char chunk[16384];
    while (BIO_ctrl_pending(m_out) > 0) {
        const int n = BIO_read(m_out, chunk, sizeof(chunk));
        if (n <= 0) return false;
        for (int off = 0; off < n;) {
            ssize_t w = ::send(m_fd, chunk + off, static_cast<std::size_t>(n - off), MSG_NOSIGNAL);
            if (w > 0) {
                off += static_cast<int>(w);
                m_sent += static_cast<std::size_t>(w);
                continue;
            }
            const int err = errno;
            if (w < 0 && err == EINTR) continue;
            if (w < 0 && (err == EAGAIN || err == EWOULDBLOCK)) {
                if (!Wait(POLLOUT, deadline)) return false;
                continue;
            }
            m_socketError = err;
            return false;
        }
    }
    return true;
}

int TlsChannel::Fill(const platform::ClockDeadline& deadline) {
    char chunk[16384];
    for (;;) {
        ssize_t n = ::recv(m_fd, chunk, sizeof(chunk), 0);
        if (n > 0) return BIO_write(m_in, chunk, static_cast<int>(n)) == n ? 1 : -1;
        if (n == 0) return 0;
        const int err = errno;
        if (err == EINTR) continue;
        if (err != EAGAIN && err != EWOULDBLOCK) {
            m_socketError = err;
            return -1;
        }
        if (!Wait(POLLIN, deadline)) return -1;
    }
}

template <class Op>
int TlsChannel::Run(Op op, DWORD timeoutMs, int* sslError) {
    *sslError = SSL_ERROR_SYSCALL;
    if (!m_ok) return -1;
    const platform::ClockDeadline deadline(m_clock, timeoutMs);
    for (;;) {
        ERR_clear_error();
        const int r = op();
        const int e = r > 0 ? SSL_ERROR_NONE : SSL_get_error(m_ssl, r);
        // What the operation produced goes out first: the server may wait for it.
        if (!Flush(deadline)) return -1;
        if (r > 0) return r;
        if (e == SSL_ERROR_WANT_WRITE) continue;
        if (e != SSL_ERROR_WANT_READ || m_eof) {
            *sslError = e;
            return r;
        }
        const int got = Fill(deadline);
        if (got < 0) return -1;
        if (got == 0) {
            // The server closed the socket: OpenSSL sees the end of its input from now on.
            m_eof = true;
            BIO_set_mem_eof_return(m_in, 0);
        }
    }
}

int TlsChannel::Handshake(DWORD timeoutMs, int* sslError) {
    return Run([this] { return SSL_connect(m_ssl); }, timeoutMs, sslError);
}

int TlsChannel::Read(char* buffer, int size, DWORD timeoutMs, int* sslError) {
    return Run([&] { return SSL_read(m_ssl, buffer, size); }, timeoutMs, sslError);
}

int TlsChannel::Write(const char* data, int size, DWORD timeoutMs, int* sslError) {
    return Run([&] { return SSL_write(m_ssl, data, size); }, timeoutMs, sslError);
}

int TlsChannel::Shutdown(DWORD timeoutMs, int* sslError) {
    *sslError = SSL_ERROR_SYSCALL;
    if (!m_ok) return -1;
    const platform::ClockDeadline deadline(m_clock, timeoutMs);
    ERR_clear_error();
    const int r = SSL_shutdown(m_ssl);
    if (r < 0) *sslError = SSL_get_error(m_ssl, r);
    if (!Flush(deadline)) return -1;
    return r < 0 ? r : 1;
}

}  // namespace update_fetch
