// Local message pipes: an AF_UNIX SOCK_SEQPACKET server and client. Each message is one request
// or one reply, bounded in size (a longer one is refused, never cut short), and may carry one
// descriptor (SCM_RIGHTS). Who may connect is decided from the kernel's record of the peer
// (SO_PEERCRED, SO_PEERGROUPS) before anything it sends is read.
#pragma once
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"

namespace platform {

struct PeerCredentials {
    pid_t pid = 0;
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
    std::vector<gid_t> groups;  // supplementary groups at connect time
};

// Reads the peer's credentials of a connected AF_UNIX socket. false when the kernel has none.
bool ReadPeerCredentials(int socket, PeerCredentials* out);

// Who may connect, and the socket file's mode that goes with it.
class PeerPolicy {
public:
    static PeerPolicy RootOnly() { return PeerPolicy(Kind::kRoot, 0); }
    static PeerPolicy RootOrGroup(gid_t group) { return PeerPolicy(Kind::kRootOrGroup, group); }
    static PeerPolicy Anyone() { return PeerPolicy(Kind::kAnyone, 0); }
    // Root and the server's own effective uid (the same as RootOnly for a root server).
    static PeerPolicy RootOrSelf();
    // The group by name; a group that does not exist admits root only, and *found says so.
    static PeerPolicy RootOrGroupNamed(const std::string& name, bool* found = nullptr);

    // Membership is the peer's primary gid or one of its supplementary groups as the kernel
    // recorded them at connect time, so a peer cannot claim a group it did not hold.
    bool Admits(const PeerCredentials& peer) const;
    // 0600 root only or self, 0660 root or group (the group owns the file), 0666 anyone.
    mode_t SocketMode() const;
    // The owner group of the socket file; -1 keeps the creator's.
    gid_t SocketGroup() const { return m_kind == Kind::kRootOrGroup ? m_group : static_cast<gid_t>(-1); }

private:
    enum class Kind { kRoot, kRootOrGroup, kRootOrSelf, kAnyone };
    PeerPolicy(Kind kind, gid_t group, uid_t self = 0) : m_kind(kind), m_group(group), m_self(self) {}
    Kind m_kind;
    gid_t m_group;
    uid_t m_self;
};

struct LocalPipeLimits {
    std::size_t maxMessage = 4096;        // bytes of one request
    int idleTimeoutMs = 0;                // a connection silent this long is closed; 0: never
    std::size_t maxConnections = 64;      // connections of non-root peers in all
    std::size_t maxPerUid = 16;           // connections of one non-root uid
    std::size_t maxRootConnections = 64;  // root's own share: others can never lock root out
};

struct PipeRequest {
    std::uint64_t connection = 0;
    const PeerCredentials* peer = nullptr;
    std::vector<std::uint8_t> data;
    UniqueFd fd;             // a descriptor that came with the message; the handler may take it
    bool oversized = false;  // longer than maxMessage: data is empty and the message is gone
};

struct PipeReply {
    std::vector<std::uint8_t> data;  // empty: nothing is sent
    int fd = -1;                     // sent along with data; stays the caller's
    int extraFds[2] = {-1, -1};      // sent after `fd` (when >= 0), in order; stay the caller's
    bool close = false;              // close the connection after sending
};

class LocalPipeServer {
public:
    // Called on the server's one thread, one call at a time, so a handler needs no lock of its
    // own against itself. A handler should not block: others wait meanwhile.
    class Handler {
    public:
        virtual ~Handler() = default;
        // A peer that passed the policy and the limits. false refuses it.
        virtual bool OnConnect(std::uint64_t /*connection*/, const PeerCredentials& /*peer*/) { return true; }
        virtual void OnRequest(PipeRequest& request, PipeReply* reply) = 0;
        // Every accepted connection ends here exactly once (also at Stop, on Stop's thread).
        virtual void OnDisconnect(std::uint64_t /*connection*/) {}
    };

    LocalPipeServer(Handler& handler, PeerPolicy policy, LocalPipeLimits limits = {});
    ~LocalPipeServer();
    LocalPipeServer(const LocalPipeServer&) = delete;
    LocalPipeServer& operator=(const LocalPipeServer&) = delete;

    // Binds `path` (a stale socket there is replaced: a daemon makes sure no other instance of it
    // runs, see instance_lock.h), sets its mode and group from the policy and starts serving.
    // false with errno.
    bool Start(const std::string& path);
    // Stops serving, ends every connection and removes the socket, unless the path now names
    // another file. Not from a handler.
    void Stop();

    // Connections refused (policy or limits) and messages refused (oversized, unreadable).
    std::uint64_t RefusedConnections() const { return m_refusedConnections.load(); }
    std::size_t OpenConnections() const;

private:
    struct Connection {
        UniqueFd fd;
        std::uint64_t id = 0;
        PeerCredentials peer;
        std::chrono::steady_clock::time_point lastActive;
    };
    void Run();
    void Accept();
    bool ServeOne(Connection& c);
    void CloseConnection(int fd);
    int NextTimeoutMs() const;
    void CloseIdle();

    Handler& m_handler;
    PeerPolicy m_policy;
    LocalPipeLimits m_limits;
    std::string m_path;
    dev_t m_boundDev = 0;  // the socket file we bound, so that Stop removes only that
    ino_t m_boundIno = 0;
    UniqueFd m_listen;
    UniqueFd m_stopFd;
    std::chrono::steady_clock::time_point m_acceptPausedUntil{};  // the server's thread only
    int m_acceptBackoffMs = 0;
    mutable std::mutex m_lock;  // m_connections' size for OpenConnections
    std::map<int, Connection> m_connections;
    std::uint64_t m_nextId = 1;
    std::atomic<std::uint64_t> m_refusedConnections{0};
    std::atomic<std::uint64_t> m_refusedMessages{0};
    std::thread m_thread;
};

// One connection to a local pipe. Not thread-safe; one request at a time.
class LocalPipeClient {
public:
    // Connects to `path`. nullptr-like (not Connected) with errno on failure: ENOENT or
    // ECONNREFUSED when nobody listens, EACCES when the socket's mode refuses us. A server whose
    // backlog is full is waited for until it has room, or, with `failWhenFull`, refused at once
    // with EAGAIN (for callers that bound their own wait).
    static LocalPipeClient Connect(const std::string& path, bool failWhenFull = false);
    LocalPipeClient() = default;
    bool Connected() const { return m_fd.Valid(); }
    int Get() const { return m_fd.Get(); }

    // Sends one message, with `passFd` attached when >= 0. false with errno.
    bool Send(const void* data, std::size_t size, int passFd = -1);
    // Receives one message of at most `maxSize` bytes within `timeoutMs` (-1: no limit).
    // true with the message (empty when the server closed: then *closed is set). false with
    // errno: ETIMEDOUT, EMSGSIZE for a longer message (refused whole), or the socket's error.
    // `extra` (may be null) receives the descriptors that came after the first, in order.
    bool Receive(std::size_t maxSize, int timeoutMs, std::vector<std::uint8_t>* message, UniqueFd* fd,
                 bool* closed, std::vector<UniqueFd>* extra = nullptr);

private:
    explicit LocalPipeClient(UniqueFd fd) : m_fd(std::move(fd)) {}
    UniqueFd m_fd;
};

}  // namespace platform
