// TwSocket: the base of every socket object of the engine (a descriptor with its error and
// validity). Not thread-safe by itself; its owners guard it.
#pragma once
#include <atomic>

#include "platform/unique_fd.h"
#include "prendle/export.h"
#include "util/shared_object.h"

class TwSocketManager;

class PRENDLE_API TwSocket : public SharedObject {
public:
    explicit TwSocket(const char* name = "TwSocket");
    ~TwSocket() override;

    // A TCP socket bound to address:port (network-order address, host-order port); SO_REUSEADDR
    // when either is non-zero. 1, or 0 with the socket error stored.
    virtual int Create(unsigned long address, unsigned short port);
    virtual int IsSockValid();

    int GetSOCKET() const { return m_socket.Get(); }
    int GetError() const { return m_error; }
    void SetError(int error) { m_error = error; }
    bool operator==(const TwSocket& other) const { return m_socket.Get() == other.m_socket.Get(); }

    // select() on this socket for reading / writing with a time-out in seconds.
    int SocketReady2Read(int seconds);
    int SocketReady2Write(int seconds);
    // 1 when the socket is readable and a one-byte peek shows the peer gone.
    int HasConnectionDropped();

    // Closes the descriptor (if any) and marks the object invalid.
    void CloseSocket();

protected:
    int CreateOfType(int type, unsigned long address, unsigned short port);

    platform::UniqueFd m_socket;
    int m_valid = 0;
    // Written by a sender and by the reading worker, which take no common lock.
    std::atomic<int> m_error{0};
};
