#include "content_handler.h"

#include <algorithm>
#include <cstring>

#include "tls_log.h"

namespace tamberk {

TwSslContentCache::TwSslContentCache(std::uint32_t cacheSize)
    : passThrough(cacheSize == 0),
      capacity(cacheSize == 0 ? kPassThroughCapacity : cacheSize),
      buffer(static_cast<std::size_t>(capacity) + 1, 0) {
    if (passThrough)
        TLS_LOG(kLogDebug, "[TwSslContentCache] Pass through mode, no aggregation!");
    else
        TLS_LOG(kLogDebug, "[TwSslContentCache] Cache mode, do aggregation!");
}

TwSslContentHandler::TwSslContentHandler(std::uint8_t contentType, int cacheSize, TwSslContentSink sink)
    : m_contentType(contentType), m_cacheSize(cacheSize < 0 ? 0 : cacheSize), m_sink(std::move(sink)) {}

std::shared_ptr<TwSslContentCache> TwSslContentHandler::CacheFor(const TwSslSession& session) {
    std::lock_guard<std::mutex> lock(m_SslContentCacheLock);
    auto it = m_caches.find(&session);
    if (it != m_caches.end()) return it->second;
    std::shared_ptr<TwSslContentCache> cache;
    try {
        cache = std::make_shared<TwSslContentCache>(static_cast<std::uint32_t>(m_cacheSize));
        m_caches.emplace(&session, cache);
    } catch (...) {
        TLS_LOG(kLogError,
                "[TwSslContentHandler] AllocateBuffer create TwSslContentCache (m_CacheSize=%d) for "
                "hSslSession=0x%p fails",
                m_cacheSize, static_cast<const void*>(&session));
        return nullptr;
    }
    return cache;
}

DeliverResult TwSslContentHandler::Deliver(TwSslSession& session, int pending, const Reader& read,
                                           int* readResult) {
    std::shared_ptr<TwSslContentCache> cache = CacheFor(session);
    if (!cache) return DeliverResult::kNoCache;
    TwSslContentCache& c = *cache;
    std::uint32_t room = c.passThrough ? c.capacity : c.capacity - c.count;
    if (room == 0) return DeliverResult::kCacheFull;
    if (pending > 0 && room >= static_cast<std::uint32_t>(pending))
        room = static_cast<std::uint32_t>(pending);
    if (!c.passThrough && c.start + c.count + room > c.capacity) {
        std::memmove(c.buffer.data(), c.buffer.data() + c.start, c.count);
        // Outside the unconsumed bytes the buffer is all zeros already (consumed bytes are zeroed
        // as they go): only what the move left behind it needs it, not the whole free part.
        const std::uint32_t stale = std::min(c.start, c.count);
        std::memset(c.buffer.data() + c.start + c.count - stale, 0, stale);
        c.start = 0;
    }
    const int got = read(c.buffer.data() + c.start + c.count, static_cast<int>(room));
    if (got <= 0) {
        *readResult = got;
        return got == 0 ? DeliverResult::kNothing : DeliverResult::kReadFailed;
    }
    c.count += static_cast<std::uint32_t>(got);
    c.buffer[c.start + c.count] = 0;
    std::uint32_t consumed =
        m_sink.data ? m_sink.data(session, m_contentType, c.buffer.data() + c.start, c.count) : c.count;
    if (c.passThrough || consumed >= c.count) {
        std::memset(c.buffer.data(), 0, c.start + c.count);
        c.start = 0;
        c.count = 0;
    } else {
        std::memset(c.buffer.data() + c.start, 0, consumed);
        c.start += consumed;
        c.count -= consumed;
        // A full cache the handler cannot consume from holds the start of a message larger than
        // the cache: no later byte can complete it, so waiting would stall the tunnel.
        if (c.count == c.capacity) return DeliverResult::kCacheFull;
    }
    return DeliverResult::kDelivered;
}

void TwSslContentHandler::SessionEvent(TwSslMsgType code, TwSslSession& session) {
    if (code == TW_MSG_SSL_DISCONNECT) RemoveCache(&session);
    if (m_sink.event) m_sink.event(code, &session);
}

void TwSslContentHandler::Broadcast(TwSslMsgType code, TwSslSession* session) {
    if (m_sink.event) m_sink.event(code, session);
}

void TwSslContentHandler::RemoveCache(const TwSslSession* session) {
    std::lock_guard<std::mutex> lock(m_SslContentCacheLock);
    m_caches.erase(session);
}

TwSslContentHandler* TwSslHandlerRegistry::Register(std::uint8_t contentType, int cacheSize,
                                                    TwSslContentSink sink) {
    if (contentType >= 20 && contentType <= 22) return nullptr;
    std::lock_guard<std::mutex> lock(m_hSslHandlerLock);
    std::shared_ptr<TwSslContentHandler>* slot = nullptr;
    if (contentType == 23)
        slot = &m_appData;
    else if (contentType == 24)
        slot = &m_type24;
    else if (contentType == 255)
        slot = &m_catchAll;
    if (slot ? *slot != nullptr : m_table.count(contentType) != 0) return nullptr;
    auto handler = std::make_shared<TwSslContentHandler>(contentType, cacheSize, std::move(sink));
    if (slot)
        *slot = handler;
    else
        m_table.emplace(contentType, handler);
    return handler.get();
}

bool TwSslHandlerRegistry::Remove(const TwSslContentHandler* handle) {
    if (!handle) return false;
    std::shared_ptr<TwSslContentHandler> removed;  // destroyed outside the lock
    std::lock_guard<std::mutex> lock(m_hSslHandlerLock);
    for (auto* slot : {&m_appData, &m_type24, &m_catchAll}) {
        if (slot->get() == handle) {
            removed.swap(*slot);
            return true;
        }
    }
    for (auto it = m_table.begin(); it != m_table.end(); ++it) {
        if (it->second.get() == handle) {
            removed = it->second;
            m_table.erase(it);
            return true;
        }
    }
    return false;
}

std::shared_ptr<TwSslContentHandler> TwSslHandlerRegistry::Find(std::uint8_t contentType) {
    std::lock_guard<std::mutex> lock(m_hSslHandlerLock);
    if (contentType == 23 && m_appData) return m_appData;
    if (contentType == 24 && m_type24) return m_type24;
    auto it = m_table.find(contentType);
    if (it != m_table.end()) return it->second;
    return m_catchAll;
}

std::shared_ptr<TwSslContentHandler> TwSslHandlerRegistry::AppData() {
    std::lock_guard<std::mutex> lock(m_hSslHandlerLock);
    return m_appData;
}

std::vector<std::shared_ptr<TwSslContentHandler>> TwSslHandlerRegistry::Snapshot() {
    std::lock_guard<std::mutex> lock(m_hSslHandlerLock);
    std::vector<std::shared_ptr<TwSslContentHandler>> all;
    for (auto* slot : {&m_appData, &m_type24, &m_catchAll})
        if (*slot) all.push_back(*slot);
    for (auto& [type, handler] : m_table) all.push_back(handler);
    return all;
}

void TwSslHandlerRegistry::Broadcast(TwSslMsgType code, TwSslSession* session) {
    // Handlers run outside the registry lock so that they may register or remove handlers.
    for (auto& handler : Snapshot()) handler->Broadcast(code, session);
}

void TwSslHandlerRegistry::ForgetSession(const TwSslSession* session) {
    for (auto& handler : Snapshot()) handler->RemoveCache(session);
}

void TwSslHandlerRegistry::Clear() {
    std::lock_guard<std::mutex> lock(m_hSslHandlerLock);
    m_appData.reset();
    m_type24.reset();
    m_catchAll.reset();
    m_table.clear();
}

}  // namespace tamberk
