// TwService: base class of the suite's service program. A derived class is created with `new`
// and handed the program's arguments through ServiceMain, which registers ("-i") or removes
// ("-u") the service, runs it in the console ("-t"), prints the usage ("-h" or anything else), or,
// without arguments, runs it under the service layer (platform/service_control.h).
//
// One object per process (m_This). The control handler runs on the dispatcher's thread, so
// ProcessStop runs concurrently with the threads InitializeService started and must stop and
// wait for them before it returns. Static helpers start, stop, query and send control codes to
// any installed service by name. Nothing throws; results are booleans or 1/0.
#pragma once
#include <atomic>

#include "platform/service_control.h"
#include "platform/types.h"

class TwService {
public:
    TwService();
    explicit TwService(const char* name);
    virtual ~TwService();

    virtual void EnableLogEvent(bool enable);
    virtual void InitMembers();
    virtual void InitializeService();
    virtual void ProcessPause();
    virtual void ProcessContinue();
    virtual void ProcessStart();
    virtual void ProcessStop();
    virtual void ReportStatus();
    virtual void HandleOtherCode(DWORD code);

    // The program's whole service entry; deletes this object before returning. 0, except for a
    // "-u" that leaves the service registered (1): it stops the service, waits for its process to
    // end and only then removes the record.
    int ServiceMain(const char* name, int argc, char** argv);
    // Runs the service under the service layer; blocks until it stopped.
    bool Initialize(const char* name);
    bool Register(const char* binaryPath);
    bool UnRegister();
    void SetName(const char* name);  // at most 127 characters are kept
    bool IsInitialized() const { return m_bInitialized; }
    const char* Name() const { return m_Name; }

    static int StartService(const char* name);
    static int StopService(const char* name);
    static bool IsServiceRunning(const char* name);
    static bool HaveStopServicePriv(const char* name);
    static bool SendControlCode(const char* name, DWORD code);
    static void Terminate();
    // Appends text and CR LF to "log.txt" in the machine root.
    static void LogEvent(const char* text);
    // The console is the process's terminal on this system: nothing to allocate or free.
    static void OpenConcole();
    static void CloseConsole();

    // Longest wait of StartService for a service to leave START_PENDING.
    static constexpr DWORD kStartWaitMs = 30000;

protected:
    static void MyServiceMain(DWORD argc, char** argv);
    static void MyControlHandler(DWORD code);
    static bool Report();

    bool m_bInitialized = false;
    char m_Name[128] = {};
    bool m_bLogEvent = false;

    static TwService* m_This;
    static platform::SERVICE_STATUS m_ServiceStatus;
    static platform::SERVICE_STATUS_HANDLE m_ServiceStatusHandle;
    static std::atomic<bool> m_bQuit;

private:
    void RunConsole();
};
