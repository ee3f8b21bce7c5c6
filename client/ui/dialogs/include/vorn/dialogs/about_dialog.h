// CAboutDlg: the client's title, version and company, with a banner that opens the maker's web
// site. Its window title is the text table's about-box title.
//
// UI thread only; run modally (exec).
#pragma once
#include <QDialog>

#include "vorn/dialogs/dialog_context.h"

class QLabel;
class QPushButton;

namespace vorn {

class CAboutDlg final : public QDialog {
public:
    explicit CAboutDlg(DialogContext context, QWidget* parent = nullptr);

    // The banner and the link: the text table's web site, when there is one.
    void OpenWebSite();

    QLabel* TitleLine() { return m_title; }
    QLabel* CompanyLine() { return m_company; }
    QPushButton* Banner() { return m_banner; }

private:
    DialogContext m_ctx;
    QPushButton* m_banner;
    QLabel* m_title;
    QLabel* m_company;
};

}  // namespace vorn
