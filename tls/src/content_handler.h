// Content handlers and their per-session content caches. A handler sees decrypted application
// data of one content type either chunk by chunk (pass-through, cache size 0) or aggregated in
// a cache of its chosen size, from which it consumes whole messages of its own protocol.
// Thread-safety: the registry is guarded by its handler lock, each handler's cache table by its
// cache lock; delivery for one session is serialised by that session's locks.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "tamberk/ssl_types.h"

namespace tamberk {

class TwSslSession;

constexpr std::uint32_t kPassThroughCapacity = 8192;

// Per (handler, session) buffer. The buffer has one byte more than the capacity so that the
// data handed out is always followed by a zero byte.
struct TwSslContentCache {
    explicit TwSslContentCache(std::uint32_t cacheSize);
    bool passThrough;
    std::uint32_t capacity;
    std::uint32_t start = 0;
    std::uint32_t count = 0;
    std::vector<char> buffer;
};

// What a handler tells the library: data handed over (returns bytes consumed) and session events.
struct TwSslContentSink {
    std::function<std::uint32_t(TwSslSession& session, std::uint8_t type, char* data, std::uint32_t size)>
        data;
    std::function<void(TwSslMsgType code, TwSslSession* session)> event;
};

enum class DeliverResult {
    kDelivered,   // bytes were read and handed to the handler
    kNothing,     // the reader had nothing (wants more network bytes)
    kReadFailed,  // the reader failed; *readResult holds its result
    kCacheFull,   // cache mode, cache full and the handler keeps refusing: message too large
    kNoCache,     // the cache could not be made
};

class TwSslContentHandler {
public:
    TwSslContentHandler(std::uint8_t contentType, int cacheSize, TwSslContentSink sink);

    int CacheSize() const { return m_cacheSize; }

    // Reads at most `room` plaintext bytes into dst; > 0 bytes read, otherwise the reader's result.
    using Reader = std::function<int(char* dst, int room)>;
    // One delivery round for the session (see the cache rules in the .cpp).
    DeliverResult Deliver(TwSslSession& session, int pending, const Reader& read, int* readResult);
    void SessionEvent(TwSslMsgType code, TwSslSession& session);
    void Broadcast(TwSslMsgType code, TwSslSession* session);
    void RemoveCache(const TwSslSession* session);

private:
    std::shared_ptr<TwSslContentCache> CacheFor(const TwSslSession& session);

    std::uint8_t m_contentType;
    int m_cacheSize;
    TwSslContentSink m_sink;
    std::mutex m_SslContentCacheLock;
    std::map<const TwSslSession*, std::shared_ptr<TwSslContentCache>> m_caches;
};

// Three fixed slots (application data 23, type 24, catch-all 255) and a table for other types.
class TwSslHandlerRegistry {
public:
    // Null when refused: types 20-22, a taken fixed slot, or a type already in the table.
    TwSslContentHandler* Register(std::uint8_t contentType, int cacheSize, TwSslContentSink sink);
    bool Remove(const TwSslContentHandler* handle);
    std::shared_ptr<TwSslContentHandler> Find(std::uint8_t contentType);
    std::shared_ptr<TwSslContentHandler> AppData();
    void Broadcast(TwSslMsgType code, TwSslSession* session);
    // Drops every cache of a session (session end).
    void ForgetSession(const TwSslSession* session);
    void Clear();

private:
    std::vector<std::shared_ptr<TwSslContentHandler>> Snapshot();

    std::mutex m_hSslHandlerLock;
    std::shared_ptr<TwSslContentHandler> m_appData, m_type24, m_catchAll;
    std::map<std::uint8_t, std::shared_ptr<TwSslContentHandler>> m_table;
};

}  // namespace tamberk
