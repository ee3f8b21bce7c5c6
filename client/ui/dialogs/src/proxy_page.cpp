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

QGridLayout* ProxyControls::Build(QWidget* owner, const ProxyCaptions& captions, int addressMax) {
    use = new QCheckBox(captions.use, owner);
    auth = new QCheckBox(captions.auth, owner);
    address = new QLineEdit(owner);
    address->setMaxLength(addressMax);
    address->setPlaceholderText("host:port");
    user = new QLineEdit(owner);
    user->setMaxLength(kProxyUserMax);
    password = new QLineEdit(owner);
    password->setMaxLength(kProxyPasswordMax);
    password->setEchoMode(QLineEdit::Password);
    auto* grid = new QGridLayout;
    grid->addWidget(use, 0, 0, 1, 2);
    grid->addWidget(new QLabel(captions.address, owner), 1, 0);
    grid->addWidget(address, 1, 1);
    grid->addWidget(auth, 2, 0, 1, 2);
    grid->addWidget(new QLabel(captions.user, owner), 3, 0);
    grid->addWidget(user, 3, 1);
    grid->addWidget(new QLabel(captions.password, owner), 4, 0);
    grid->addWidget(password, 4, 1);
    QObject::connect(use, &QCheckBox::clicked, owner, [this] { UseToggled(); });
    QObject::connect(auth, &QCheckBox::clicked, owner, [this] { AuthToggled(); });
    return grid;
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
    const int d = kDialogProxyPage;
    const ProxyCaptions captions{m_ctx.Caption(d, 1194, "Use a proxy server"),
                                 m_ctx.Caption(d, 1195, "The proxy needs authentication"),
                                 m_ctx.Caption(d, 1172, "Proxy address:"),
                                 m_ctx.Caption(d, 1173, "User name:"), m_ctx.Caption(d, 1174, "Password:")};
    auto* outer = new QVBoxLayout(this);
    outer->addLayout(m_controls.Build(this, captions, kProxyPageAddressMax));
    outer->addStretch();
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
