// The update pipeline that the update program's dialog runs on its worker thread: find out what
// to update, download and unpack it (or download and start the full setup), stop the services
// whose files change, replace the files as one set, start the services again and record the
// new version. Every failure after a service was stopped starts it again.
//
// Threads: Run() runs on the worker thread; RequestStop() may be called from any thread. The
// sink is called from the worker thread only.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "glimrow/glimrow.h"
#include "platform/clock.h"

namespace quistral {

// The dialog as the worker sees it. Implementations post to the dialog's thread.
class UpdateSink {
public:
    virtual ~UpdateSink() = default;
    virtual void SetStatus(const std::string& text) = 0;
    virtual void SetProgress(int percent) = 0;
    virtual void SetResult(const std::string& text) = 0;
    virtual void Message(const std::string& text, const std::string& caption) = 0;
    // Blocks the worker until the user answered.
    virtual bool AskYesNo(const std::string& text, const std::string& caption) = 0;
    // Close (and Esc, and the window's close) now stops the update: while the list and the
    // package are fetched.
    virtual void EnableStop() = 0;
    // Close does nothing until EnableClose.
    virtual void DisableClose() = 0;
    virtual void EnableClose(bool success) = 0;
    // Ends the dialog as cancelled once the worker finished.
    virtual void CloseDialog() = 0;
};

struct UpdateTiming {
    DWORD pollMs = 500;           // download status
    DWORD setupDelayMs = 500;     // before the full setup program starts
    DWORD serviceWaitMs = 30000;  // a service to start or stop
};

enum class UpdateMode { kCheckClient, kClient, kPlugin };

struct UpdateConfig {
    UpdateMode mode = UpdateMode::kClient;
    std::string programDir;  // where the list, the package and the installed programs are
    std::string argToken;    // the argument of the full setup program
    std::uint32_t startTime = 0;
    UpdateTiming timing;
    GlimrowTiming netTiming;
    const platform::Clock* clock = nullptr;  // null: the system clock
};

class UpdateWorker {
public:
    UpdateWorker(UpdateConfig config, UpdateSink& sink);
    // The whole pipeline; true when the update was applied (the dialog then ends with 1).
    bool Run();
    void RequestStop();
    bool StopRequested() const { return m_stop.load(); }
    unsigned long LastError() const { return m_lastError; }

    // The driver daemon's and the privileged service's names.
    static constexpr const char* kDriverService = "QelMini";
    static constexpr const char* kNetworkService = "Lunther";

private:
    bool ClientMode() const { return m_config.mode != UpdateMode::kPlugin; }
    int CheckMode(CGlimrow& lib);
    // Client mode: reads the list the client's check fetched (false: the run has ended, its result
    // set). A member's run reads it from the member's own place and ends there, unable to apply
    // an update to root's program folder.
    bool ReadClientList(CGlimrow& lib);
    unsigned long Download(CGlimrow& lib);
    // Run's steps: the update list read (false: the update ended); a failed download told (true:
    // the update ended); the full setup started; the new version recorded.
    bool TakeUpdateList(CGlimrow& lib);
    bool DownloadEnded(unsigned long rc);
    void StartFullSetup();
    void RecordNewVersion(CGlimrow& lib);
    // Download's steps: the package's download started; followed to its end (the connection closed).
    unsigned long StartPackDownload(CGlimrow& lib);
    unsigned long FollowDownload(CGlimrow& lib);
    unsigned long Apply(CGlimrow& lib);
    unsigned long ApplyFail(unsigned long code, const std::string& text);
    bool StopService(const std::string& name);
    bool StartService(const std::string& name);
    void StartStoppedServices();
    void StopClient();
    void Finish(bool success, bool close);
    void Pause(DWORD ms);
    // As Pause, but a stop ends it at once.
    void PauseUnlessStopped(DWORD ms);
    std::string Path(const char* name) const { return m_config.programDir + name; }
    std::string T(const std::string& english) const;

    UpdateConfig m_config;
    UpdateSink& m_sink;
    const platform::Clock& m_clock;
    std::atomic<bool> m_stop{false};
    std::mutex m_lock;
    std::condition_variable m_cv;
    CGlimrow* m_lib = nullptr;           // under m_lock, while Run runs: a stop reaches its request
    std::vector<std::string> m_stopped;  // services this run stopped, in stop order
    std::string m_server;                // "%s:%d"
    unsigned long m_lastError = 0;
};

}  // namespace quistral
