// How a second start of the client reaches the running one: the running client listens on a
// local socket of its own, <runtime>/gui/<pid>.sock, and stores its pid in `MainWindow`. A
// request is one frame; the answer is the receiver's result word.
//
// Frame (little-endian): "VCL1", kind (u32), data (u32), length (u32), then `length` bytes
// (at most kFrameDataMax). Kinds: kCopyData (the copy-data hand-over: data is its dwData, the
// bytes its text), kShow (bring the window to the front), kPost (post the dialog message `data`,
// one of the messages that make its interface).
//
// Both sides check the peer: only our own user or root may talk to us, and we talk only to a
// listener of our own user or root.
//
// Thread-safety: InstanceServer lives on the UI thread (it is driven by its event loop);
// SendToRunningClient may be called from any thread and blocks for at most its time-out.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QObject>

#include "platform/types.h"

class QSocketNotifier;
class QTimer;

namespace vorn {

constexpr std::uint32_t kLinkCopyData = 1;
constexpr std::uint32_t kLinkShow = 2;
constexpr std::uint32_t kLinkPost = 3;
constexpr std::size_t kFrameHeader = 16;
constexpr std::size_t kFrameDataMax = 4096;

struct LinkRequest {
    std::uint32_t kind = 0;
    std::uint32_t data = 0;
    std::string bytes;  // exactly `length` bytes, zeros included
};

std::string EncodeFrame(const LinkRequest& request);

// Incremental reader of one frame. Feed what arrives; the result says whether the frame is
// complete, still short or malformed (bad magic, unknown kind, a length over the limit).
class FrameReader {
public:
    enum Result { kNeedMore, kComplete, kMalformed };
    Result Feed(const char* data, std::size_t size);
    const LinkRequest& Request() const { return m_request; }
    std::string Error() const { return m_error; }

private:
    std::string m_buffer;
    LinkRequest m_request;
    std::string m_error;
    bool m_done = false;
};

// The socket path of the client with process id `pid`; empty when the runtime folder is unusable.
std::string InstanceSocketPath(DWORD pid);

// Sends one request to the client `pid` and waits for its answer. kSendOk with *reply, or why not.
enum class SendResult { kOk, kNoListener, kRefusedPeer, kTimeout, kFailed };
SendResult SendToRunningClient(DWORD pid, const LinkRequest& request, DWORD timeoutMs, std::int32_t* reply);

class InstanceServer final : public QObject {
public:
    using Handler = std::function<std::int32_t(const LinkRequest&)>;
    // `frameMs` bounds how long one request may take to arrive.
    InstanceServer(Handler handler, DWORD frameMs = 2000, QObject* parent = nullptr);
    ~InstanceServer() override;

    // Binds <runtime>/gui/<our pid>.sock; false (logged) when it cannot.
    bool Listen();
    bool ListenAt(const std::string& path);
    const std::string& Path() const { return m_path; }

private:
    struct Connection;
    void Accept();
    void ReadFrom(Connection* connection);
    void Drop(Connection* connection);

    Handler m_handler;
    DWORD m_frameMs;
    int m_fd = -1;
    std::string m_path;
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::vector<std::unique_ptr<Connection>> m_connections;
};

}  // namespace vorn
