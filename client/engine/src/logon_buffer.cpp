#include "engine/logon_buffer.h"

#include "dailylog/shared_daily_log.h"
#include "platform/clock_wait.h"
#include "wendrel/ssr_codec.h"

namespace engine {

std::size_t TwLogonBuffer::Append(const std::uint8_t* data, std::size_t size) {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_overflow || m_data.size() - m_readPos + size > kLogonBufferMax) {
            m_overflow = true;
        } else {
            if (m_readPos > 0 && m_readPos == m_data.size()) {
                m_data.clear();
                m_readPos = 0;
            }
            m_data.insert(m_data.end(), data, data + size);
        }
    }
    m_arrived.Set();
    return size;
}

void TwLogonBuffer::Clear() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_data.clear();
    m_data.shrink_to_fit();
    m_readPos = 0;
    m_peekSeen = 0;
    m_overflow = false;
}

void TwLogonBuffer::Restart() {
    Clear();
    m_arrived.Reset();
}

bool TwLogonBuffer::Overflowed() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_overflow;
}

TwLogonBuffer::Next TwLogonBuffer::NextMessage(std::vector<std::uint8_t>* msg, int* headerError) {
    std::lock_guard<std::mutex> lock(m_lock);
    const std::size_t available = m_data.size() - m_readPos;
    SSR_HEADER header{};
    const int rc =
        ssr_ExtractPacketHeader(m_data.data() + m_readPos, static_cast<unsigned>(available), &header);
    if (rc == SSR_ERROR_HEADER_TOO_SHORT || rc == SSR_ERROR_INCOMPLETE) {
        m_peekSeen = available;  // the next wait is for more than this
        return Next::kIncomplete;
    }
    if (rc != SSR_SUCCESS) {
        *headerError = rc;
        TW_LOG(LOG_CLIENT_LOGIN, 4,
               "[LogonHandleSsrAuth] SSR Extract Packet Header Error, %dHdr version is %d, type is %d, code "
               "is %d, "
               "payload_size is %d",
               rc, header.version, header.type, header.code, header.payload_size);
        return Next::kMalformed;
    }
    const std::size_t length = std::size_t{header.payload_size} + SSR_HEADER_SIZE;
    msg->assign(m_data.begin() + static_cast<long>(m_readPos),
                m_data.begin() + static_cast<long>(m_readPos + length));
    m_readPos += length;
    m_peekSeen = 0;
    return Next::kMessage;
}

TwLogonBuffer::Wait TwLogonBuffer::WaitForData(DWORD timeoutMs, platform::Event& cancel,
                                               platform::Event& disconnect) {
    const platform::ClockDeadline deadline(m_clock, timeoutMs);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (m_overflow || UnseenLocked()) return Wait::kData;
        }
        platform::Event* events[] = {&m_arrived, &cancel, &disconnect};
        const int left = deadline.RemainingMs();
        if (left == 0) return Wait::kTimedOut;
        const DWORD rc = platform::WaitForAny(events, 3, static_cast<DWORD>(left), m_clock);
        if (rc == platform::kWaitObject0) continue;
        if (rc == platform::kWaitObject0 + 1) return Wait::kCancelled;
        if (rc != platform::kWaitObject0 + 2) return Wait::kTimedOut;
        // What came before the end is still read first.
        std::lock_guard<std::mutex> lock(m_lock);
        if (UnseenLocked()) {
            disconnect.Set();
            return Wait::kData;
        }
        return Wait::kServerClosed;
    }
}

}  // namespace engine
