// The client's texts: the language catalogue by string id, and the user-interface text table
// (title, version, captions) built at start-up.
//
// Thread-safety: a TextSource is read from any thread once built; the table is built before any
// other thread of the client exists and not changed afterwards.
#pragma once
#include <map>
#include <string>

#include "platform/client_settings.h"
#include "platform/settings_store.h"

namespace vorn {

// The key of the client's settings.
using platform::client_settings::kClientKey;

class TextSource {
public:
    virtual ~TextSource() = default;
    // The text of `id`; empty when the catalogue has none.
    virtual std::string Text(int id) const = 0;
};

// A catalogue held in memory (tests, and the client before a catalogue is loaded).
class MapTextSource final : public TextSource {
public:
    MapTextSource() = default;
    explicit MapTextSource(std::map<int, std::string> texts) : m_texts(std::move(texts)) {}
    void Set(int id, std::string text) { m_texts[id] = std::move(text); }
    std::string Text(int id) const override {
        auto it = m_texts.find(id);
        return it == m_texts.end() ? std::string() : it->second;
    }

private:
    std::map<int, std::string> m_texts;
};

// The nine strings of the text table; registry values of the client's key override four of them.
struct UiTextTable {
    std::string installPath, version, appTitle, companyName, companyName2, aboutTitle, logonBitmap, webSite,
        caption;
    bool chineseUi = false;

    // Defaults for the language, then `InstallDir`, `Version`, `Logon`, `WebSite` from `store`
    // when the key is there.
    static UiTextTable Build(bool chineseUi, platform::SettingsStore& store);

    std::string MakeInfoCaption() const { return caption + (chineseUi ? "-信息" : "-Info"); }
    std::string MakeErrorCaption() const { return caption + (chineseUi ? "-错误" : "-Error"); }
    std::string GetAppTitle() const { return caption; }
};

// Both the user's and the system's language are Simplified Chinese (language id 2052). A locale
// name such as "zh_CN.UTF-8" counts as 2052; "C", empty and others do not.
bool IsChineseLocale(const std::string& localeName);
// The user's locale (LC_ALL, LC_MESSAGES, LANG in that order) and the system's (LANG in
// <etcDir>/default/locale, "/etc" unless told).
std::string UserLocaleName();
std::string SystemLocaleName(const std::string& etcDir = "/etc");

}  // namespace vorn
