#include "vorn/dialogs/proxy_page.h"

#include <QCheckBox>
#include <QEvent>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "vorn/dialogs/logon_page.h"
#include "vorn/dialogs/text_ids.h"

namespace vorn {

void ProxyControls::Load(const ProxySettings& s) {
    use->setChecked(s.useProxy);
    address->setEnabled(s.useProxy);
    auth->setEnabled(s.useProxy);
    if (!s.useProxy) {
        user->setEnabled(false);
        password->setEnabled(false);
    }
    if (s.hasAddress && s.hasPort) address->setText(QString::fromStdString(s.address + ":" + s.port));
    if (!s.hasAddress) {
        for (QWidget* w : std::initializer_list<QWidget*>{use, auth, address, user, password})
            w->setEnabled(false);
    }
    auth->setChecked(s.useAuth);
    user->setEnabled(s.useAuth && s.hasAddress);
    password->setEnabled(s.useAuth && s.hasAddress);
    user->setText(QString::fromStdString(s.user));
    password->setText(QString::fromStdString(s.password));
    if (!s.hasUser) user->setEnabled(false);
    if (!s.hasPassword) password->setEnabled(false);
}

void ProxyControls::UseToggled() {
    const bool on = use->isChecked();
    address->setEnabled(on);
    auth->setEnabled(on);
    if (!on) {
        auth->setChecked(false);
        user->setEnabled(false);
        password->setEnabled(false);
    }
}

void ProxyControls::AuthToggled() {
    user->setEnabled(auth->isChecked());
    password->setEnabled(auth->isChecked());
}

CProxyPage::CProxyPage(DialogContext context, QWidget* parent) : QWidget(parent), m_ctx(std::move(context)) {
    MakeWhite(this);
    m_controls.use = new QCheckBox(m_ctx.Caption(kDialogProxyPage, 1194, "Use a proxy server"), this);
    m_controls.auth =
        new QCheckBox(m_ctx.Caption(kDialogProxyPage, 1195, "The proxy needs authentication"), this);
    m_controls.address = new QLineEdit(this);
    m_controls.address->setMaxLength(kProxyPageAddressMax);
    m_controls.address->setPlaceholderText("host:port");
    m_controls.user = new QLineEdit(this);
    m_controls.user->setMaxLength(kProxyUserMax);
    m_controls.password = new QLineEdit(this);
    m_controls.password->setMaxLength(kProxyPasswordMax);
    m_controls.password->setEchoMode(QLineEdit::Password);
    auto* grid = new QGridLayout;
    grid->addWidget(m_controls.use, 0, 0, 1, 2);
    grid->addWidget(new QLabel(m_ctx.Caption(kDialogProxyPage, 1172, "Proxy address:"), this), 1, 0);
    grid->addWidget(m_controls.address, 1, 1);
    grid->addWidget(m_controls.auth, 2, 0, 1, 2);
    grid->addWidget(new QLabel(m_ctx.Caption(kDialogProxyPage, 1173, "User name:"), this), 3, 0);
    grid->addWidget(m_controls.user, 3, 1);
    grid->addWidget(new QLabel(m_ctx.Caption(kDialogProxyPage, 1174, "Password:"), this), 4, 0);
    grid->addWidget(m_controls.password, 4, 1);
    auto* outer = new QVBoxLayout(this);
    outer->addLayout(grid);
    outer->addStretch();
    connect(m_controls.use, &QCheckBox::clicked, this, [this] { m_controls.UseToggled(); });
    connect(m_controls.auth, &QCheckBox::clicked, this, [this] { m_controls.AuthToggled(); });
    RouteEnterAndEsc(this, this);
}

bool CProxyPage::eventFilter(QObject* watched, QEvent* event) {
    return HandlePageKey(event, m_ownerOk) || QWidget::eventFilter(watched, event);
}

bool CProxyPage::UseProxy() { return m_controls.use->isChecked(); }
bool CProxyPage::UseProxyAuth() { return m_controls.auth->isChecked(); }
void CProxyPage::SetUseProxyAuth(bool on) {
    m_controls.auth->setChecked(on);
    m_controls.AuthToggled();
}
std::string CProxyPage::ProxyAddress() { return m_controls.address->text().toStdString(); }
std::string CProxyPage::ProxyUser() { return m_controls.user->text().toStdString(); }
std::string CProxyPage::ProxyPassword() { return m_controls.password->text().toStdString(); }

void CProxyPage::SetFieldsEnabled(bool on) {
    m_controls.use->setEnabled(on);
    if (!on) {
        for (QWidget* w : std::initializer_list<QWidget*>{m_controls.auth, m_controls.address,
                                                          m_controls.user, m_controls.password})
            w->setEnabled(false);
        return;
    }
    m_controls.UseToggled();
    if (m_controls.use->isChecked()) m_controls.AuthToggled();
}

void CProxyPage::Reload() {
    if (m_ctx.store) m_controls.Load(ReadProxySettings(*m_ctx.store));
}

}  // namespace vorn
