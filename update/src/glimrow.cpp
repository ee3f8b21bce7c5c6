#include "glimrow/glimrow.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <thread>
#include <vector>

#include "dailylog/shared_daily_log.h"
#include "inet_util.h"
#include "pack_reader.h"
#include "platform/debug_output.h"
#include "platform/machine_root.h"
#include "platform/private_profile.h"
#include "platform/process.h"
#include "platform/unique_fd.h"
#include "update_list.h"

namespace {

constexpr std::size_t kCopyBlock = 8192;
constexpr std::size_t kUrlMax = 256;
constexpr std::size_t kPathMax = 260;

void Log(const std::string& text) { SharedDailyLog::Instance().Write(LOG_ALWAYS_40, 4, "%s", text.c_str()); }

void CopyDir(char* out, std::size_t size, std::string dir) {
    if (!dir.empty() && dir.back() != '/') dir += '/';
    std::memset(out, 0, size);
    if (dir.size() < size) std::memcpy(out, dir.data(), dir.size());
}

}  // namespace

CGlimrow::CGlimrow() : m_pInet(std::make_unique<CINetUtil>(GlimrowTiming{})) {
    CopyDir(m_ProgramDir, sizeof(m_ProgramDir), platform::ProgramDir());
}

CGlimrow::CGlimrow(const char* programDir, const GlimrowTiming& timing)
    : m_pInet(std::make_unique<CINetUtil>(timing)) {
    CopyDir(m_ProgramDir, sizeof(m_ProgramDir), programDir ? programDir : "");
}

CGlimrow::~CGlimrow() {
    if (m_pInet) m_pInet->RequestStop();
    JoinDownload();
}

CGlimrow& CGlimrow::operator=(const CGlimrow& other) {
    if (this == &other) return *this;
    m_bForceUpdate = other.m_bForceUpdate;
    std::memcpy(m_ProgramDir, other.m_ProgramDir, sizeof(m_ProgramDir));
    m_pUpdList = other.m_pUpdList ? std::make_unique<CIniParser>(*other.m_pUpdList) : nullptr;
    return *this;
}

void CGlimrow::JoinDownload() {
    if (m_download.joinable()) m_download.join();
}

std::string CGlimrow::InProgramDir(const char* fileName) const {
    return std::string(m_ProgramDir) + fileName;
}

unsigned long CGlimrow::ConnectServer(char* host, unsigned short port) {
    if (!m_pInet || !host || !*host) return ERROR_UPD_BAD_ARGUMENT;
    unsigned long rc = m_pInet->Connect(host, port);
    if (rc == 0) platform::DebugOutput("GetUpdateList, Connect ok.\n");
    return rc;
}

unsigned long CGlimrow::CloseConnect() {
    if (!m_pInet) return ERROR_UPD_BAD_ARGUMENT;
    m_pInet->RequestStop();
    JoinDownload();
    m_pInet->Close();
    return 0;
}

unsigned long CGlimrow::GetUpdateList(char* urlPath, char* fileName) {
    if (!m_pInet || !urlPath || !fileName || !IsPlainFileName(fileName)) return ERROR_UPD_BAD_ARGUMENT;
    JoinDownload();
    m_pInet->ResetStatus();
    // The old list stays until a whole new one is there.
    return m_pInet->DownloadFile(urlPath, InProgramDir(fileName), kUpdateListMaxBytes, true);
}

unsigned long CGlimrow::ParseUpdate(char* fileName) {
    if (!fileName || !IsPlainFileName(fileName)) return ERROR_UPD_BAD_ARGUMENT;
    auto list = std::make_unique<CIniParser>(m_ProgramDir, SystemDirectory());
    unsigned long rc = list->ReadFile(InProgramDir(fileName));
    if (rc != 0) {
        m_pUpdList.reset();
        return rc;
    }
    m_pUpdList = std::move(list);
    return 0;
}

unsigned long CGlimrow::GetUpdateInfo(char* buffer, unsigned long* size) {
    if (!m_pUpdList || !size) return ERROR_UPD_BAD_ARGUMENT;
    const std::string& text = m_pUpdList->Description();
    if (!buffer || *size <= text.size()) {
        *size = text.size();
        return ERROR_UPD_BUFFER_TOO_SMALL;
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    *size = text.size();
    return 0;
}

char* CGlimrow::GetUpdateInfo() {
    return m_pUpdList ? const_cast<char*>(m_pUpdList->Description().c_str()) : nullptr;
}

char* CGlimrow::GetUpdateVersion() {
    return m_pUpdList ? const_cast<char*>(m_pUpdList->Version().c_str()) : nullptr;
}

unsigned long CGlimrow::GetUpdateComps(unsigned long* mask) {
    if (!m_pUpdList || !mask) return ERROR_UPD_BAD_ARGUMENT;
    *mask = m_pUpdList->Components();
    char line[64];
    std::snprintf(line, sizeof(line), "CGlimrow::GetUpdateComps %02lX", *mask);
    platform::DebugOutput(line);
    return 0;
}

char* CGlimrow::GetFileList(unsigned long bit) { return m_pUpdList ? m_pUpdList->List(bit) : nullptr; }

int CGlimrow::CompareVersion(const char* a, const char* b) {
    if (!a || !b) return 0;
    SharedDailyLog::Instance().Write(LOG_ALWAYS_40, 4, "[CompareVersion] %s, %s", a, b);
    std::uint32_t pa[4] = {}, pb[4] = {};
    // A version that is no version cannot be said to be older or newer.
    if (!ParseVersion(a, pa) || !ParseVersion(b, pb)) {
        Log("[CompareVersion] malformed version");
        return 0;
    }
    for (int i = 0; i < 4; ++i) {
        if (pa[i] > pb[i]) return 1;
        if (pa[i] < pb[i]) return -1;
    }
    return 0;
}

int CGlimrow::CheckUpdate(const char* clientVersion) {
    if (!m_pUpdList) return 0;
    if (CompareVersion(clientVersion, m_pUpdList->Version().c_str()) >= 0) return 0;
    if (CompareVersion(clientVersion, m_pUpdList->MinVersion().c_str()) < 0) {
        // A package cannot bring a client this old up to date: the full setup must.
        m_bForceUpdate = 1;
        platform::WritePrivateProfileString("UpdateInfo", "NeedUninstall", "yes",
                                            InProgramDir("UpdateList.txt").c_str());
    }
    return 1;
}

int CGlimrow::IsForceUpdate() { return m_pUpdList ? m_pUpdList->ForceUpdate() : 0; }
int CGlimrow::IsNeedReboot() { return m_pUpdList ? m_pUpdList->NeedReboot() : 0; }

int CGlimrow::IsNeedUninst() {
    if (!m_pUpdList) return 0;
    if (m_bForceUpdate) return 1;
    return m_pUpdList->NeedUninstall();
}

unsigned long CGlimrow::StartDownload(const std::string& url, const std::string& localPath,
                                      std::uint64_t maxBytes) {
    JoinDownload();
    SharedDailyLog::Instance().Write(LOG_ALWAYS_40, 4, "[GetSetupPack] pDownload->szURL = %s", url.c_str());
    m_pInet->ResetStatus();
    m_pInet->ClearStop();
    try {
        m_download = std::thread([inet = m_pInet.get(), url, localPath, maxBytes] {
            Log("[DownloadThread] Start, szUrl=" + url + ", filepath=" + localPath);
            inet->DownloadFile(url, localPath, maxBytes);
            Log("[DownloadThread] Finish");
        });
    } catch (...) {
        return ERROR_UPD_THREAD;
    }
    return 0;
}

// Both package downloads log their refusals under GetSetupPack's name.
unsigned long CGlimrow::CheckPackArguments(const char* localPath) const {
    if (!m_pInet || !m_pUpdList) {
        Log("[CGlimrow::GetSetupPack] !m_pInet || !m_pUpdList");
        return ERROR_UPD_BAD_ARGUMENT;
    }
    if (!localPath || !*localPath) {
        Log("[CGlimrow::GetSetupPack] !szSetupFilePath");
        return ERROR_UPD_BAD_ARGUMENT;
    }
    return 0;
}

unsigned long CGlimrow::GetUpdatePack(char* localPath) {
    if (unsigned long rc = CheckPackArguments(localPath)) return rc;
    const std::string& url = m_pUpdList->PackUrl();
    if (url.empty()) return ERROR_UPD_BAD_ARGUMENT;
    std::string path = localPath[0] == '/' ? std::string(localPath) : InProgramDir(localPath);
    // What the list's files can need: each file it names at most at the per-file bound.
    const std::uint64_t files = std::max<std::uint64_t>(1, m_pUpdList->EntryCount());
    const std::uint64_t bound =
        std::min(kUpdatePackMaxBytes, update_pack::kHeaderMax + files * kUpdatePackFileMaxBytes);
    return StartDownload(url.substr(0, kUrlMax), path, bound);
}

unsigned long CGlimrow::GetSetupPack(unsigned long type, char* clientVersion, char* localPath) {
    if (unsigned long rc = CheckPackArguments(localPath)) return rc;
    std::string url;
    if (type == 2) {
        JoinDownload();
        std::string reply;
        unsigned long rc = m_pInet->PostVersionCheck(clientVersion ? clientVersion : "", &reply);
        // "0": the server has no setup program for this version; the default one serves.
        if (rc == 0 && reply != "0" && !reply.empty() && reply[0] == '/') url = reply.substr(0, kUrlMax);
        if (url.empty()) url = "/download/sslvpn/default/Morvane-VornClient.exe";
    } else {
        url = "/download/sslvpn/default/Morvane-SSL-VPN-Plugin.exe";
    }
    std::string path = localPath[0] == '/' ? std::string(localPath) : InProgramDir(localPath);
    return StartDownload(url, path, kUpdateSetupMaxBytes);
}

unsigned long CGlimrow::GetDownloadStatus(unsigned long* total, unsigned long* done) {
    if (!m_pInet || !total || !done) return ERROR_UPD_BAD_ARGUMENT;
    std::uint64_t t = 0, d = 0;
    unsigned long result = 0;
    m_pInet->Status(&t, &d, &result);
    *total = t;
    *done = d;
    return result;
}

unsigned long CGlimrow::StopDownload() {
    if (m_pInet) m_pInet->RequestStop();
    return 0;
}

unsigned long CGlimrow::ExtractPackedFiles(char* packFile, char* directory) {
    if (!packFile || !directory) return ERROR_UPD_BAD_ARGUMENT;
    platform::DebugOutput("UnpackUpdFile");
    // Every refusal is logged with the entry it stopped at: the dialog only says that the
    // package could not be unpacked.
    auto refuse = [](unsigned long rc, const std::string& entry, const char* why) {
        SharedDailyLog::Instance().Write(LOG_ALWAYS_40, 4, "[ExtractPackedFiles] refused at %s: %s (0x%lx)",
                                         entry.c_str(), why, rc);
        return rc;
    };
    platform::UniqueFd in(::open(packFile, O_RDONLY | O_CLOEXEC));
    if (!in) return refuse(ERROR_UPD_CREATE_FILE, "the package", "cannot be opened");
    unsigned char lenBytes[4];
    if (::read(in.Get(), lenBytes, 4) != 4) return refuse(ERROR_UPD_READ_FILE, "the header", "cut short");
    std::uint32_t h = static_cast<std::uint32_t>(lenBytes[0]) | static_cast<std::uint32_t>(lenBytes[1]) << 8 |
                      static_cast<std::uint32_t>(lenBytes[2]) << 16 |
                      static_cast<std::uint32_t>(lenBytes[3]) << 24;
    if (h < 4 || h > update_pack::kHeaderMax)
        return refuse(ERROR_UPD_READ_FILE, "the header", "its length is out of range");
    std::vector<unsigned char> header(h, 0);
    std::memcpy(header.data(), lenBytes, 4);
    for (std::size_t got = 4; got < h;) {
        ssize_t n = ::read(in.Get(), header.data() + got, h - got);
        if (n <= 0) return refuse(ERROR_UPD_READ_FILE, "the header", "cut short");
        got += static_cast<std::size_t>(n);
    }
    std::vector<update_pack::Entry> entries;
    std::string refused;
    if (unsigned long rc = update_pack::ParseHeader(header.data(), header.size(), &entries, &refused))
        return refuse(rc, refused.empty() ? "the header" : "entry \"" + refused + "\"",
                      refused.empty() ? "damaged" : "the name leaves the unpack folder");
    ::mkdir(directory, 0700);
    std::vector<char> block(kCopyBlock);
    for (const auto& e : entries) {
        const std::string entry = "entry \"" + e.name + "\"";
        std::string path = std::string(directory) + "/" + e.name;
        if (path.size() > kPathMax + std::strlen(directory))
            return refuse(ERROR_UPD_CREATE_FILE, entry, "the name is too long");
        SharedDailyLog::Instance().Write(LOG_ALWAYS_40, 4, "extract file: %s\n", path.c_str());
        platform::UniqueFd out(
            ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (!out) return refuse(ERROR_UPD_CREATE_FILE, entry, std::strerror(errno));
        for (std::uint64_t left = e.size; left > 0;) {
            std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, kCopyBlock));
            ssize_t n = ::read(in.Get(), block.data(), want);
            if (n != static_cast<ssize_t>(want))
                return refuse(ERROR_UPD_READ_FILE, entry, "the body is cut short");
            if (::write(out.Get(), block.data(), want) != static_cast<ssize_t>(want))
                return refuse(ERROR_UPD_WRITE_FILE, entry, std::strerror(errno));
            left -= want;
        }
        if (::fsync(out.Get()) != 0) return refuse(ERROR_UPD_WRITE_FILE, entry, std::strerror(errno));
    }
    return 0;
}

unsigned long CGlimrow::SetServerAddr(char* fileName, char* host, unsigned short port) {
    if (!fileName || !host || !IsPlainFileName(fileName)) return ERROR_UPD_BAD_ARGUMENT;
    std::string path = InProgramDir(fileName);
    char portText[16];
    std::snprintf(portText, sizeof(portText), "%d", port);
    if (!platform::WritePrivateProfileString("UpdateInfo", "UpdateAddr", host, path.c_str()) ||
        !platform::WritePrivateProfileString("UpdateInfo", "UpdatePort", portText, path.c_str()))
        return ERROR_UPD_INI;
    return 0;
}

unsigned long CGlimrow::GetServerAddr(char* fileName, char* host, unsigned short* port) {
    if (!fileName || !host || !port || !IsPlainFileName(fileName)) return ERROR_UPD_BAD_ARGUMENT;
    std::string path = InProgramDir(fileName);
    char portText[16] = {};
    if (platform::GetPrivateProfileString("UpdateInfo", "UpdateAddr", "", host, 257, path.c_str()) == 0 ||
        platform::GetPrivateProfileString("UpdateInfo", "UpdatePort", "", portText, sizeof(portText),
                                          path.c_str()) == 0)
        return ERROR_UPD_INI;
    *port = static_cast<unsigned short>(std::atoi(portText));
    return 0;
}

unsigned long CGlimrow::MakeUpdWorkList(char*) { return 0; }
