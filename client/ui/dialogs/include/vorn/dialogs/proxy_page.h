// CProxyPage: tab 1 of the main dialog ("use proxy", "proxy needs authentication", address, user,
// password), loaded from the client's settings; what the logon command saves. The preferences
// dialog edits the same values.
//
// UI thread only. Enter in the page runs the owner's OK operation; Esc is swallowed.
#pragma once
#include <QWidget>
#include <functional>

#include "vorn/dialogs/dialog_context.h"
#include "vorn/dialogs/dialog_rules.h"
#include "vorn/page_views.h"

class QCheckBox;
class QGridLayout;
class QLineEdit;

namespace vorn {

// The captions of the proxy fields (each window has its own catalogue entries).
struct ProxyCaptions {
    QString use, auth, address, user, password;
};

// The proxy fields of a page or dialog and the rules between them.
struct ProxyControls {
    QCheckBox* use = nullptr;
    QCheckBox* auth = nullptr;
    QLineEdit* address = nullptr;
    QLineEdit* user = nullptr;
    QLineEdit* password = nullptr;

    // Makes the five fields as children of `owner` with the rules between them wired, and
    // answers them laid out in a grid (no parent: the caller places it).
    QGridLayout* Build(QWidget* owner, const ProxyCaptions& captions, int addressMax);
    // The fields from the settings, with their enabled states.
    void Load(const ProxySettings& settings);
    // "use proxy" clicked: on enables the address and "authentication"; off clears
    // "authentication" and disables everything else.
    void UseToggled();
    // "authentication" clicked: enables or disables user and password.
    void AuthToggled();
};

constexpr int kProxyPageAddressMax = 256;
constexpr int kProxyUserMax = 128;
constexpr int kProxyPasswordMax = 64;

class CProxyPage final : public QWidget, public ProxyPageView {
public:
    explicit CProxyPage(DialogContext context, QWidget* parent = nullptr);

    void SetOwnerOk(std::function<void()> ok) { m_ownerOk = std::move(ok); }
    // The page's initialisation; Reload does the same after the preferences were saved.
    void OnInitDialog() { Reload(); }

    // ProxyPageView
    QWidget* Widget() override { return this; }
    bool UseProxy() override;
    bool UseProxyAuth() override;
    void SetUseProxyAuth(bool on) override;
    std::string ProxyAddress() override;
    std::string ProxyUser() override;
    std::string ProxyPassword() override;
    void SetFieldsEnabled(bool on) override;
    void Reload() override;

    ProxyControls& Controls() { return m_controls; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    DialogContext m_ctx;
    std::function<void()> m_ownerOk;
    ProxyControls m_controls;
};

}  // namespace vorn
