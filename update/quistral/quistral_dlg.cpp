#include "quistral_dlg.h"

#include <QCoreApplication>
#include <QEvent>
#include <QLabel>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QResizeEvent>
#include <QTimer>
#include <QTranslator>

#include <algorithm>
#include <chrono>
#include <future>

#include "dailylog/shared_daily_log.h"
#include "update_texts.h"

namespace quistral {

namespace {

const QEvent::Type kCallEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

class CallEvent : public QEvent {
public:
    explicit CallEvent(std::function<void()> fn) : QEvent(kCallEvent), m_fn(std::move(fn)) {}
    void Run() { m_fn(); }

private:
    std::function<void()> m_fn;
};

class QtBoxes : public MessageBoxes {
public:
    void Information(QWidget* parent, const std::string& text, const std::string& caption) override {
        QMessageBox::information(parent, QString::fromStdString(caption), QString::fromStdString(text));
    }
    bool YesNo(QWidget* parent, const std::string& text, const std::string& caption) override {
        return QMessageBox::question(parent, QString::fromStdString(caption), QString::fromStdString(text),
                                     QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
    }
};

QString Q(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

MessageBoxes& QtMessageBoxes() {
    static QtBoxes boxes;
    return boxes;
}

bool InstallQtTranslations(bool chinese) {
    if (!chinese || !QCoreApplication::instance()) return false;
    auto translator = std::make_unique<QTranslator>(QCoreApplication::instance());
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    if (!translator->load(QLocale(QLocale::Chinese, QLocale::China), "qtbase", "_", folder)) {
        SharedDailyLog::Instance().Write(LOG_ALWAYS_40, 4,
                                         "[InstallQtTranslations] no qtbase_zh_CN catalogue in %s",
                                         folder.toStdString().c_str());
        return false;
    }
    QCoreApplication::installTranslator(translator.release());
    return true;
}

CQuistralDlg::CQuistralDlg(UpdateConfig config, MessageBoxes& boxes, QWidget* parent)
    : QDialog(parent), m_config(std::move(config)), m_boxes(boxes) {
    const bool plugin = m_config.mode == UpdateMode::kPlugin;
    auto text = [&](const char* english) { return Q(plugin ? TrPlugin(english) : Tr(english)); };
    setWindowTitle(text("Update Tips"));
    setStyleSheet("QDialog { background: white; }");
    const char* names[4] = {"Update driver", "Update service", "Update applications",
                            "Update program settings"};
    for (int i = 0; i < 4; ++i) {
        m_labels[i] = new QLabel(text(names[i]), this);
        m_labels[i]->setGeometry(20, 15 + 25 * i, kTextWidth, 19);
        // Only the driver's label shows; the worker writes its status into it.
        m_labels[i]->setVisible(i == 0);
    }
    m_result =
        new QLabel(text("Update is done, the client program will be run automatically after you click the "
                        "close button."),
                   this);
    m_result->setWordWrap(true);
    m_result->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_result->hide();
    m_progress = new QProgressBar(this);
    m_progress->setGeometry(20, 45, 290, 10);
    m_progress->setRange(0, 100);
    m_progress->setTextVisible(false);
    m_button = new QPushButton(text("Close"), this);
    m_button->setEnabled(false);
    Relayout();
    m_button->setDefault(true);
    connect(m_button, &QPushButton::clicked, this, [this] { OnOK(); });
    m_worker = std::make_unique<UpdateWorker>(m_config, *this);
    m_thread = std::thread([this] {
        m_worker->Run();
        m_workerDone.store(true);
    });
}

CQuistralDlg::~CQuistralDlg() {
    m_worker->RequestStop();
    // Answers the worker may still wait for are posted to us; run them while it ends.
    while (!m_workerDone.load()) {
        QCoreApplication::sendPostedEvents(this, kCallEvent);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    m_thread.join();
}

void CQuistralDlg::Relayout() {
    // The button keeps its place beside the progress bar while the update runs; once the result
    // shows, the result takes the whole width and as many lines as it needs (the failure texts
    // run to three or four), the button goes below it and the window grows to fit.
    const QSize button(std::max(60, m_button->sizeHint().width()),
                       std::max(20, m_button->sizeHint().height()));
    int height = kBaseHeight;
    if (m_result->isVisibleTo(this)) {
        const int resultHeight = std::max(19, m_result->heightForWidth(kTextWidth));
        m_result->setGeometry(kMargin, kResultTop, kTextWidth, resultHeight);
        const int buttonTop = kResultTop + resultHeight + 10;
        m_button->setGeometry(kWidth - kMargin - button.width(), buttonTop, button.width(), button.height());
        height = std::max(kBaseHeight, buttonTop + button.height() + 12);
    } else {
        m_button->setGeometry(kWidth - kMargin - button.width(), kResultTop, button.width(), button.height());
    }
    m_sizeRequests = 0;
    setFixedSize(kWidth, height);
}

void CQuistralDlg::resizeEvent(QResizeEvent* e) {
    QDialog::resizeEvent(e);
    // A window manager still putting the window up when the result made it grow can answer with
    // the size from before, which cuts the Close button off below: ask again, a few times (not
    // for ever against one that insists).
    // The size the last Relayout fixed is the minimum (and maximum) it set.
    if (minimumSize().isEmpty() || e->size() == minimumSize() || m_sizeRequests >= 3) return;
    ++m_sizeRequests;
    QTimer::singleShot(0, this, [this] {
        if (size() != minimumSize()) resize(minimumSize());
    });
}

QString CQuistralDlg::StatusText() const { return m_labels[0]->text(); }
QString CQuistralDlg::ResultText() const { return m_result->text(); }
int CQuistralDlg::Progress() const { return m_progress->value(); }

bool CQuistralDlg::event(QEvent* e) {
    m_posted.load(std::memory_order_acquire);
    if (e->type() == kCallEvent) {
        static_cast<CallEvent*>(e)->Run();
        return true;
    }
    return QDialog::event(e);
}

void CQuistralDlg::OnOK() {
    // While the update runs the button only asks the worker to cancel the download.
    if (!m_finished) {
        if (m_stoppable) m_worker->RequestStop();
        return;
    }
    if (m_success)
        done(QDialog::Accepted);
    else
        done(QDialog::Rejected);
}

void CQuistralDlg::reject() {
    if (m_finished) {
        QDialog::reject();
        return;
    }
    // Esc and the window's close stop a download as Close does; once files are being replaced
    // they wait for the end.
    if (m_stoppable) m_worker->RequestStop();
}

void CQuistralDlg::Post(std::function<void()> fn) {
    auto* e = new CallEvent(std::move(fn));
    m_posted.fetch_add(1, std::memory_order_release);
    QCoreApplication::postEvent(this, e);
}

void CQuistralDlg::SetStatus(const std::string& text) {
    Post([this, t = Q(text)] { m_labels[0]->setText(t); });
}
void CQuistralDlg::SetProgress(int percent) {
    Post([this, percent] { m_progress->setValue(percent); });
}
void CQuistralDlg::SetResult(const std::string& text) {
    Post([this, t = Q(text)] {
        m_result->setText(t);
        Relayout();
    });
}
void CQuistralDlg::Message(const std::string& text, const std::string& caption) {
    std::promise<void> shown;
    auto f = shown.get_future();
    Post([&, this] {
        m_boxes.Information(this, text, caption);
        shown.set_value();
    });
    f.wait();
}
bool CQuistralDlg::AskYesNo(const std::string& text, const std::string& caption) {
    std::promise<bool> answer;
    auto f = answer.get_future();
    Post([&, this] { answer.set_value(m_boxes.YesNo(this, text, caption)); });
    return f.get();
}
void CQuistralDlg::EnableStop() {
    Post([this] {
        m_stoppable = true;
        m_button->setEnabled(true);
    });
}
void CQuistralDlg::DisableClose() {
    Post([this] {
        m_stoppable = false;
        m_button->setEnabled(false);
    });
}
void CQuistralDlg::EnableClose(bool success) {
    Post([this, success] {
        m_success = success;
        m_finished = true;
        m_button->setText(Q(m_config.mode == UpdateMode::kPlugin ? TrPlugin("Close") : Tr("Close")));
        m_button->setEnabled(true);
        m_result->show();
        Relayout();
        emit workerFinished(success);
    });
}
void CQuistralDlg::CloseDialog() {
    Post([this] { done(QDialog::Rejected); });
}

}  // namespace quistral
