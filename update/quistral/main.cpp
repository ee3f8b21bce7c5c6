// Quistral: the update program. Everything but the Qt application object lives in its library.
#include <QApplication>

#include <string>
#include <vector>

#include "platform/process.h"
#include "qt_shell.h"
#include "update_texts.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // The same choice as the program's own texts make (RunQuistral sets it again from the same
    // environment).
    quistral::InstallQtTranslations(quistral::ChooseChinese());
    std::vector<std::string> args(argv + 1, argv + argc);
    quistral::QtShell shell;
    quistral::AppConfig config;
    config.programDir = platform::ProgramDir();
    return quistral::RunQuistral(args, shell, config);
}
