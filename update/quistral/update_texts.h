// The update program's texts: English, or Chinese when the language flag says so. The flag is
// process-wide, set once at start-up before any thread reads it.
#pragma once
#include <string>

namespace quistral {

// Chinese only when both the user's and the system's language are Chinese (PRC): here, when
// LC_ALL, LC_MESSAGES or LANG (the first that is set) and LANGUAGE, if set, start with "zh_CN".
bool ChooseChinese();
void SetChinese(bool chinese);
bool IsChinese();

// The text for an English original: itself, or its Chinese form when the flag is set (or
// `forceChinese`, for the plug-in mode's own dialog texts).
std::string Tr(const std::string& english, bool forceChinese = false);

// Plug-in mode's own texts where they differ from the client's.
std::string TrPlugin(const std::string& english);

// The result text of a failed download (the Chinese one differs from the message box's).
std::string DownloadFailedResult(bool clientMode);

}  // namespace quistral
