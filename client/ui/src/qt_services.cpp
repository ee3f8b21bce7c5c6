#include "vorn/qt_services.h"

#include <QApplication>
#include <QCursor>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QTranslator>

#include "dailylog/shared_daily_log.h"
#include "platform/process.h"
#include "platform/service_control.h"

namespace vorn {

namespace {

QMessageBox::Icon ToQt(BoxIcon icon) {
    switch (icon) {
        case BoxIcon::kInformation: return QMessageBox::Information;
        case BoxIcon::kWarning: return QMessageBox::Warning;
        case BoxIcon::kError: return QMessageBox::Critical;
        case BoxIcon::kQuestion: return QMessageBox::Question;
    }
    return QMessageBox::NoIcon;
}

void FillMenu(QMenu* menu, const std::vector<MenuItem>& items) {
    for (const MenuItem& item : items) {
        if (item.kind == MenuItem::kSeparator) {
            menu->addSeparator();
        } else if (item.kind == MenuItem::kSubmenu) {
            FillMenu(menu->addMenu(QString::fromStdString(item.text)), item.children);
        } else {
            QAction* a = menu->addAction(QString::fromStdString(item.text));
            a->setData(item.id);
            a->setEnabled(!item.greyed);
        }
    }
}

}  // namespace

QIcon MakeStateIcon(int icon) {
    QPixmap pm(32, 32);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(icon == kIconOnline ? QColor(0x2e, 0x9d, 0x46) : QColor(0x8a, 0x8f, 0x98));
    p.setPen(Qt::NoPen);
    p.drawEllipse(2, 2, 28, 28);
    p.setBrush(Qt::white);
    p.drawRect(13, 8, 6, 16);  // a key's shaft
    p.drawEllipse(10, 4, 12, 10);
    return QIcon(pm);
}

bool InstallQtTranslations(bool chineseUi) {
    if (!chineseUi || !QCoreApplication::instance()) return false;
    auto translator = std::make_unique<QTranslator>(QCoreApplication::instance());
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    if (!translator->load(QLocale(QLocale::Chinese, QLocale::China), "qtbase", "_", folder)) {
        TW_LOG(LOG_CLIENT_LOGIN, 2, "[InstallQtTranslations] no qtbase_zh_CN catalogue in %s",
               folder.toStdString().c_str());
        return false;
    }
    QCoreApplication::installTranslator(translator.release());
    return true;
}

void QtPrompter::Message(const std::string& text, const std::string& caption, BoxIcon icon) {
    QMessageBox box(ToQt(icon), QString::fromStdString(caption), QString::fromStdString(text),
                    QMessageBox::Ok);
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    box.exec();
}

bool QtPrompter::AskYesNo(const std::string& text, const std::string& caption, BoxIcon icon) {
    QMessageBox box(ToQt(icon), QString::fromStdString(caption), QString::fromStdString(text),
                    QMessageBox::Yes | QMessageBox::No);
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    return box.exec() == QMessageBox::Yes;
}

TrayActivation::TrayActivation(std::function<void(bool)> onActivated, std::function<bool()> rightButtonHeld)
    : m_onActivated(std::move(onActivated)), m_rightButtonHeld(std::move(rightButtonHeld)) {}

TrayActivation::~TrayActivation() {
    if (m_waiting && QCoreApplication::instance()) QCoreApplication::instance()->removeEventFilter(this);
}

void TrayActivation::Activated(int reason) {
    if (reason == QSystemTrayIcon::DoubleClick) {
        m_onActivated(true);
    } else if (reason == QSystemTrayIcon::Context) {
        if (m_waiting) return;
        if (m_rightButtonHeld && m_rightButtonHeld() && QCoreApplication::instance()) {
            m_waiting = true;
            QCoreApplication::instance()->installEventFilter(this);
        } else {
            m_onActivated(false);
        }
    }
}

bool TrayActivation::eventFilter(QObject* watched, QEvent* event) {
    if (m_waiting && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::RightButton) {
        m_waiting = false;
        QCoreApplication::instance()->removeEventFilter(this);
        // The menu runs its own loop: not from inside the release's delivery.
        QMetaObject::invokeMethod(
            this, [this] { m_onActivated(false); }, Qt::QueuedConnection);
    }
    return QObject::eventFilter(watched, event);
}

QtTrayIcon::QtTrayIcon(std::function<void(bool)> onActivated, std::function<void(const std::string&)> report)
    : m_activation(std::make_unique<TrayActivation>(
          std::move(onActivated), [] { return (QGuiApplication::mouseButtons() & Qt::RightButton) != 0; })),
      m_report(std::move(report)) {}

QtTrayIcon::~QtTrayIcon() = default;

bool QtTrayIcon::Message(int operation, const std::string& tip, int icon, const std::string& balloon) {
    try {
        if (operation == 2) {
            if (m_icon) m_icon->hide();
            m_icon.reset();
            return true;
        }
        if (!m_icon) {
            if (operation != 0) return false;
            m_icon = std::make_unique<QSystemTrayIcon>();
            QObject::connect(m_icon.get(), &QSystemTrayIcon::activated, m_activation.get(),
                             [this](QSystemTrayIcon::ActivationReason r) { m_activation->Activated(r); });
        }
        if (icon != 0) m_icon->setIcon(MakeStateIcon(icon));
        // The notification area keeps tips to 62 characters and balloons to 255.
        if (!tip.empty()) m_icon->setToolTip(QString::fromStdString(tip).left(62));
        if (QSystemTrayIcon::isSystemTrayAvailable()) m_icon->show();
        if (!balloon.empty()) {
            m_icon->showMessage(QString(), QString::fromStdString(balloon).left(255),
                                QSystemTrayIcon::Information, 3000);
            if (m_report) m_report("balloon: " + balloon);
        }
        return true;
    } catch (...) {
        TW_LOG(LOG_CLIENT_LOGIN, 1, "[TrayMessage]catch ");
        return false;
    }
}

QMenu* MakeTrayMenu(const std::vector<MenuItem>& menu) {
    auto* m = new QMenu();
    FillMenu(m, menu);
    return m;
}

int QtTrayIcon::TrackMenu(const std::vector<MenuItem>& menu) {
    std::unique_ptr<QMenu> m(MakeTrayMenu(menu));
    QAction* chosen = m->exec(QCursor::pos());
    return chosen ? chosen->data().toInt() : 0;
}

bool ProcessLauncher::StartHidden(const std::string& program, const std::vector<std::string>& args) {
    std::vector<std::string> argv{m_dir + "/" + program};
    argv.insert(argv.end(), args.begin(), args.end());
    platform::SpawnOptions options;
    options.directory = m_dir;
    options.quietOutput = true;
    options.detached = true;
    return platform::Spawn(argv, options) > 0;
}

bool ProcessLauncher::OpenUrl(const std::string& url) { return platform::OpenUrl(url); }

bool ProcessLauncher::Exec(const std::string& commandLine) {
    std::vector<std::string> argv;
    std::size_t i = 0;
    while (i < commandLine.size()) {
        const std::size_t start = commandLine.find_first_not_of(' ', i);
        if (start == std::string::npos) break;
        const std::size_t end = commandLine.find(' ', start);
        argv.push_back(commandLine.substr(start, end == std::string::npos ? std::string::npos : end - start));
        i = end == std::string::npos ? commandLine.size() : end;
    }
    if (argv.empty()) return false;
    platform::SpawnOptions options;
    options.detached = true;
    return platform::Spawn(argv, options) > 0;
}

int SystemServiceProbe::Status(const std::string& service) {
    platform::SERVICE_STATUS st{};
    if (!platform::ServiceInstalled(service)) return 1;
    if (platform::QueryServiceStatusByName(service, &st) != 0) return 2;
    return st.dwCurrentState == platform::SERVICE_RUNNING ? 0 : 1;
}

}  // namespace vorn
