// CINetUtil: the HTTPS client of one CGlimrow, over libcurl. One request at a time: the download
// thread or the caller, never both. The status words are atomics the caller may poll from any
// thread while a download runs.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "glimrow/glimrow.h"

class CINetUtil {
public:
    explicit CINetUtil(const GlimrowTiming& timing);
    ~CINetUtil();
    CINetUtil(const CINetUtil&) = delete;
    CINetUtil& operator=(const CINetUtil&) = delete;

    // Records the server and reads the proxy and certificate settings; no traffic yet.
    unsigned long Connect(const std::string& host, unsigned short port);
    void Close();
    bool Connected() const { return !m_host.empty(); }

    // GET urlPath into localPath. Publishes total, done and the result; the result is stored
    // only after the file was closed. An answer longer than maxBytes is refused before anything
    // is written. `replaceWhole`: the body goes to a temporary file beside localPath that replaces
    // it only once complete, so a failed download leaves the previous file as it was.
    unsigned long DownloadFile(const std::string& urlPath, const std::string& localPath,
                               std::uint64_t maxBytes, bool replaceWhole = false);
    // The version-check POST: *reply is the server's answer (at most 1024 bytes).
    unsigned long PostVersionCheck(const std::string& clientVersion, std::string* reply);

    // Before a new request: the status words start clear.
    void ResetStatus();
    // A stop given to an earlier request or to CloseConnect must not end the next one: cleared by
    // Connect and before a download thread starts (a stop given while that thread runs ends it).
    void ClearStop() { m_stop.store(false); }
    void Status(std::uint64_t* total, std::uint64_t* done, unsigned long* result) const;
    void RequestStop() { m_stop.store(true); }
    bool StopRequested() const { return m_stop.load(); }
    // For the transfer callbacks.
    void SetTotal(std::uint64_t total) { m_total.store(total); }
    void AddWritten(std::uint64_t n) { m_written.fetch_add(n); }

    // State of one transfer, shared with libcurl's callbacks.
    struct Transfer;

private:
    void* NewRequest(const std::string& urlPath, Transfer* transfer);
    // Runs one request to its end, a stop, or the receive time-out.
    int Perform(void* curl, Transfer* transfer);
    unsigned long Classify(int curlCode, const Transfer& transfer) const;

    GlimrowTiming m_timing;
    std::string m_host;
    unsigned short m_port = 0;
    std::string m_proxy, m_proxyUser, m_proxyPass;
    bool m_verify = true;
    std::vector<std::string> m_trustedPem;  // the trusted folder's certificates, read at Connect

    std::atomic<std::uint64_t> m_total{1};
    std::atomic<std::uint64_t> m_written{0};
    std::atomic<unsigned long> m_result{0};
    std::atomic<bool> m_finished{false};
    std::atomic<bool> m_stop{false};
};
