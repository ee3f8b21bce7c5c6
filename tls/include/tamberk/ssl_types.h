// Plain types shared by the TLS tunnel library's public classes and its callers.
#pragma once
#include <cstdint>

#include "platform/types.h"

// Which TLS versions a bound context offers. SSL 2.0 and 3.0 are refused at bind time; both
// TLS values offer TLS 1.0 up to TLS 1.2 and let the peer choose.
enum TwSslProtocol : std::int32_t {
    TW_SSL_PROTOCOL_SSLV2 = 0,
    TW_SSL_PROTOCOL_SSLV3 = 1,
    TW_SSL_PROTOCOL_TLSV1 = 2,
    TW_SSL_PROTOCOL_ANY = 3,
};

// Caller-filled verification policy (three unsigned 32-bit fields, in this order).
struct TwCertificateVerificationPolicy {
    DWORD Reserved;        // copied, never read
    DWORD VerifyDepth;     // deepest chain position accepted (0 = the peer's own certificate)
    DWORD AlwaysContinue;  // 1: accept a server certificate whatever the verification error
};
static_assert(sizeof(TwCertificateVerificationPolicy) == 12);

enum TwSslMsgType : std::int32_t {
    TW_MSG_SSL_START = 0,
    TW_MSG_SSL_STOP = 1,
    TW_MSG_SSL_CONNECT = 2,
    TW_MSG_SSL_RECEIVE = 3,
    TW_MSG_SSL_DISCONNECT = 4,
};

// Modes of a state machine / session.
enum TwSslMode : std::int32_t { TW_SSL_MODE_NONE = 0, TW_SSL_MODE_CLIENT = 1, TW_SSL_MODE_SERVER = 2 };

// Re-handshake status of a session (server side client-certificate request).
enum TwRehandshakeStatus : std::int32_t {
    TW_REHANDSHAKE_NONE = 0,
    TW_REHANDSHAKE_REQUESTED = 1,
    TW_REHANDSHAKE_FAILED = 2,
    TW_REHANDSHAKE_COMPLETED = 3,
};

// Error codes read through TwSslAPI::GetSslError.
constexpr std::int32_t TW_SSL_ERR_HANDSHAKE = -100;   // first handshake failed, socket closed
constexpr std::int32_t TW_SSL_ERR_NO_SESSION = -500;  // the caller passed no session
constexpr std::int32_t TW_SSL_ERR_CLIENT_MODE = -10;  // client-certificate check in client mode
constexpr std::int32_t TW_SSL_ERR_NO_PEER_CERT = -11;
constexpr std::int32_t TW_SSL_ERR_NAME_MISMATCH = -12;
constexpr std::int32_t TW_SSL_ERR_VERIFY_BASE = 10000;    // + OpenSSL verification result
constexpr std::int32_t TW_SSL_ERR_BAD_RECORD = -200;      // malformed record on the stream
constexpr std::int32_t TW_SSL_ERR_CACHE_OVERFLOW = -201;  // message larger than the content cache
constexpr std::int32_t TW_SSL_ERR_PROTOCOL = -202;        // fatal TLS protocol error on a connection

// Results of TwSslStateMachine::ChooseCertificate.
constexpr int TW_CERT_CHOOSE_FAILED = 0;
constexpr int TW_CERT_CHOOSE_OK = 1;
constexpr int TW_CERT_CHOOSE_NOT_VALID_TODAY = 4;
