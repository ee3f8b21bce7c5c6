#include "vorn/dialogs/about_dialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "dailylog/shared_daily_log.h"
#include "vorn/dialogs/text_ids.h"

namespace vorn {

CAboutDlg::CAboutDlg(DialogContext context, QWidget* parent) : QDialog(parent), m_ctx(std::move(context)) {
    const UiTextTable empty;
    const UiTextTable& t = m_ctx.table ? *m_ctx.table : empty;
    setWindowTitle(QString::fromStdString(t.aboutTitle));
    MakeWhite(this);
    // The banner: the application's name on the maker's colour; a click opens the web site.
    m_banner = new QPushButton(QString::fromStdString(t.appTitle), this);
    m_banner->setFlat(true);
    m_banner->setMinimumHeight(72);
    m_banner->setCursor(Qt::PointingHandCursor);
    m_banner->setStyleSheet(
        "QPushButton { background: #1d4f91; color: white; font-size: 18px; font-weight: bold; border: none; "
        "padding: 12px 28px; }");
    m_title = new QLabel(QString::fromStdString(t.appTitle + " " + t.version), this);
    m_company = new QLabel(QString::fromStdString(t.companyName), this);
    auto* link = new QPushButton(QString::fromStdString(t.webSite), this);
    link->setFlat(true);
    link->setCursor(Qt::PointingHandCursor);
    link->setStyleSheet("QPushButton { color: blue; text-decoration: underline; border: none; }");
    link->setVisible(!t.webSite.empty());
    auto* ok = new QPushButton(m_ctx.Caption(kDialogAbout, 1, "OK"), this);
    ok->setDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok);
    auto* outer = new QVBoxLayout(this);
    outer->addWidget(m_banner);
    outer->addWidget(m_title);
    outer->addWidget(m_company);
    outer->addWidget(link, 0, Qt::AlignLeft);
    outer->addLayout(buttons);
    connect(m_banner, &QPushButton::clicked, this, [this] { OpenWebSite(); });
    connect(link, &QPushButton::clicked, this, [this] { OpenWebSite(); });
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

void CAboutDlg::OpenWebSite() {
    if (!m_ctx.table || m_ctx.table->webSite.empty() || !m_ctx.launcher) return;
    if (!m_ctx.launcher->OpenUrl(m_ctx.table->webSite))
        TW_LOG(LOG_CLIENT_LOGIN, 1, "[CAboutDlg] the web site did not open");
}

}  // namespace vorn
