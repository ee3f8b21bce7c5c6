// The file fetch in a process of its own, for the tests that run it as an ordinary user: fetches
// https://localhost:<port><path> trusting the one PEM text given, answers the certificate
// question with "yes" or "no". Exit code: 1 fetched after one question with the expected text,
// 2 refused after it, 10 and up for anything else.
#include <cstdlib>
#include <string>
#include <vector>

#include "schannel_client.h"

namespace {

class AnsweringUi : public SchannelUi {
public:
    explicit AnsweringUi(bool yes) : m_yes(yes) {}
    bool AskYesNo(const std::string& caption, const std::string& text) override {
        questions.push_back(caption + "|" + text);
        return m_yes;
    }
    void ShowError(const std::string&, const std::string&) override { ++errors; }
    void ShowMessage(const std::string&) override { ++errors; }
    std::vector<std::string> questions;
    int errors = 0;

private:
    bool m_yes;
};

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) return 20;
    AnsweringUi ui(std::string(argv[4]) == "yes");
    SchannelOptions options;
    options.trusted = {argv[3]};
    options.appTitle = "Qel";
    options.ui = &ui;
    options.timing.connectMs = options.timing.receiveMs = 5000;
    SchannelResponse r;
    const int ok =
        SchannelClient("localhost", static_cast<unsigned short>(std::atoi(argv[1])), argv[2], options, &r);
    if (ui.questions.size() != 1 || ui.errors != 0) return 10;
    const std::string& q = ui.questions[0];
    if (!Has(q, "Qel-不能验证服务器的证书|主题: \nCN=localhost,") ||
        !Has(q, "\n发行者: \nCN=Update Test CA,") || !Has(q, "\n错误原因为: 不能创建证书链，是否继续 ?"))
        return 11;
    if (ok == 1) return r.body == "a" ? 1 : 12;
    return r.failedStep == SchannelStep::kCertificate ? 2 : 13;
}
