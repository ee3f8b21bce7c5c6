// What every dialog of this folder is built with: the catalogue, the text table, the message
// boxes, the launcher and the client's settings. The pointers must outlive the dialogs.
//
// UI thread only.
#pragma once
#include <QString>
#include <memory>
#include <string>

#include "platform/settings_store.h"
#include "vorn/text_source.h"
#include "vorn/ui_services.h"

class QWidget;

namespace vorn {

struct DialogContext {
    const TextSource* texts = nullptr;
    const UiTextTable* table = nullptr;
    Prompter* prompter = nullptr;
    Launcher* launcher = nullptr;
    std::shared_ptr<platform::SettingsStore> store;

    std::string T(int id) const { return texts ? texts->Text(id) : std::string(); }
    // A field caption of a dialog: the catalogue's, else `fallback`.
    QString Caption(int templateId, int controlId, const char* fallback) const;
    std::string InfoCaption() const { return table ? table->MakeInfoCaption() : std::string(); }
    std::string ErrorCaption() const { return table ? table->MakeErrorCaption() : std::string(); }
    bool ChineseUi() const { return table && table->chineseUi; }
    // A message box with the catalogue's text `id`.
    void Show(int id, const std::string& caption, BoxIcon icon) const;
};

// The client's widgets are white, as its dialogs are on Windows.
void MakeWhite(QWidget* widget);

}  // namespace vorn
