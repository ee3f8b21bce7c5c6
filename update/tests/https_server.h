// A real HTTPS server for the update tests: Debian's nginx on a loopback port, with a
// configuration and a certificate this object writes into a folder of its own. Started by the
// constructor, stopped by the destructor; never the system's service.
#pragma once
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "testsupport/certs.h"
#include "testsupport/temp_dir.h"

namespace updatetest {

struct ServerOptions {
    // Answer of the version-check POST.
    std::string versionReply = "0";
    // Bytes per second of /slow/.
    int slowRate = 16384;
};

class HttpsServer {
public:
    explicit HttpsServer(const ServerOptions& options = {});
    ~HttpsServer();
    HttpsServer(const HttpsServer&) = delete;
    HttpsServer& operator=(const HttpsServer&) = delete;

    bool Ok() const { return m_pid > 0; }
    unsigned short Port() const { return m_port; }
    // Serves `content` at `urlPath` (under the document root).
    void Put(const std::string& urlPath, const std::string& content) const;
    // The CA that issued the server's certificate (CN "localhost"), and the server's own.
    const std::string& CaPem() const { return m_caPem; }
    const std::string& ServerPem() const { return m_serverPem; }
    std::string ErrorLog() const;

private:
    void RunBackend();

    testsupport::TempDir m_dir;
    std::string m_caPem, m_serverPem;
    pid_t m_pid = -1;
    unsigned short m_port = 0;
    // Behind /short/: a server that announces 100000 bytes and sends 1000. Behind /stall/: one
    // that announces 100000 bytes, sends 10 and then nothing; behind /stallhead/: one that never
    // answers; behind /huge/: one that announces 400000000 bytes (and sends 1000); behind
    // /trickle/: one that announces 100000 bytes and sends 4 a second.
    int m_backendFd = -1;
    std::vector<int> m_held;               // connections kept open without a byte (backend thread only)
    std::vector<std::thread> m_tricklers;  // one per /trickle/ connection (backend thread only)
    unsigned short m_backendPort = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_backend;
};

// Writes a certificate as PEM text.
std::string PemOf(const testsupport::CertKey& ck);

// An "UpdatePack.dat" holding `files` (name, bytes) in this order, its header `headerLen` bytes.
std::string UpdatePack(const std::vector<std::pair<std::string, std::string>>& files,
                       std::uint32_t headerLen = 600);

}  // namespace updatetest
