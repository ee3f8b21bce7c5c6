#include "platform/client_settings.h"
#include "inet_util.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "dailylog/shared_daily_log.h"
#include "platform/clock.h"
#include "platform/debug_output.h"
#include "platform/settings_store.h"
#include "trusted_certs.h"

namespace {

constexpr std::size_t kReplyMax = 1024;
// How often a running request looks at the stop flag and the receive time-out.
constexpr int kWatchMs = 50;
using platform::client_settings::kClientKey;

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string Setting(const char* name) {
    std::string value;
    auto store = platform::SettingsStore::Machine();
    if (store) store->GetString(kClientKey, name, &value);
    return value;
}

}  // namespace

struct CINetUtil::Transfer {
    CINetUtil* owner = nullptr;
    CURL* curl = nullptr;
    update_trust::VerifyState verify;
    // Download into a file (directly, or through a temporary file beside it).
    std::string localPath;
    std::string tempPath;  // set while a temporary file exists
    bool replaceWhole = false;
    std::uint64_t maxBytes = 0;
    std::uint64_t received = 0;
    int fd = -1;
    bool toFile = false;
    // Or into memory (bounded).
    std::string body;
    bool replyFull = false;
    unsigned long error = 0;  // our own verdict, taken before libcurl's
    bool headersDone = false;
    // Monotonic milliseconds of the last byte from the server (or of the connection's start).
    std::uint64_t lastActivityMs = 0;
};

namespace {

CURLcode SslContext(CURL*, void* sslCtx, void* arg) {
    auto* t = static_cast<CINetUtil::Transfer*>(arg);
    update_trust::InstallVerifier(static_cast<SSL_CTX*>(sslCtx), &t->verify);
    return CURLE_OK;
}

}  // namespace

CINetUtil::CINetUtil(const GlimrowTiming& timing) : m_timing(timing) { GlobalInit(); }

CINetUtil::~CINetUtil() = default;

unsigned long CINetUtil::Connect(const std::string& host, unsigned short port) {
    if (host.empty() || host.find_first_of(" /?#@\r\n\t") != std::string::npos) return ERROR_UPD_BAD_ARGUMENT;
    // A new connection starts without the stop of the one before (CloseConnect sets it).
    m_stop.store(false);
    m_host = host;
    m_port = port;
    m_proxy.clear();
    m_proxyUser.clear();
    m_proxyPass.clear();
    if (strcasecmp(Setting(platform::client_settings::kUseProxy).c_str(), "Yes") == 0) {
        std::string addr = Setting(platform::client_settings::kProxyAddr),
                    port_ = Setting(platform::client_settings::kProxyPort);
        if (!addr.empty() && addr != "0.0.0.0") {
            m_proxy = "http://" + addr + ":" + (port_.empty() ? "0" : port_);
            if (strcasecmp(Setting(platform::client_settings::kUseProxyAuth).c_str(), "Yes") == 0) {
                m_proxyUser = Setting(platform::client_settings::kProxyUser);
                m_proxyPass = Setting(platform::client_settings::kProxyPass);
            }
        }
    }
    m_verify = !update_trust::AllowUnverified();
    m_trustedPem =
        m_verify ? update_trust::ReadFolder(update_trust::TrustedFolder()) : std::vector<std::string>{};
    return 0;
}

void CINetUtil::Close() {
    m_host.clear();
    m_trustedPem.clear();
}

void CINetUtil::ResetStatus() {
    m_total.store(1);
    m_written.store(0);
    m_result.store(0);
    m_finished.store(false);
}

void CINetUtil::Status(std::uint64_t* total, std::uint64_t* done, unsigned long* result) const {
    // The result and the final count are published after the file was closed; until then the
    // count stays below the total so that no caller takes the download for complete.
    bool finished = m_finished.load(std::memory_order_acquire);
    std::uint64_t t = m_total.load();
    std::uint64_t d = m_written.load();
    if (!finished && d >= t) d = t - 1;
    *total = t;
    *done = d;
    *result = finished ? m_result.load() : 0;
}

namespace {

std::uint64_t NowMs() { return platform::SystemClock().TickMs(); }

// The file the body goes to: the target itself, or a new temporary file beside it (never an
// existing file or a link of someone else's).
bool OpenOutput(CINetUtil::Transfer* t) {
    if (!t->replaceWhole) {
        t->fd = ::open(t->localPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
        return t->fd >= 0;
    }
    std::string name = t->localPath + ".XXXXXX";
    t->fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (t->fd < 0) return false;
    t->tempPath = name;
    return true;
}

std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* arg) {
    auto* t = static_cast<CINetUtil::Transfer*>(arg);
    std::size_t n = size * count;
    t->lastActivityMs = NowMs();
    if (n > 2 || (n >= 1 && data[0] != '\r' && data[0] != '\n')) return n;
    // The blank line: the status and the length are known.
    long status = 0;
    curl_easy_getinfo(t->curl, CURLINFO_RESPONSE_CODE, &status);
    t->headersDone = true;
    if (status != 200) {
        SharedDailyLog::Instance().Write(LOG_ALWAYS_40, 4, "DownloadFile, status %ld.", status);
        t->error = ERROR_UPD_HTTP;
        return 0;
    }
    if (!t->toFile) return n;
    curl_off_t length = -1;
    curl_easy_getinfo(t->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    if (length < 0) {
        t->error = ERROR_UPD_HTTP;
        return 0;
    }
    if (static_cast<std::uint64_t>(length) > t->maxBytes) {
        // Refused before a byte of it is stored.
        SharedDailyLog::Instance().Write(LOG_ALWAYS_40, 4, "DownloadFile, file size %lld beyond %llu.",
                                         static_cast<long long>(length),
                                         static_cast<unsigned long long>(t->maxBytes));
        t->error = ERROR_UPD_HTTP;
        return 0;
    }
    SharedDailyLog::Instance().Write(LOG_ALWAYS_40, 4, "DownloadFile, file size %lld.\n",
                                     static_cast<long long>(length));
    SharedDailyLog::Instance().Write(LOG_ALWAYS_40, 4, "[CINetUtil::DownloadFile] Start Download File.");
    t->owner->SetTotal(static_cast<std::uint64_t>(length));
    if (!OpenOutput(t)) {
        t->error = ERROR_UPD_OPEN_LOCAL_FILE;
        return 0;
    }
    return n;
}

std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* arg) {
    auto* t = static_cast<CINetUtil::Transfer*>(arg);
    std::size_t n = size * count;
    t->lastActivityMs = NowMs();
    if (!t->toFile) {
        std::size_t room = kReplyMax - std::min(kReplyMax, t->body.size());
        t->body.append(data, std::min(n, room));
        if (t->body.size() < kReplyMax) return n;
        // One block is the whole answer; the rest is not read.
        t->replyFull = true;
        return 0;
    }
    if (t->fd < 0) return 0;
    // The length was checked against the bound; a body running past it is no answer of ours.
    if (t->received + n > t->maxBytes) {
        t->error = ERROR_UPD_HTTP;
        return 0;
    }
    t->received += n;
    for (std::size_t off = 0; off < n;) {
        ssize_t w = ::write(t->fd, data + off, n - off);
        if (w <= 0) {
            t->error = ERROR_UPD_HTTP;
            return 0;
        }
        off += static_cast<std::size_t>(w);
    }
    t->owner->AddWritten(n);
    return n;
}

int OnProgress(void* arg, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto* t = static_cast<CINetUtil::Transfer*>(arg);
    return t->owner->StopRequested() ? 1 : 0;
}

}  // namespace

void* CINetUtil::NewRequest(const std::string& urlPath, Transfer* t) {
    CURL* curl = curl_easy_init();
    if (!curl) return nullptr;
    t->owner = this;
    t->curl = curl;
    std::string host = m_host.find(':') != std::string::npos ? "[" + m_host + "]" : m_host;
    std::string url = "https://" + host + ":" + std::to_string(m_port) + urlPath;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "vpnupdate");
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    // The connect time-out covers the TCP and TLS set-up (and a proxy's CONNECT); after it the
    // receive time-out is watched by Perform.
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, m_timing.connectTimeoutMs);
    // The client's own proxy settings, never the environment's.
    curl_easy_setopt(curl, CURLOPT_PROXY, m_proxy.c_str());
    if (!m_proxy.empty()) {
        curl_easy_setopt(curl, CURLOPT_HTTPPROXYTUNNEL, 1L);
        curl_easy_setopt(curl, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
        if (!m_proxyUser.empty()) {
            curl_easy_setopt(curl, CURLOPT_PROXYAUTH, CURLAUTH_BASIC);
            curl_easy_setopt(curl, CURLOPT_PROXYUSERNAME, m_proxyUser.c_str());
            curl_easy_setopt(curl, CURLOPT_PROXYPASSWORD, m_proxyPass.c_str());
        }
    }
    if (m_verify) {
        t->verify.trusted = m_trustedPem;
        t->verify.host = m_host;
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
        // The host is checked by our verifier, which also takes the tunnel's certificate as it is.
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
        curl_easy_setopt(curl, CURLOPT_CAINFO, nullptr);
        curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
        curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, SslContext);
        curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, t);
    } else {
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    }
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, t);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, t);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, OnProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, t);
    return curl;
}

unsigned long CINetUtil::Classify(int code, const Transfer& t) const {
    if (t.error != 0) return t.error;
    if (m_verify && t.verify.error != X509_V_OK) {
        SharedDailyLog::Instance().Write(LOG_ALWAYS_40, 4,
                                         "[CINetUtil] the certificate of %s was refused: %s", m_host.c_str(),
                                         X509_verify_cert_error_string(t.verify.error));
        return ERROR_UPD_CERTIFICATE;
    }
    switch (code) {
        case CURLE_OK: return 0;
        case CURLE_URL_MALFORMAT:
        case CURLE_UNSUPPORTED_PROTOCOL: return ERROR_UPD_OPEN_REQUEST;
        case CURLE_OUT_OF_MEMORY: return ERROR_UPD_MALLOC_FAILED;
        default: break;
    }
    // Before the answer's header everything failed on the way (name, connection, proxy, TLS,
    // certificate): the request was not sent. After it, a read failed or the body came short.
    return t.headersDone ? ERROR_UPD_HTTP : ERROR_UPD_SEND_REQUEST;
}

int CINetUtil::Perform(void* handle, Transfer* t) {
    CURL* curl = static_cast<CURL*>(handle);
    CURLM* multi = curl_multi_init();
    if (!multi) return CURLE_OUT_OF_MEMORY;
    if (curl_multi_add_handle(multi, curl) != CURLM_OK) {
        curl_multi_cleanup(multi);
        return CURLE_FAILED_INIT;
    }
    CURLcode result = CURLE_OK;
    bool connected = false;
    const std::uint64_t start = NowMs();
    for (;;) {
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            result = CURLE_RECV_ERROR;
            break;
        }
        if (running == 0) {
            int left = 0;
            while (CURLMsg* msg = curl_multi_info_read(multi, &left))
                if (msg->msg == CURLMSG_DONE) result = msg->data.result;
            break;
        }
        if (m_stop.load()) {
            result = CURLE_ABORTED_BY_CALLBACK;
            break;
        }
        const std::uint64_t now = NowMs();
        if (!connected) {
            curl_off_t handshake = 0;
            curl_easy_getinfo(curl, CURLINFO_APPCONNECT_TIME_T, &handshake);
            if (handshake > 0) {
                connected = true;
                t->lastActivityMs = now;
            } else if (m_timing.connectTimeoutMs >= 0 && m_timing.receiveTimeoutMs >= 0 &&
                       now - start >= static_cast<std::uint64_t>(m_timing.connectTimeoutMs) +
                                          static_cast<std::uint64_t>(m_timing.receiveTimeoutMs)) {
                // libcurl ends a connection that takes too long itself; this only makes sure that
                // no request outlives both time-outs whatever it reports.
                result = CURLE_OPERATION_TIMEDOUT;
                break;
            }
        } else if (m_timing.receiveTimeoutMs >= 0 &&
                   now - t->lastActivityMs >= static_cast<std::uint64_t>(m_timing.receiveTimeoutMs)) {
            platform::DebugOutput("[CINetUtil] no byte from the server within the receive time-out\n");
            result = CURLE_OPERATION_TIMEDOUT;
            break;
        }
        curl_multi_poll(multi, nullptr, 0, kWatchMs, nullptr);
    }
    curl_multi_remove_handle(multi, curl);
    curl_multi_cleanup(multi);
    return result;
}

unsigned long CINetUtil::DownloadFile(const std::string& urlPath, const std::string& localPath,
                                      std::uint64_t maxBytes, bool replaceWhole) {
    unsigned long rc = 0;
    if (!Connected()) {
        rc = ERROR_UPD_NOT_CONNECTED;
    } else if (urlPath.empty() || urlPath[0] != '/') {
        rc = ERROR_UPD_OPEN_REQUEST;
    } else {
        Transfer t;
        t.toFile = true;
        t.localPath = localPath;
        t.replaceWhole = replaceWhole;
        t.maxBytes = maxBytes;
        CURL* curl = static_cast<CURL*>(NewRequest(urlPath, &t));
        if (!curl) {
            rc = ERROR_UPD_OPEN_SESSION;
        } else {
            auto code = static_cast<CURLcode>(Perform(curl, &t));
            if (m_stop.load()) {
                rc = ERROR_UPD_STOPPED;
            } else {
                rc = Classify(code, t);
                if (rc != 0 || code != CURLE_OK) {
                    platform::DebugOutput(std::string("[CINetUtil::DownloadFile] ") + urlPath + ": " +
                                          curl_easy_strerror(code) + "\n");
                }
                // An empty body never reaches the body callback; its file is made here.
                if (rc == 0 && t.fd < 0 && !OpenOutput(&t)) rc = ERROR_UPD_OPEN_LOCAL_FILE;
                // Whatever libcurl says, the file is complete only with every announced byte.
                if (rc == 0 && m_written.load() != m_total.load()) rc = ERROR_UPD_HTTP;
            }
            if (t.fd >= 0) {
                if (::fsync(t.fd) != 0 && rc == 0) rc = ERROR_UPD_HTTP;
                if (::close(t.fd) != 0 && rc == 0) rc = ERROR_UPD_HTTP;
                t.fd = -1;
                SharedDailyLog::Instance().Write(LOG_ALWAYS_40, 4,
                                                 "[CINetUtil::DownloadFile] Stop Download File.");
            }
            if (!t.tempPath.empty()) {
                // Only a complete file takes the place of the old one.
                if (rc == 0 && ::rename(t.tempPath.c_str(), localPath.c_str()) != 0)
                    rc = ERROR_UPD_OPEN_LOCAL_FILE;
                if (rc != 0) ::unlink(t.tempPath.c_str());
            }
            curl_easy_cleanup(curl);
        }
    }
    m_stop.store(false);
    m_result.store(rc);
    m_finished.store(true, std::memory_order_release);
    return rc;
}

unsigned long CINetUtil::PostVersionCheck(const std::string& clientVersion, std::string* reply) {
    reply->clear();
    if (!Connected()) return ERROR_UPD_NOT_CONNECTED;
    Transfer t;
    CURL* curl = static_cast<CURL*>(NewRequest("/sslvpnindex/commonplugin/checkclientversion.php", &t));
    if (!curl) return ERROR_UPD_OPEN_SESSION;
    char body[256];
    std::snprintf(body, sizeof(body), "cltversion=%s", clientVersion.c_str());
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/x-www-form-urlencoded");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body);
    auto code = static_cast<CURLcode>(Perform(curl, &t));
    unsigned long rc = t.replyFull ? 0 : Classify(code, t);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    if (rc != 0) return rc;
    *reply = t.body;
    return 0;
}
