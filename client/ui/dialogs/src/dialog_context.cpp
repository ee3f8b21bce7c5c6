#include "vorn/dialogs/dialog_context.h"

#include <QPalette>
#include <QWidget>

#include "vorn/dialogs/text_ids.h"

namespace vorn {

QString DialogContext::Caption(int templateId, int controlId, const char* fallback) const {
    const std::string text = T(DialogTextId(templateId, controlId));
    return QString::fromStdString(text.empty() ? std::string(fallback) : text);
}

void DialogContext::Show(int id, const std::string& caption, BoxIcon icon) const {
    if (prompter) prompter->Message(T(id), caption, icon);
}

void MakeWhite(QWidget* widget) {
    QPalette p = widget->palette();
    p.setColor(QPalette::Window, Qt::white);
    widget->setPalette(p);
    widget->setAutoFillBackground(true);
}

}  // namespace vorn
