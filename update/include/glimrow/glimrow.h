// CGlimrow: the update library's one class. It fetches the update list over HTTPS from the
// gateway's web server, compares versions, downloads an update package or a full setup program
// on a thread of its own while the caller polls, and unpacks the package.
//
// Calling order: constructor, ConnectServer, GetUpdateList, ParseUpdate, CheckUpdate, then the
// rest. Every call that can fail returns an UpdateErrorCode (0 = success); nothing throws.
//
// Threads: GetUpdatePack / GetSetupPack start one joinable download thread that uses the
// object's HTTPS client. While it runs, the caller may only poll GetDownloadStatus and call
// StopDownload; a second download, CloseConnect or the destructor first join the running one
// (the destructor and CloseConnect stop it). Status words are atomics.
//
// Files: names given to GetUpdateList, ParseUpdate, SetServerAddr and GetServerAddr are taken
// relative to the program directory (the folder of the running program, or the one given to the
// constructor). Targets "%sys%..." of the file lists go to SystemDirectory().
//
// Certificates: the server's certificate must verify against the trusted-CA folder
// (<InstallDir>/trusted), or be one of the certificates in it (those the tunnel accepted). The
// root-only setting "SOFTWARE\\Morvane" UpdateAllowUnverifiedServer = 1 turns the check off, but
// only for processes that are not root: a root process never downloads unverified.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#define GLIMROW_API __attribute__((visibility("default")))

// UpdateErrorCode values.
constexpr unsigned long ERROR_UPD_SUCCESS = 0;
constexpr unsigned long ERROR_UPD_OPEN_SESSION = 0x10001;
constexpr unsigned long ERROR_UPD_NOT_CONNECTED = 0x10002;
constexpr unsigned long ERROR_UPD_OPEN_REQUEST = 0x10003;
constexpr unsigned long ERROR_UPD_QUERY_FLAGS = 0x10004;
constexpr unsigned long ERROR_UPD_SEND_REQUEST = 0x10005;
constexpr unsigned long ERROR_UPD_HTTP = 0x10006;
constexpr unsigned long ERROR_UPD_OPEN_LOCAL_FILE = 0x10007;
constexpr unsigned long ERROR_UPD_INI = 0x10008;
constexpr unsigned long ERROR_UPD_BAD_ARGUMENT = 0x10009;
constexpr unsigned long ERROR_UPD_MALLOC_FAILED = 0x1000a;
constexpr unsigned long ERROR_UPD_CREATE_FILE = 0x1000b;
constexpr unsigned long ERROR_UPD_WRITE_FILE = 0x1000c;
constexpr unsigned long ERROR_UPD_READ_FILE = 0x1000d;
constexpr unsigned long ERROR_UPD_BUFFER_TOO_SMALL = 0x1000e;
constexpr unsigned long ERROR_UPD_NO_SECTION = 0x1000f;
constexpr unsigned long ERROR_UPD_SERVICE_STOP = 0x10010;
constexpr unsigned long ERROR_UPD_SERVICE_START = 0x10011;
constexpr unsigned long ERROR_UPD_THREAD = 0x10012;
constexpr unsigned long ERROR_UPD_STOPPED = 0x10013;
// The server's certificate was refused (not trusted, or not for the host); the log names the host.
constexpr unsigned long ERROR_UPD_CERTIFICATE = 0x10014;

// Component bits of the file lists.
constexpr unsigned long UPDATE_COMP_APP = 1;
constexpr unsigned long UPDATE_COMP_LSP = 2;
constexpr unsigned long UPDATE_COMP_DRV = 4;
constexpr unsigned long UPDATE_COMP_SRV = 8;

// Size bounds of the downloads. The list is a small INI text. A package holds the files the list
// names (the four lists take a few hundred entries at most), each at most kUpdatePackFileMaxBytes,
// behind its header; kUpdatePackMaxBytes bounds it whatever the list says. The full setup program
// is one installer.
constexpr std::uint64_t kUpdateListMaxBytes = 256 * 1024;
constexpr std::uint64_t kUpdatePackFileMaxBytes = 64ull << 20;
constexpr std::uint64_t kUpdatePackMaxBytes = 1ull << 30;
constexpr std::uint64_t kUpdateSetupMaxBytes = 256ull << 20;

// Time-outs of the HTTPS client; the defaults are the real values.
struct GlimrowTiming {
    long connectTimeoutMs = 3000;
    // A request fails when no byte arrives for this long.
    long receiveTimeoutMs = 3000;
};

class CINetUtil;
class CIniParser;

class GLIMROW_API CGlimrow {
public:
    CGlimrow();
    // For callers whose files live elsewhere than beside the running program.
    explicit CGlimrow(const char* programDir, const GlimrowTiming& timing = {});
    ~CGlimrow();
    CGlimrow(const CGlimrow&) = delete;
    // Copies the list, the force flag, the program directory and the server; not a download.
    CGlimrow& operator=(const CGlimrow& other);

    unsigned long ConnectServer(char* host, unsigned short port);
    unsigned long CloseConnect();
    unsigned long GetUpdateList(char* urlPath, char* fileName);
    unsigned long ParseUpdate(char* fileName);
    // Two-call convention: *size too small -> *size = needed length (without NUL), 0x1000e.
    unsigned long GetUpdateInfo(char* buffer, unsigned long* size);
    char* GetUpdateInfo();
    char* GetUpdateVersion();
    unsigned long GetUpdateComps(unsigned long* mask);
    // "name=target\0...\0\0" for bit 1, 2, 4 or 8; null without list or for another value.
    char* GetFileList(unsigned long bit);
    // 1 when the client is older than "Version" (and marks a full setup when it is older than
    // "MinVersion"), else 0.
    int CheckUpdate(const char* clientVersion);
    int IsForceUpdate();
    int IsNeedReboot();
    int IsNeedUninst();
    unsigned long GetUpdatePack(char* localPath);
    unsigned long GetSetupPack(unsigned long type, char* clientVersion, char* localPath);
    // The download has ended when *done >= *total or the result is non-zero. *done reaches
    // *total only after the file was closed.
    unsigned long GetDownloadStatus(unsigned long* total, unsigned long* done);
    // Ends the running request (the download thread's, or a GetUpdateList on another thread)
    // within a fraction of a second with 0x10013; any thread. ConnectServer and the start of a
    // download clear it, so a stop left from before (CloseConnect sets one) ends nothing new.
    unsigned long StopDownload();
    // A refused package (a damaged header, a name that leaves the folder, a body cut short) is
    // logged with the entry it stopped at.
    unsigned long ExtractPackedFiles(char* packFile, char* directory);
    unsigned long SetServerAddr(char* fileName, char* host, unsigned short port);
    unsigned long GetServerAddr(char* fileName, char* host, unsigned short* port);
    unsigned long MakeUpdWorkList(char*);

    // The program directory with its trailing "/".
    const char* ProgramDir() const { return m_ProgramDir; }
    // Waits for a running download thread to end (bounded by the transfer's own time-outs).
    void JoinDownload();

private:
    int CompareVersion(const char* a, const char* b);
    // The checks both package downloads make first: 0, or the error to answer (logged).
    unsigned long CheckPackArguments(const char* localPath) const;
    unsigned long StartDownload(const std::string& url, const std::string& localPath, std::uint64_t maxBytes);
    std::string InProgramDir(const char* fileName) const;

    std::unique_ptr<CINetUtil> m_pInet;
    std::unique_ptr<CIniParser> m_pUpdList;
    std::thread m_download;
    int m_bForceUpdate = 0;
    char m_ProgramDir[4096] = {};
};

// The folder that "%sys%" targets go to: <machine root>/system.
GLIMROW_API std::string SystemDirectory();
// A version "a.b.c.d": one to four dot-separated decimal parts (missing parts 0), each at most
// 4294967295. false, with parts all 0, for anything else (signs, blanks, empty parts, a fifth part,
// a part beyond the range).
GLIMROW_API bool ParseVersion(const char* text, std::uint32_t parts[4]);
// True for a file name that stays inside its folder: not empty, not "." or "..", no "/" or "\\"
// and no ".." anywhere.
GLIMROW_API bool IsPlainFileName(const std::string& name);
