// tinyproxy on 127.0.0.1 for tests that go through a real HTTP proxy.
#pragma once
#include <sys/types.h>

#include <string>

namespace testsupport {

// tinyproxy with a configuration of this object's own in `folder`, with Basic authentication when
// `user` is not empty; started again on another port when a parallel test took the one it was
// given. Not Ready() when tinyproxy is not installed or did not start; stopped by the destructor.
class TinyProxy {
public:
    TinyProxy(const std::string& folder, const std::string& user, const std::string& password);
    ~TinyProxy();
    TinyProxy(const TinyProxy&) = delete;
    TinyProxy& operator=(const TinyProxy&) = delete;
    bool Ready() const { return m_pid > 0; }
    unsigned short Port() const { return m_port; }

private:
    pid_t m_pid = -1;
    unsigned short m_port = 0;
};

}  // namespace testsupport
