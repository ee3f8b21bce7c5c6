// A browser logon to a gateway the user never used asks first: known gateways (the settings' one
// and the history's) go ahead without a question, any other is shown to the user, and "no" ends
// the browser logon.
#include <gtest/gtest.h>

#include "platform/settings_store.h"
#include "testsupport/temp_dir.h"
#include "vorn/dialogs/gateway_history.h"
#include "vorn/text_source.h"
#include "vorn/web_logon_gateway.h"

namespace vorn {
namespace {

class RecordingPrompter final : public Prompter {
public:
    void Message(const std::string& text, const std::string&, BoxIcon) override { messages.push_back(text); }
    bool AskYesNo(const std::string& text, const std::string&, BoxIcon) override {
        questions.push_back(text);
        return answer;
    }
    std::vector<std::string> messages, questions;
    bool answer = false;
};

class WebLogonGatewayTest : public ::testing::Test {
protected:
    WebLogonGatewayTest() : store(dir.File("settings.db")) {
        store.SetString(kClientKey, "InstallDir", dir.Path());
        store.SetString(kClientKey, "ServerAddr", "Gw.Example");
        store.SetDword(kClientKey, "ServerPortNum", 8443);
        GatewayHistory history;
        HistoryRecord record;
        record.user = "bob";
        record.server = "https://old.example:4433";
        history.Update(record);
        record.server = "plain.example";
        history.Update(record);
        std::string error;
        EXPECT_TRUE(SaveHistoryFile(dir.Path(), history, &error)) << error;
    }
    bool Confirm(const std::string& address, const std::string& port) {
        return ConfirmWebLogonGateway(store, prompter, "caption", false, address, port);
    }

    testsupport::TempDir dir{"vorn-web-logon"};
    platform::SettingsStore store;
    RecordingPrompter prompter;
};

TEST_F(WebLogonGatewayTest, KnownGatewaysGoAheadWithoutAQuestion) {
    EXPECT_TRUE(Confirm("gw.example", "8443"));
    EXPECT_TRUE(Confirm("old.example", "4433"));
    EXPECT_TRUE(Confirm("PLAIN.example", "443"));
    EXPECT_TRUE(prompter.questions.empty());
}

TEST_F(WebLogonGatewayTest, AnyOtherGatewayIsPutToTheUser) {
    for (const auto& [address, port] :
         std::vector<std::pair<std::string, std::string>>{{"evil.example", "443"},
                                                          {"gw.example", "443"},
                                                          {"old.example", "443"},
                                                          {"gw.example", "08443x"},
                                                          {"gw.example.evil.example", "8443"},
                                                          {"", "8443"}}) {
        prompter.questions.clear();
        prompter.answer = false;
        EXPECT_FALSE(Confirm(address, port)) << address << ":" << port;
        ASSERT_EQ(prompter.questions.size(), 1u) << address << ":" << port;
        EXPECT_NE(prompter.questions[0].find(address + ":" + port), std::string::npos)
            << prompter.questions[0];
    }
    prompter.answer = true;
    EXPECT_TRUE(Confirm("evil.example", "443"));
    EXPECT_EQ(prompter.questions.size(), 2u);

    // Without a history (missing, or not readable as one) only the settings' gateway is known.
    store.SetString(kClientKey, "InstallDir", dir.File("nowhere"));
    prompter.answer = false;
    EXPECT_FALSE(Confirm("old.example", "4433"));
    EXPECT_TRUE(Confirm("gw.example", "8443"));
}

// Any page can name the gateway in use: while a session is online, a browser logon that would
// end it is put to the user, naming both gateways, known or not.
TEST_F(WebLogonGatewayTest, ABrowserLogonThatWouldEndTheSessionIsPutToTheUser) {
    EXPECT_EQ(GatewayInUse(store), "") << "no session";
    store.SetDword(kClientKey, "SessionId", 4711);
    ASSERT_EQ(GatewayInUse(store), "Gw.Example:8443");
    for (const auto& [address, port] : std::vector<std::pair<std::string, std::string>>{
             {"gw.example", "8443"}, {"old.example", "4433"}, {"evil.example", "443"}}) {
        prompter.questions.clear();
        EXPECT_FALSE(
            ConfirmWebLogonGateway(store, prompter, "caption", false, address, port, GatewayInUse(store)))
            << address;
        ASSERT_EQ(prompter.questions.size(), 1u) << address;
        const std::string& q = prompter.questions[0];
        EXPECT_NE(q.find("gateway " + address + ":" + port), std::string::npos) << q;
        EXPECT_NE(q.find("ends your session with the gateway Gw.Example:8443"), std::string::npos) << q;
        EXPECT_EQ(q.find("never logged on") != std::string::npos, address == "evil.example") << q;
    }
    prompter.answer = true;
    EXPECT_TRUE(
        ConfirmWebLogonGateway(store, prompter, "caption", true, "gw.example", "8443", "Gw.Example:8443"));
    EXPECT_NE(prompter.questions.back().find("Gw.Example:8443"), std::string::npos);
}

}  // namespace
}  // namespace vorn
