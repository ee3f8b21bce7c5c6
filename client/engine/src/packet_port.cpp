// The packet port over CMorbeck.
#include "engine/packet_port.h"

#include <cstring>

namespace engine {

bool MorbeckPacketPort::ReadBlock(_FWSHARED_MEMORY_BLOCK* block) { return m_driver.ReadInto(block) == 1; }

bool MorbeckPacketPort::WaitReadable(DWORD timeoutMs) { return m_driver.WaitRingReadable(timeoutMs) == 1; }

void MorbeckPacketPort::WakeReader() { m_driver.WakeRingReader(); }

int MorbeckPacketPort::WriteFrame(const std::uint8_t* frame, std::size_t length) {
    if (length > static_cast<std::size_t>(TW_MAX_FRAME)) return 0;
    return m_driver.WriteQuiet(m_adapter, PACKET_DIRECTION_OUTGOING, reinterpret_cast<const char*>(frame),
                               static_cast<LONG>(length));
}

int MorbeckPacketPort::WriteFrame(const std::uint8_t* frame, std::size_t length, const BYTE source[6]) {
    if (length > static_cast<std::size_t>(TW_MAX_FRAME)) return 0;
    return m_driver.WriteQuiet(m_adapter, PACKET_DIRECTION_OUTGOING, reinterpret_cast<const char*>(frame),
                               static_cast<LONG>(length), source);
}

void MorbeckPacketPort::SignalWritten() { m_driver.SignalInput(); }

}  // namespace engine
