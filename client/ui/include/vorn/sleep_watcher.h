// Sleep and resume from logind: its PrepareForSleep signal on the system bus becomes the
// dialog's power events (suspend before sleep, resume after). While the client is online it holds
// a delay inhibitor, so that the logoff can finish before the machine sleeps; the inhibitor is
// let go once the client is offline or after a bounded time, and taken again after resume.
// Without a system bus or without logind nothing happens.
//
// Lives on the UI thread (the bus's signals arrive through its event loop).
#pragma once
#include <memory>

#include <QObject>

#include "vorn/ui_timing.h"

class QDBusInterface;
class QTimer;

namespace vorn {

class TwLogonVpn;

class SleepWatcher final : public QObject {
    Q_OBJECT

public:
    SleepWatcher(TwLogonVpn& dialog, const UiTiming& timing);
    ~SleepWatcher() override;
    bool Active() const { return m_active; }

private slots:
    void OnPrepareForSleep(bool sleeping) { PrepareForSleep(sleeping); }

private:
    void PrepareForSleep(bool sleeping);
    void TakeInhibitor();
    void ReleaseInhibitor();

    TwLogonVpn& m_dialog;
    UiTiming m_timing;
    bool m_active = false;
    int m_inhibitFd = -1;
    QTimer* m_releasePoll = nullptr;
    int m_releasePolls = 0;
};

}  // namespace vorn
