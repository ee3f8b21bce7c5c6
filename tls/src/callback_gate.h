// Keeps a caller's content handler from running once Terminate has returned: the caller frees
// the handler's context right after, while a socket worker may be half-way into a delivery.
#pragma once
#include <atomic>

namespace tamberk {

class CallbackGate {
public:
    // Held for the length of one call into the caller's handler.
    class Pass {
    public:
        explicit Pass(CallbackGate& gate);
        ~Pass();
        Pass(const Pass&) = delete;
        Pass& operator=(const Pass&) = delete;
        explicit operator bool() const { return m_entered; }

    private:
        friend class CallbackGate;
        CallbackGate& m_gate;
        bool m_entered = false;
        Pass* m_outer = nullptr;  // the pass this thread held before, for nested deliveries
    };

    // Refuses every later pass and waits until the handlers running on other threads have
    // returned. Calls on this thread's own stack (Terminate from inside the handler) are not
    // waited for: they cannot finish before this returns.
    void CloseAndDrain();

private:
    std::atomic<int> m_inFlight{0};
    std::atomic<bool> m_closed{false};
};

}  // namespace tamberk
