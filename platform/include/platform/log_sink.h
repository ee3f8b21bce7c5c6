// Where a library's diagnostic lines go. A library that logs keeps one LogSinkSlot; its owner (the
// program or a test) may put its own sink there, otherwise the library's fallback receives them.
// So protocol cores never name a concrete logger.
#pragma once
#include <atomic>
#include <memory>
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

    // Null puts the fallback back.
    void Set(std::shared_ptr<LogSink> sink) { m_sink.store(std::move(sink), std::memory_order_release); }

    // Calls fn(sink) with the current sink, held for the length of the call.
    template <typename Fn>
    void Use(Fn&& fn) const {
        const std::shared_ptr<LogSink> sink = m_sink.load(std::memory_order_acquire);
        fn(sink ? *sink : m_fallback);
    }

  private:
    LogSink& m_fallback;
    std::atomic<std::shared_ptr<LogSink>> m_sink;
};

}  // namespace platform
