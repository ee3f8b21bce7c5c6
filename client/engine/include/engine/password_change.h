// The password change inside the tunnel, between the GUI's change-password dialog and the
// connector. The dialog has the SSR password-change request built here
// (BuildPasswordChangeRequest) and hands it to PasswordChangeTunnel::SendSsrPacketToPeer; when the gateway's
// reset-password answer (code 104) arrives, the connector's receive thread tells the listener the result and
// the gateway's text.
//
// The connector implements PasswordChangeTunnel; the GUI implements the listener (it posts the
// answer to its own thread, the event owning a copy of the text).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace engine {

constexpr int kPasswordChangeSucceeded = 1;  // the answer's error number was 0
constexpr int kPasswordChangeFailed = 2;
// The answer's text is at most this many bytes (the codec's 64-byte buffer less its zero).
constexpr std::size_t kPasswordChangeTextMax = 63;

// The SSR password-change request of `user` in session `sessionId`; empty when it cannot be built
// (a field too long for the message). The caller wipes it once sent: it holds both passwords.
std::vector<std::uint8_t> BuildPasswordChangeRequest(std::uint32_t sessionId, const std::string& user,
                                                     const std::string& oldPassword,
                                                     const std::string& newPassword);

class PasswordChangeListener {
public:
    virtual ~PasswordChangeListener() = default;
    // From the connector's receive thread: `result` is kPasswordChangeSucceeded or
    // kPasswordChangeFailed, `text` the gateway's error text (may be empty). Must not block; the
    // text is the listener's to copy.
    virtual void PasswordChangeResult(int result, const std::string& text) = 0;
};

class PasswordChangeTunnel {
public:
    virtual ~PasswordChangeTunnel() = default;
    // Sends one complete SSR message to the gateway inside the tunnel. false when there is no
    // session or the send failed. Any thread; the bytes are copied before it returns.
    virtual bool SendSsrPacketToPeer(const std::uint8_t* data, std::size_t size) = 0;
    // The listener for reset-password answers; null removes it. After the call returns with null,
    // the old listener is not called any more. Any thread.
    virtual void SetPasswordChangeListener(PasswordChangeListener* listener) = 0;
};

}  // namespace engine
