// The update program's shell on Qt: message boxes and the modal dialog.
#pragma once
#include <functional>

#include "quistral_app.h"
#include "quistral_dlg.h"

namespace quistral {

class QtShell : public AppShell {
public:
    explicit QtShell(MessageBoxes& boxes = QtMessageBoxes()) : m_boxes(boxes) {}
    void Message(const std::string& text, const std::string& caption) override {
        m_boxes.Information(nullptr, text, caption);
    }
    int RunDialog(UpdateConfig config) override {
        CQuistralDlg dlg(std::move(config), m_boxes);
        if (m_onDialog) m_onDialog(dlg);
        return dlg.exec() == QDialog::Accepted ? 1 : 2;
    }
    // Called with the dialog before it runs (tests drive it from here).
    std::function<void(CQuistralDlg&)> m_onDialog;

private:
    MessageBoxes& m_boxes;
};

}  // namespace quistral
