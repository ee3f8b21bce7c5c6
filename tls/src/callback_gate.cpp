#include "callback_gate.h"

namespace tamberk {

namespace {
thread_local CallbackGate::Pass* t_innermost = nullptr;
}

CallbackGate::Pass::Pass(CallbackGate& gate) : m_gate(gate), m_outer(t_innermost) {
    m_gate.m_inFlight.fetch_add(1);
    if (m_gate.m_closed.load()) {
        m_gate.m_inFlight.fetch_sub(1);
        m_gate.m_inFlight.notify_all();
        return;
    }
    m_entered = true;
    t_innermost = this;
}

CallbackGate::Pass::~Pass() {
    if (!m_entered) return;
    t_innermost = m_outer;
    m_gate.m_inFlight.fetch_sub(1);
    if (m_gate.m_closed.load()) m_gate.m_inFlight.notify_all();
}

void CallbackGate::CloseAndDrain() {
    m_closed.store(true);
    int own = 0;
    for (const Pass* p = t_innermost; p; p = p->m_outer)
        if (&p->m_gate == this) ++own;
    for (int now = m_inFlight.load(); now > own; now = m_inFlight.load()) m_inFlight.wait(now);
}

}  // namespace tamberk
