// The update program as its main builds it, with the person at the screen played by a test: every
// question is answered yes, each message box's and the dialog's result text is printed on a line
// ("message: ", "result: "), and Close is pressed as soon as the dialog offers it. The system test
// installs it as the install's "Quistral", so that an update runs from where and under the name it
// runs on a user's machine.
#include <QApplication>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/process.h"
#include "qt_shell.h"
#include "update_texts.h"

namespace {

class AnswerYes : public quistral::MessageBoxes {
public:
    void Information(QWidget*, const std::string& text, const std::string&) override {
        std::printf("message: %s\n", text.c_str());
        std::fflush(stdout);
    }
    bool YesNo(QWidget*, const std::string& text, const std::string&) override {
        std::printf("question: %s -> yes\n", text.c_str());
        std::fflush(stdout);
        return true;
    }
};

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    quistral::InstallQtTranslations(quistral::ChooseChinese());
    std::vector<std::string> args(argv + 1, argv + argc);
    AnswerYes boxes;
    quistral::QtShell shell(boxes);
    shell.m_onDialog = [](quistral::CQuistralDlg& dlg) {
        QObject::connect(&dlg, &quistral::CQuistralDlg::workerFinished, &dlg, [&dlg](bool ok) {
            std::printf("result: %s %s\n", ok ? "ok" : "failed", dlg.ResultText().toStdString().c_str());
            std::fflush(stdout);
            QTimer::singleShot(0, &dlg, [&dlg] { dlg.CloseButton()->click(); });
        });
    };
    quistral::AppConfig config;
    config.programDir = platform::ProgramDir();
    return quistral::RunQuistral(args, shell, config);
}
