// CQuistralDlg: the update program's progress dialog. The worker thread reaches it only by
// events posted to the dialog's thread; questions and messages block the worker until the
// user (or a test's MessageBoxes) answered.
#pragma once
#include <QDialog>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "update_worker.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace quistral {

// Message boxes, so that tests answer them.
class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    virtual void Information(QWidget* parent, const std::string& text, const std::string& caption) = 0;
    virtual bool YesNo(QWidget* parent, const std::string& text, const std::string& caption) = 0;
};
MessageBoxes& QtMessageBoxes();

// Qt's own texts (the message boxes' buttons) in Chinese when the program shows Chinese: Qt's
// catalogue "qtbase_zh_CN" installed on the application. False when English or when it is missing.
bool InstallQtTranslations(bool chinese);

class CQuistralDlg : public QDialog, public UpdateSink {
    Q_OBJECT
public:
    CQuistralDlg(UpdateConfig config, MessageBoxes& boxes, QWidget* parent = nullptr);
    ~CQuistralDlg() override;

    bool Finished() const { return m_finished; }
    QPushButton* CloseButton() const { return m_button; }
    QLabel* ResultLabel() const { return m_result; }
    QString StatusText() const;
    QString ResultText() const;
    int Progress() const;

signals:
    // Emitted on the dialog's thread when the worker finished.
    void workerFinished(bool success);

protected:
    bool event(QEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void reject() override;  // Esc and the window's close

private:
    static constexpr int kWidth = 340;
    static constexpr int kBaseHeight = 130;
    static constexpr int kMargin = 20;
    static constexpr int kTextWidth = kWidth - 2 * kMargin;
    static constexpr int kResultTop = 70;

    void OnOK();
    // Places the result text and the button and sizes the window so that all of the text shows.
    void Relayout();
    void Post(std::function<void()> fn);
    // UpdateSink, called on the worker thread.
    void SetStatus(const std::string& text) override;
    void SetProgress(int percent) override;
    void SetResult(const std::string& text) override;
    void Message(const std::string& text, const std::string& caption) override;
    bool AskYesNo(const std::string& text, const std::string& caption) override;
    void EnableStop() override;
    void DisableClose() override;
    void EnableClose(bool success) override;
    void CloseDialog() override;

    UpdateConfig m_config;
    MessageBoxes& m_boxes;
    std::unique_ptr<UpdateWorker> m_worker;
    std::thread m_thread;
    std::atomic<bool> m_workerDone{false};
    // Counts posted calls: the worker adds after building each one, the Qt thread reads it before
    // handling any event. The queue's own lock, inside Qt, orders the hand-off already; this pair
    // states it in a form the thread checker sees (Qt is not built for it).
    std::atomic<unsigned> m_posted{0};
    QLabel* m_labels[4] = {};
    QLabel* m_result = nullptr;
    QProgressBar* m_progress = nullptr;
    QPushButton* m_button = nullptr;
    int m_sizeRequests = 0;  // the fixed size asked again since the last Relayout
    bool m_finished = false;
    bool m_stoppable = false;  // Close, Esc and the window's close stop the update
    bool m_success = false;
};

}  // namespace quistral
