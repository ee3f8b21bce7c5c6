#include "vorn/sleep_watcher.h"

#include <unistd.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusUnixFileDescriptor>
#include <QTimer>

#include "dailylog/shared_daily_log.h"
#include "vorn/main_dialog.h"

namespace vorn {

namespace {

constexpr const char* kService = "org.freedesktop.login1";
constexpr const char* kPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
constexpr int kReleasePollMs = 100;

}  // namespace

SleepWatcher::SleepWatcher(TwLogonVpn& dialog, const UiTiming& timing)
    : QObject(nullptr), m_dialog(dialog), m_timing(timing) {
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected() || !bus.interface() || !bus.interface()->isServiceRegistered(kService).value()) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[SleepWatcher] logind does not run, no sleep events");
        return;
    }
    m_active = bus.connect(kService, kPath, kManager, "PrepareForSleep", this, SLOT(OnPrepareForSleep(bool)));
    if (!m_active) TW_LOG(LOG_CLIENT_LOGIN, 2, "[SleepWatcher] PrepareForSleep cannot be watched");
    m_releasePoll = new QTimer(this);
    connect(m_releasePoll, &QTimer::timeout, this, [this] {
        ++m_releasePolls;
        if (m_dialog.Status() == UPDATE_STATUS_OFFLINE ||
            m_releasePolls * kReleasePollMs >= static_cast<int>(m_timing.sleepLogoffLimitMs)) {
            m_releasePoll->stop();
            ReleaseInhibitor();
        }
    });
    TakeInhibitor();
}

SleepWatcher::~SleepWatcher() { ReleaseInhibitor(); }

void SleepWatcher::TakeInhibitor() {
    if (m_inhibitFd >= 0) return;
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kManager, "Inhibit");
    call << QString("sleep") << QString("VornClient") << QString("The VPN session logs off first")
         << QString("delay");
    QDBusReply<QDBusUnixFileDescriptor> reply = QDBusConnection::systemBus().call(call);
    if (!reply.isValid()) {
        TW_LOG(LOG_CLIENT_LOGIN, 2, "[SleepWatcher] no delay inhibitor");
        return;
    }
    m_inhibitFd = ::dup(reply.value().fileDescriptor());
}

void SleepWatcher::ReleaseInhibitor() {
    if (m_inhibitFd >= 0) ::close(m_inhibitFd);
    m_inhibitFd = -1;
}

void SleepWatcher::PrepareForSleep(bool sleeping) {
    if (sleeping) {
        m_dialog.OnPowerBroadcast(PBT_APMSUSPEND);
        m_releasePolls = 0;
        m_releasePoll->start(kReleasePollMs);
    } else {
        TakeInhibitor();
        m_dialog.OnPowerBroadcast(PBT_APMRESUMESUSPEND);
    }
}

}  // namespace vorn
