// Recording fakes of the GUI's small interfaces, an offscreen application for the tests, and a
// wait that keeps the Qt event loop going.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <QApplication>

#include "vorn/text_source.h"
#include "vorn/ui_services.h"
#include "vorn/ui_timing.h"

namespace vorn::test {

// Every id's text is "t<id>", so a test sees which text was chosen.
class IdTexts final : public TextSource {
public:
    std::string Text(int id) const override { return "t" + std::to_string(id); }
};

inline UiTiming FastUiTiming() {
    UiTiming t;
    t.hardwareKeyTimerMs = 50;
    t.delayedQuitTimerMs = 5;
    t.trayAnimationMs = 5;
    t.logonCutMs = 100;
    t.monitorRoundMs = 5;
    t.logonCutSettleMs = 3000;
    t.watchdogRoundMs = 5;
    t.autoLogonServicePollMs = 1;
    t.apiLogonServicePollMs = 1;
    t.serviceStartPollMs = 1;
    t.serviceStartPolls = 3;
    t.handoverPollMs = 5;
    t.quitWorkerPollMs = 5;
    t.quitWorkerPolls = 1000;
    return t;
}

// One offscreen application per test program.
inline QApplication& App() {
    static int argc = 1;
    static char name[] = "vorn_test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        auto* a = new QApplication(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        return a;
    }();
    return *app;
}

// Runs the event loop until `done` holds or `timeoutMs` passes; the failure says what it waited for.
inline ::testing::AssertionResult PumpUntil(const std::string& what, const std::function<bool()>& done,
                                            int timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return ::testing::AssertionFailure()
                   << "waited " << timeoutMs << " ms for " << what << ", in vain";
        }
        QApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return ::testing::AssertionSuccess();
}

class FakePrompter final : public Prompter {
public:
    struct Box {
        std::string text, caption;
        BoxIcon icon;
        bool question;
    };
    void Message(const std::string& text, const std::string& caption, BoxIcon icon) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_boxes.push_back({text, caption, icon, false});
    }
    bool AskYesNo(const std::string& text, const std::string& caption, BoxIcon icon) override {
        if (onAsk) onAsk(text);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_boxes.push_back({text, caption, icon, true});
        if (m_answers.empty()) return false;
        const bool a = m_answers.front();
        m_answers.pop_front();
        return a;
    }
    // Runs before a question is answered (on the asking thread).
    std::function<void(const std::string& text)> onAsk;
    void Answer(bool yes) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_answers.push_back(yes);
    }
    std::vector<Box> Boxes() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_boxes;
    }
    std::string LastText() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_boxes.empty() ? std::string() : m_boxes.back().text;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_boxes.clear();
    }

private:
    std::mutex m_mutex;
    std::vector<Box> m_boxes;
    std::deque<bool> m_answers;
};

class FakeTray final : public TrayIcon {
public:
    struct Call {
        int operation;
        std::string tip;
        int icon;
        std::string balloon;
    };
    bool Message(int operation, const std::string& tip, int icon, const std::string& balloon) override {
        calls.push_back({operation, tip, icon, balloon});
        if (icon != 0) lastIcon = icon;
        if (!tip.empty()) lastTip = tip;
        return true;
    }
    int TrackMenu(const std::vector<MenuItem>& menu) override {
        lastMenu = menu;
        return choice;
    }
    std::vector<Call> calls;
    int lastIcon = 0;
    std::string lastTip;
    std::vector<MenuItem> lastMenu;
    int choice = 0;
};

class FakeLauncher final : public Launcher {
public:
    bool StartHidden(const std::string& program, const std::vector<std::string>&) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        started.push_back(program);
        return startResult;
    }
    bool OpenUrl(const std::string& url) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        urls.push_back(url);
        return true;
    }
    bool Exec(const std::string& line) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        execs.push_back(line);
        return true;
    }
    std::vector<std::string> started, urls, execs;
    bool startResult = true;

private:
    std::mutex m_mutex;
};

class FakeServices final : public ServiceProbe {
public:
    int Status(const std::string&) override { return status.load(); }
    std::atomic<int> status{0};
};

}  // namespace vorn::test
