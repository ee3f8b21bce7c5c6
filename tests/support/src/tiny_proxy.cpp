#include "testsupport/tiny_proxy.h"

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>

#include "platform/process.h"
#include "testsupport/command.h"
#include "testsupport/net.h"

namespace testsupport {

TinyProxy::TinyProxy(const std::string& folder, const std::string& user, const std::string& password) {
    const std::string program = platform::FindProgram("tinyproxy");
    if (program.empty()) return;
    for (int attempt = 0; attempt < 5 && m_pid <= 0; ++attempt) {
        {
            LoopbackListener probe(1);
            m_port = probe.port;
        }
        const std::string conf = folder + "/tinyproxy.conf";
        std::ofstream out(conf);
        out << "Port " << m_port << "\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\nAllow 127.0.0.1\n";
        if (!user.empty()) out << "BasicAuth " << user << " " << password << "\n";
        out.close();
        platform::SpawnOptions so;
        so.quietOutput = true;
        pid_t pid = platform::Spawn({program, "-d", "-c", conf}, so);
        if (pid <= 0) return;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            int fd = ConnectLoopback(m_port);
            if (fd >= 0) {
                ::close(fd);
                m_pid = pid;
                break;
            }
            int code = 0;
            if (platform::WaitProcess(pid, 5, &code) == platform::kWaitObject0) {
                pid = -1;  // it lost the port: next attempt
                break;
            }
        }
        if (m_pid <= 0 && pid > 0) StopProcess(pid, SIGTERM, 3000);
    }
}

TinyProxy::~TinyProxy() {
    if (m_pid > 0) StopProcess(m_pid, SIGTERM, 5000);
}

}  // namespace testsupport
