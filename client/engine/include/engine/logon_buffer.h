// TwLogonBuffer: what the gateway sends while a logon runs, kept until the logon reads it as
// whole SSR messages. The TLS library's thread appends; the logon's thread waits and reads.
//
// Bounded: an answer that would grow it past kLogonBufferMax marks it overflowed, and the logon
// ends on that instead of the buffer growing without end. Every call is thread-safe.
#pragma once
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/types.h"

namespace engine {

class TwLogonBuffer {
public:
    static constexpr std::size_t kLogonBufferMax = 524288;

    enum class Next { kMessage, kIncomplete, kMalformed };
    enum class Wait { kData, kTimedOut, kServerClosed, kCancelled };

    explicit TwLogonBuffer(const platform::Clock& clock) : m_clock(clock) {}

    // Takes all of `size` (what does not fit marks the overflow) and wakes a waiting reader.
    std::size_t Append(const std::uint8_t* data, std::size_t size);
    // Empties the buffer and forgets an overflow; Restart also forgets data not yet waited for
    // (a new session).
    void Clear();
    void Restart();
    bool Overflowed();

    // The next whole message into *msg; kMalformed puts the codec's header error in *headerError.
    Next NextMessage(std::vector<std::uint8_t>* msg, int* headerError);
    // Waits up to `timeoutMs` for more than the reader has seen. `disconnect` set means the
    // session ended: what came before it is still read first (the event is left set for the next
    // wait). `cancel` ends the wait at once.
    Wait WaitForData(DWORD timeoutMs, platform::Event& cancel, platform::Event& disconnect);

private:
    bool UnseenLocked() const { return m_data.size() - m_readPos > m_peekSeen; }

    const platform::Clock& m_clock;
    platform::Event m_arrived{false, false};
    std::mutex m_lock;
    std::vector<std::uint8_t> m_data;
    std::size_t m_readPos = 0;
    std::size_t m_peekSeen = 0;  // unread bytes that did not make a whole message
    bool m_overflow = false;
};

}  // namespace engine
