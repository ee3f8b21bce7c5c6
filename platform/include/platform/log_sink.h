// Where a library's diagnostic lines go. A library that logs keeps one LogSinkSlot; its owner (the
// program or a test) may put its own sink there, otherwise the library's fallback receives them.
// So protocol cores never name a concrete logger.
#pragma once
#include <memory>
#include <mutex>
#include <utility>

namespace platform {

class LogSink {
public:
    virtual ~LogSink() = default;
    // Whether a line at `level` would be kept; false lets the caller skip formatting it.
    virtual bool Wants(int level) = 0;
    // One line, zero-terminated, without a line end of its own unless the text has one. Called
    // from any thread; must not throw.
    virtual void Write(int level, const char* line) = 0;
};

// Thread-safe: Set may run while other threads log; a replaced sink lives on until the last line
// written through it has returned.
class LogSinkSlot {
public:
    // `fallback` must outlive the slot.
    explicit LogSinkSlot(LogSink& fallback) : m_fallback(fallback) {}
    LogSinkSlot(const LogSinkSlot&) = delete;
    LogSinkSlot& operator=(const LogSinkSlot&) = delete;

    // Null puts the fallback back. The old sink is released after the lock (its destructor may log).
    void Set(std::shared_ptr<LogSink> sink) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sink.swap(sink);
    }

    // Calls fn(sink) with the current sink, held (not locked) for the length of the call.
    template <typename Fn>
    void Use(Fn&& fn) const {
        std::shared_ptr<LogSink> sink;
        {
            // A mutex rather than std::atomic<std::shared_ptr>: the latter's lock bit is invisible
            // to the thread sanitizer, and an uncontended lock costs about as much.
            std::lock_guard<std::mutex> lock(m_mutex);
            sink = m_sink;
        }
        fn(sink ? *sink : m_fallback);
    }

private:
    LogSink& m_fallback;
    mutable std::mutex m_mutex;
    std::shared_ptr<LogSink> m_sink;
};

}  // namespace platform
