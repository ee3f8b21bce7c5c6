#include "vorn/dialogs/status_dialog.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "engine/worker_thread.h"
#include "vorn/dialogs/text_ids.h"
#include "platform/text_util.h"

namespace vorn {

namespace {

constexpr int kControls[8] = {1185, 1186, 1187, 1188, 1189, 1190, 1198, 1199};

QString Q(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

CTwStatusDlg::CTwStatusDlg(DialogContext context, engine::ConnectorControl& connector, StatusTiming timing,
                           QWidget* parent)
    : QDialog(parent), m_ctx(std::move(context)), m_connector(connector), m_timer(new QTimer(this)) {
    setWindowTitle(Q(m_ctx.T(kTextStatusTitle)));
    MakeWhite(this);
    auto* grid = new QGridLayout;
    const char* fallbacks[8] = {"State:",           "Gateway:",     "User name:", "Online time:",
                                "Virtual address:", "Subnet mask:", "Sent:",      "Received:"};
    for (int i = 0; i < 8; ++i) {
        auto* label = new QLabel(m_ctx.Caption(kDialogStatus, 3612 + i, fallbacks[i]), this);
        m_fields[i] = new QLabel(this);
        m_fields[i]->setTextInteractionFlags(Qt::TextSelectableByMouse);
        grid->addWidget(label, i, 0);
        grid->addWidget(m_fields[i], i, 1);
    }
    auto* close = new QPushButton(m_ctx.Caption(kDialogStatus, 3605, "Close"), this);
    close->setDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(close);
    auto* outer = new QVBoxLayout(this);
    outer->addLayout(grid);
    outer->addLayout(buttons);
    connect(close, &QPushButton::clicked, this, [this] {
        m_timer->stop();
        accept();
    });

    // The fixed fields keep the values of the moment the window opened.
    const engine::ConnectorSession s = m_connector.Session();
    m_fields[0]->setText(Q(m_ctx.ChineseUi() ? "已登录" : "Online"));
    m_fields[1]->setText(Q(s.serverAddress + ":" + std::to_string(s.serverPort)));
    m_fields[2]->setText(Q(s.userName));
    OnTimer();
    connect(m_timer, &QTimer::timeout, this, [this] { OnTimer(); });
    m_timer->start(timing.refreshMs);
}

void CTwStatusDlg::OnTimer() {
    const engine::ConnectorSession s = m_connector.Session();
    m_fields[3]->setText(Q(engine::TwWorkerThread::FormatDuration(s.onlineSeconds)));
    m_fields[4]->setText(Q(platform::Ipv4TextHost(s.virtualIp)));
    m_fields[5]->setText(Q(platform::Ipv4TextHost(s.mask)));
    m_fields[6]->setText(Q(engine::TwWorkerThread::FormatBytes(s.sent)));
    m_fields[7]->setText(Q(engine::TwWorkerThread::FormatBytes(s.received)));
}

QLabel* CTwStatusDlg::Field(int controlId) {
    for (int i = 0; i < 8; ++i)
        if (kControls[i] == controlId) return m_fields[i];
    return nullptr;
}

}  // namespace vorn
