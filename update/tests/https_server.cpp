#include "https_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/pem.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/process.h"
#include "testsupport/command.h"
#include "testsupport/net.h"
#include "testsupport/wait.h"

namespace updatetest {

namespace {

// The kernel's choice of a free port; nginx takes it a moment later (retried when lost).
unsigned short FreePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    unsigned short port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

void WriteFile(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

bool Accepts(unsigned short port) {
    int fd = testsupport::ConnectLoopback(port);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

}  // namespace

std::string PemOf(const testsupport::CertKey& ck) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, ck.cert);
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    std::string pem(data, static_cast<std::size_t>(n));
    BIO_free(bio);
    return pem;
}

HttpsServer::HttpsServer(const ServerOptions& options) : m_dir("qel-nginx") {
    testsupport::CertKey ca = testsupport::MakeCert("Update Test CA", nullptr, true);
    testsupport::CertKey leaf = testsupport::MakeCert("localhost", &ca, false);
    m_caPem = PemOf(ca);
    m_serverPem = PemOf(leaf);
    testsupport::WritePem(m_dir.File("server.pem"), leaf, false);
    testsupport::WriteKeyPem(m_dir.File("server.key"), leaf);
    std::filesystem::create_directories(m_dir.File("www"));
    std::filesystem::create_directories(m_dir.File("tmp"));

    // The misbehaving upstream of /short/.
    {
        testsupport::LoopbackListener listener(8);
        m_backendPort = listener.port;
        m_backendFd = listener.fd.Release();
    }
    m_backend = std::thread([this] { RunBackend(); });

    const std::string nginx =
        platform::FindProgram("nginx").empty() ? "/usr/sbin/nginx" : platform::FindProgram("nginx");
    for (int attempt = 0; attempt < 5 && m_pid <= 0; ++attempt) {
        m_port = FreePort();
        std::ostringstream conf;
        const std::string d = m_dir.Path();
        if (::geteuid() == 0) conf << "user root root;\n";
        conf << "worker_processes 1;\ndaemon off;\nmaster_process on;\npid " << d << "/nginx.pid;\n"
             << "error_log " << d << "/error.log info;\nevents { worker_connections 64; }\nhttp {\n"
             << "  access_log off;\n  default_type application/octet-stream;\n"
             << "  client_body_temp_path " << d << "/tmp/body;\n  proxy_temp_path " << d << "/tmp/proxy;\n"
             << "  fastcgi_temp_path " << d << "/tmp/fcgi;\n  uwsgi_temp_path " << d << "/tmp/uwsgi;\n"
             << "  scgi_temp_path " << d << "/tmp/scgi;\n"
             << "  server {\n    listen 127.0.0.1:" << m_port << " ssl;\n"
             << "    ssl_certificate " << d << "/server.pem;\n    ssl_certificate_key " << d
             << "/server.key;\n"
             << "    root " << d << "/www;\n"
             << "    location /slow/ { limit_rate " << options.slowRate
             << "; }\n"
             // Server-side includes drop the length: the body goes out chunked.
             << "    location /nolength/ { ssi on; ssi_types *; }\n"
             << "    location ~ ^/(short|stall|stallhead|huge|trickle)/ { proxy_pass http://127.0.0.1:"
             << m_backendPort << "; proxy_buffering off; proxy_http_version 1.1; proxy_read_timeout 300s; }\n"
             << "    location = /sslvpnindex/commonplugin/checkclientversion.php { return 200 \""
             << options.versionReply << "\"; }\n  }\n}\n";
        WriteFile(m_dir.File("nginx.conf"), conf.str());
        platform::SpawnOptions so;
        so.quietOutput = true;
        pid_t pid = platform::Spawn({nginx, "-p", d, "-e", d + "/error.log", "-c", d + "/nginx.conf"}, so);
        if (pid <= 0) break;
        bool up = false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            if (Accepts(m_port)) {
                up = true;
                break;
            }
            int code = 0;
            if (platform::WaitProcess(pid, 5, &code) == platform::kWaitObject0) {
                pid = -1;  // lost the port (or a bad configuration): next attempt
                break;
            }
        }
        if (up) {
            m_pid = pid;
        } else if (pid > 0) {
            testsupport::StopProcess(pid, SIGTERM, 3000);
        }
    }
}

HttpsServer::~HttpsServer() {
    if (m_pid > 0) testsupport::StopProcess(m_pid, SIGTERM, 10000);
    m_stop.store(true);
    ::shutdown(m_backendFd, SHUT_RDWR);
    if (m_backend.joinable()) m_backend.join();
    for (auto& t : m_tricklers) t.join();
    ::close(m_backendFd);
    for (int fd : m_held) ::close(fd);
}

void HttpsServer::Put(const std::string& urlPath, const std::string& content) const {
    WriteFile(m_dir.Path() + "/www" + urlPath, content);
}

std::string HttpsServer::ErrorLog() const {
    std::ifstream in(m_dir.File("error.log"));
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void HttpsServer::RunBackend() {
    while (!m_stop.load()) {
        int c = ::accept4(m_backendFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) {
            if (errno == EINTR) continue;
            return;
        }
        char request[4096];
        std::string head;
        while (head.find("\r\n\r\n") == std::string::npos) {
            ssize_t n = ::recv(c, request, sizeof(request), 0);
            if (n <= 0) break;
            head.append(request, static_cast<std::size_t>(n));
        }
        if (head.rfind("GET /trickle/", 0) == 0) {
            m_tricklers.emplace_back([this, c] {
                std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\nConnection: close\r\n\r\n";
                bool ok = testsupport::SendAll(c, answer.data(), answer.size());
                // A byte every 250 ms until the client goes (the send fails) or the server stops.
                while (ok && !m_stop.load()) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(250));
                    ok = ::send(c, "t", 1, MSG_NOSIGNAL) == 1;
                }
                ::close(c);
            });
            continue;
        }
        const bool stall = head.rfind("GET /stall/", 0) == 0;
        if (head.rfind("GET /stallhead/", 0) == 0) {
            m_held.push_back(c);
            continue;
        }
        const char* length = head.rfind("GET /huge/", 0) == 0 ? "400000000" : "100000";
        std::string answer =
            std::string("HTTP/1.1 200 OK\r\nContent-Length: ") + length + "\r\nConnection: close\r\n\r\n";
        answer += std::string(stall ? 10 : 1000, 'x');
        testsupport::SendAll(c, answer.data(), answer.size());
        if (stall) {
            m_held.push_back(c);
            continue;
        }
        ::close(c);
    }
}

std::string UpdatePack(const std::vector<std::pair<std::string, std::string>>& files,
                       std::uint32_t headerLen) {
    std::string header(headerLen, '\0');
    auto put = [&](std::size_t at, std::uint32_t v) {
        for (std::size_t i = 0; i < 4; ++i) header[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    };
    put(0, headerLen);
    std::size_t names = 516;
    std::string bodies;
    for (std::size_t i = 0; i < files.size(); ++i) {
        put(12 + 4 * i, static_cast<std::uint32_t>(files[i].second.size()));
        header.replace(names, files[i].first.size(), files[i].first);
        names += files[i].first.size() + 1;
        bodies += files[i].second;
    }
    return header + bodies;
}

}  // namespace updatetest
