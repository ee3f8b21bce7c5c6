#include "vorn/ui_bridge.h"

#include <QApplication>
#include <QMetaObject>
#include <QThread>
#include <QWidget>

#include <functional>

#include "vorn/main_dialog.h"

namespace vorn {

namespace {

bool OnUiThread() { return qApp && QThread::currentThread() == qApp->thread(); }

BoxIcon ToBox(engine::UiBox icon) {
    switch (icon) {
        case engine::UiBox::kInformation: return BoxIcon::kInformation;
        case engine::UiBox::kWarning: return BoxIcon::kWarning;
        case engine::UiBox::kError: return BoxIcon::kError;
    }
    return BoxIcon::kInformation;
}

}  // namespace

// Shared by the waiting engine thread and the job on the UI thread, so that either may go first.
struct UiBridge::Prompt {
    std::function<bool(TwLogonVpn&)> job;  // owns copies of its texts
    bool done = false;                     // under the bridge's mutex
    bool answer = false;
};

UiBridge::UiBridge(const TextSource& texts) : m_texts(texts) {}

UiBridge::~UiBridge() { Shutdown(); }

void UiBridge::Attach(TwLogonVpn* dialog) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_dialog = dialog;
    m_shutdown = false;
}

void UiBridge::Detach() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_dialog = nullptr;
    m_shutdown = true;
    m_cv.notify_all();
}

void UiBridge::Shutdown() { Detach(); }

void UiBridge::Callback(int code, const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_dialog) return;
    TwLogonVpn* dialog = m_dialog;
    // The state is taken at once on the calling thread; what the user sees follows on the UI
    // thread, in the order of the calls. The text travels with its event.
    dialog->EngineStatus(code);
    QMetaObject::invokeMethod(
        dialog, [dialog, code, text] { dialog->HandleCallback(code, text); }, Qt::QueuedConnection);
}

bool UiBridge::RunOnUiThread(const std::shared_ptr<Prompt>& prompt) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_dialog || m_shutdown) return false;
    TwLogonVpn* dialog = m_dialog;
    if (OnUiThread()) {
        lock.unlock();
        return prompt->job(*dialog);
    }
    QMetaObject::invokeMethod(
        dialog,
        [this, dialog, prompt] {
            {
                std::lock_guard<std::mutex> guard(m_mutex);
                if (m_shutdown) return;  // nobody waits any more
            }
            const bool answer = prompt->job(*dialog);
            std::lock_guard<std::mutex> guard(m_mutex);
            prompt->answer = answer;
            prompt->done = true;
            m_cv.notify_all();
        },
        Qt::QueuedConnection);
    m_cv.wait(lock, [&] { return prompt->done || m_shutdown; });
    return prompt->done && prompt->answer;
}

void UiBridge::MessageBox(const std::string& text, const std::string& caption, engine::UiBox icon) {
    auto prompt = std::make_shared<Prompt>();
    prompt->job = [text, caption, icon](TwLogonVpn& d) {
        d.Prompts().Message(text, caption, ToBox(icon));
        return true;
    };
    RunOnUiThread(prompt);
}

bool UiBridge::AskYesNo(const std::string& text, const std::string& caption) {
    return Ask(text, caption, BoxIcon::kQuestion);
}

bool UiBridge::Ask(const std::string& text, const std::string& caption, BoxIcon icon) {
    auto prompt = std::make_shared<Prompt>();
    prompt->job = [text, caption, icon](TwLogonVpn& d) { return d.Prompts().AskYesNo(text, caption, icon); };
    return RunOnUiThread(prompt);
}

void UiBridge::TrayBalloon(const std::string& title, const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_dialog) return;
    TwLogonVpn* dialog = m_dialog;
    QMetaObject::invokeMethod(
        dialog, [dialog, title, text] { dialog->TrayMessage(1, title, 0, text); }, Qt::QueuedConnection);
}

void UiBridge::CloseWindowByTitle(const std::string& title) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_dialog) return;
    QMetaObject::invokeMethod(
        m_dialog, [title] { CloseTopLevelByTitle(title); }, Qt::QueuedConnection);
}

std::string UiBridge::LanguageText(int id) { return m_texts.Text(id); }

bool CloseTopLevelByTitle(const std::string& title) {
    if (title.empty()) return false;
    bool found = false;
    const QString t = QString::fromStdString(title);
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->isVisible() && w->windowTitle() == t) {
            QMetaObject::invokeMethod(w, &QWidget::close, Qt::QueuedConnection);
            found = true;
        }
    }
    return found;
}

bool TopLevelExists(const std::string& title) {
    const QString t = QString::fromStdString(title);
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->isVisible() && w->windowTitle() == t) return true;
    }
    return false;
}

bool ShowTopLevelByTitle(const std::string& title) {
    const QString t = QString::fromStdString(title);
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->isVisible() && w->windowTitle() == t) {
            w->showNormal();
            w->raise();
            w->activateWindow();
            return true;
        }
    }
    return false;
}

}  // namespace vorn
