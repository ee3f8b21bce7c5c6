// The installer helper's exports: the settings round trip, the setup name, the access rights and
// the pipe's bytes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <vector>

#include "caddow/caddow.h"
#include "caddow/qel_config.h"
#include "caddow/setup_name.h"
#include "platform/local_pipe.h"
#include "platform/service_control.h"
#include "platform/settings_store.h"
#include "service/netsh_pipe.h"
#include "testsupport/temp_root.h"
#include "testsupport/wait.h"

namespace {

using caddow::kClientKey;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class CaddowTest : public ::testing::Test {
protected:
    void SetUp() override {
        store = platform::SettingsStore::Machine();
        install = root.Path() + "/install";
        ASSERT_TRUE(platform::MakeDirs(install));
        ASSERT_EQ(store->SetString(kClientKey, "InstallDir", install), platform::kRegOk);
    }
    std::string ConfigFile() const { return install + "/QelConfig.ini"; }

    testsupport::TempRoot root{"caddow-test"};
    std::shared_ptr<platform::SettingsStore> store;
    std::string install;
};

TEST_F(CaddowTest, SettingsSurviveTheRoundTripThroughTheFile) {
    for (const auto& row : caddow::kConfigRows) {
        if (row.type == platform::REG_DWORD) {
            ASSERT_EQ(store->SetDword(kClientKey, row.key, 0xFFFFFF00u + static_cast<DWORD>(row.key[1])),
                      platform::kRegOk);
        } else {
            ASSERT_EQ(store->SetString(kClientKey, row.key, std::string("v-") + row.key + " ="),
                      platform::kRegOk);
        }
    }
    SaveQelConfig();
    struct stat st {};
    ASSERT_EQ(::stat(ConfigFile().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);  // it holds the scrambled passwords
    const std::string text = ReadFile(ConfigFile());
    EXPECT_NE(text.find("[SERVER]"), std::string::npos);
    EXPECT_NE(text.find("ServerPortNum=-"), std::string::npos);  // numbers as "%d"
    EXPECT_NE(text.find("QelPassword=v-QelPassword ="), std::string::npos);

    for (const auto& row : caddow::kConfigRows)
        ASSERT_EQ(store->DeleteValue(kClientKey, row.key), platform::kRegOk);
    RestoreQelConfig();
    for (const auto& row : caddow::kConfigRows) {
        if (row.type == platform::REG_DWORD) {
            DWORD v = 0;
            ASSERT_EQ(store->GetDword(kClientKey, row.key, &v), platform::kRegOk) << row.key;
            EXPECT_EQ(v, 0xFFFFFF00u + static_cast<DWORD>(row.key[1])) << row.key;
        } else {
            std::string v;
            ASSERT_EQ(store->GetString(kClientKey, row.key, &v), platform::kRegOk) << row.key;
            EXPECT_EQ(v, std::string("v-") + row.key + " =") << row.key;
        }
    }
    EXPECT_NE(::access(ConfigFile().c_str(), F_OK), 0);
}

TEST_F(CaddowTest, SaveWritesOnlyPresentValuesAndRestoreSkipsMalformedNumbers) {
    ASSERT_EQ(store->SetString(kClientKey, "ServerAddr", "gw.example.net"), platform::kRegOk);
    SaveQelConfig();
    const std::string text = ReadFile(ConfigFile());
    EXPECT_EQ(text.find("ProxyAddr"), std::string::npos);
    EXPECT_EQ(text.find("[USER]"), std::string::npos);

    std::ofstream(ConfigFile(), std::ios::app)
        << "[USER]\nRemId=12x\nAutoExec=1\nNoResourcePage=99999999999\n";
    ASSERT_EQ(store->DeleteValue(kClientKey, "ServerAddr"), platform::kRegOk);
    RestoreQelConfig();
    std::string addr;
    EXPECT_EQ(store->GetString(kClientKey, "ServerAddr", &addr), platform::kRegOk);
    EXPECT_EQ(addr, "gw.example.net");
    DWORD v = 0;
    EXPECT_EQ(store->GetDword(kClientKey, "AutoExec", &v), platform::kRegOk);
    EXPECT_EQ(v, 1u);
    EXPECT_EQ(store->GetDword(kClientKey, "RemId", &v), platform::kRegFileNotFound);
    EXPECT_EQ(store->GetDword(kClientKey, "NoResourcePage", &v), platform::kRegFileNotFound);
}

TEST_F(CaddowTest, RestoreWithoutTheFileChangesNothing) {
    ASSERT_EQ(store->SetString(kClientKey, "ServerAddr", "kept"), platform::kRegOk);
    RestoreQelConfig();
    std::string addr;
    EXPECT_EQ(store->GetString(kClientKey, "ServerAddr", &addr), platform::kRegOk);
    EXPECT_EQ(addr, "kept");
    EXPECT_NE(::access(ConfigFile().c_str(), F_OK), 0);
    // A planted link is not a settings file either, and is not followed.
    ASSERT_EQ(::symlink("/etc/hostname", ConfigFile().c_str()), 0);
    RestoreQelConfig();
    EXPECT_EQ(store->GetString(kClientKey, "ServerAddr", &addr), platform::kRegOk);
    EXPECT_EQ(addr, "kept");
    SaveQelConfig();
    EXPECT_NE(ReadFile("/etc/hostname").find("kept"), 0u);
}

TEST_F(CaddowTest, SetInstIPConfigStoresAddressAndPortForTheClientAndTheUpdate) {
    EXPECT_EQ(SetInstIPConfig(L"Setup_IP_10.1.2.3_PORT_4433.exe"), 1);
    std::string addr;
    DWORD port = 0;
    EXPECT_EQ(store->GetString(kClientKey, "ServerAddr", &addr), platform::kRegOk);
    EXPECT_EQ(addr, "10.1.2.3");
    EXPECT_EQ(store->GetString(kClientKey, "UpdateServerAddr", &addr), platform::kRegOk);
    EXPECT_EQ(addr, "10.1.2.3");
    EXPECT_EQ(store->GetDword(kClientKey, "ServerPortNum", &port), platform::kRegOk);
    EXPECT_EQ(port, 4433u);
    EXPECT_EQ(store->GetDword(kClientKey, "UpdateServerPort", &port), platform::kRegOk);
    EXPECT_EQ(port, 4433u);
    EXPECT_EQ(SetInstIPConfig(L"Setup_IP_1.2.3_PORT_443.exe"), 0);
    EXPECT_EQ(SetInstIPConfig(nullptr), 0);
    ASSERT_EQ(store->DeleteKey(kClientKey), platform::kRegOk);
    EXPECT_EQ(SetInstIPConfig(L"Setup_IP_10.1.2.3_PORT_4433.exe"), 0);  // the settings key must exist
}

TEST(SetupNameTest, EdgeCases) {
    struct Case {
        const char* name;
        bool ok;
        const char* address;
        std::uint32_t port;
    };
    const Case cases[] = {
        {"Setup_IP_10.1.2.3_PORT_4433.exe", true, "10.1.2.3", 4433},
        {"Setup_IP_gw_PORT_x.example_PORT_443.exe", true, "gw_PORT_x.example", 443},  // the last _PORT_
        {"Setup_IP_10.1.2.3_PORT_65535", true, "10.1.2.3", 65535},
        {"Setup_IP_10.1.2.3_PORT_00443x", true, "10.1.2.3", 443},
        {"Setup_IP_1.2.3_PORT_443.exe", false, "", 0},            // 5 characters
        {"Setup_IP_1.2.3.4_PORT_443.exe", true, "1.2.3.4", 443},  // 7 characters
        {"Setup_IP_10.1.2.3_PORT_0.exe", false, "", 0},
        {"Setup_IP_10.1.2.3_PORT_.exe", false, "", 0},
        {"Setup_IP_10.1.2.3_PORT_65536.exe", false, "", 0},
        {"Setup_IP_10.1.2.3_PORT_4294967739.exe", false, "", 0},  // 2^32 + 443 must not wrap to 443
        {"Setup_IP_10.1.2.3_PORT_99999999999999999999443", false, "", 0},
        {"Setup_10.1.2.3_PORT_443.exe", false, "", 0},
        {"Setup_IP_10.1.2.3_443.exe", false, "", 0},
        {"Setup_PORT_443_IP_10.1.2.3.exe", false, "", 0},
        {"Setup_IP_10.1.2\n3_PORT_443.exe", false, "", 0},
    };
    for (const Case& c : cases) {
        std::string address;
        std::uint32_t port = 0;
        EXPECT_EQ(caddow::ParseSetupFileName(c.name, &address, &port), c.ok) << c.name;
        if (c.ok) {
            EXPECT_EQ(address, c.address) << c.name;
            EXPECT_EQ(port, c.port) << c.name;
        }
    }
    EXPECT_EQ(caddow::NarrowSetupName(L"a\u00e9b"), "a?b");
    EXPECT_EQ(caddow::NarrowSetupName(std::wstring(400, L'x').c_str()).size(), 255u);
}

TEST(SetupNameTest, ConfigNumbers) {
    std::uint32_t v = 0;
    EXPECT_TRUE(caddow::ParseConfigNumber("0", &v));
    EXPECT_EQ(v, 0u);
    EXPECT_TRUE(caddow::ParseConfigNumber("-1", &v));
    EXPECT_EQ(v, 0xFFFFFFFFu);
    EXPECT_TRUE(caddow::ParseConfigNumber("-2147483648", &v));
    EXPECT_EQ(v, 0x80000000u);
    EXPECT_TRUE(caddow::ParseConfigNumber("4294967295", &v));
    EXPECT_EQ(v, 0xFFFFFFFFu);
    for (const char* bad : {"", "-", "4294967296", "-2147483649", "1 ", " 1", "+1", "0x10", "12345678901"})
        EXPECT_FALSE(caddow::ParseConfigNumber(bad, &v)) << bad;
}

// Random and truncated names: never a crash, and whatever is accepted keeps the rules.
TEST(SetupNameTest, RandomAndTruncatedInput) {
    std::mt19937 rng(18);
    const std::string alphabet = "_IPORT0123456789.ex\n-";
    for (int i = 0; i < 20000; ++i) {
        std::string name = "Setup_IP_10.1.2.3_PORT_4433.exe";
        if (i % 2 == 0) name.resize(rng() % (name.size() + 1));
        const int edits = static_cast<int>(rng() % 6);
        for (int e = 0; e < edits && !name.empty(); ++e)
            name[rng() % name.size()] = alphabet[rng() % alphabet.size()];
        std::string address;
        std::uint32_t port = 0;
        if (caddow::ParseSetupFileName(name, &address, &port)) {
            EXPECT_GT(address.size(), 6u);
            EXPECT_GE(port, 1u);
            EXPECT_LE(port, 65535u);
            EXPECT_EQ(address.find('\n'), std::string::npos);
        }
        std::uint32_t v = 0;
        caddow::ParseConfigNumber(name, &v);
    }
}

TEST_F(CaddowTest, UpdateFileAclGrantsReadAndWriteButNeverExecuteOrSetId) {
    const std::string file = root.Path() + "/program";
    std::ofstream(file) << "x";
    ASSERT_EQ(::chmod(file.c_str(), 06755), 0);
    EXPECT_EQ(UpdateFileAcl(file.c_str()), 1);
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666u);
    const std::string link = root.Path() + "/link";
    ASSERT_EQ(::symlink(file.c_str(), link.c_str()), 0);
    EXPECT_EQ(UpdateFileAcl(link.c_str()), 0);
    EXPECT_EQ(UpdateFileAcl(root.Path().c_str()), 0);
    EXPECT_EQ(UpdateFileAcl((root.Path() + "/missing").c_str()), 0);
    EXPECT_EQ(UpdateFileAcl(nullptr), 0);
}

TEST_F(CaddowTest, UpdateServiceAclOpensNothing) {
    EXPECT_EQ(UpdateServiceAcl("Lunther"), 0);
    platform::ServiceConfig config;
    config.binaryPath = "/bin/true";
    ASSERT_EQ(platform::InstallService("Lunther", config), platform::kErrorSuccess);
    std::vector<std::string> before;
    ASSERT_EQ(store->EnumValues("SYSTEM\\CurrentControlSet\\Services\\Lunther", &before), platform::kRegOk);
    EXPECT_EQ(UpdateServiceAcl("Lunther"), 1);
    std::vector<std::string> after;
    ASSERT_EQ(store->EnumValues("SYSTEM\\CurrentControlSet\\Services\\Lunther", &after), platform::kRegOk);
    EXPECT_EQ(before, after);
    EXPECT_EQ(UpdateServiceAcl(nullptr), 0);
}

TEST_F(CaddowTest, SmallQuestions) {
    EXPECT_EQ(IsNTFS("C"), 0);
    EXPECT_EQ(IsNTFS(root.Path().c_str()), 0);
    EXPECT_EQ(IsNTFS(nullptr), 0);
    EXPECT_EQ(DetectNetworkAdapters(), 0);
}

// A pipe that records what a client sends and answers like the service.
class RecordingPipe : public platform::LocalPipeServer::Handler {
public:
    void OnRequest(platform::PipeRequest& request, platform::PipeReply* reply) override {
        std::lock_guard<std::mutex> g(lock);
        messages.emplace_back(request.data.begin(), request.data.end());
        if (messages.size() % 2 == 0)
            reply->data.assign(service::kReplyDone.begin(), service::kReplyDone.end());
    }
    std::size_t Count() {
        std::lock_guard<std::mutex> g(lock);
        return messages.size();
    }
    std::mutex lock;
    std::vector<std::string> messages;
};

TEST_F(CaddowTest, SendCmdToNetshSendsTheAccessCodeThenStartClient) {
    EXPECT_EQ(SendCmdToNetsh(), 0);  // no pipe: still 0, and at once
    RecordingPipe handler;
    platform::LocalPipeServer server(handler, platform::PeerPolicy::RootOrSelf());
    ASSERT_TRUE(server.Start(service::NetshPipePath()));
    EXPECT_EQ(SendCmdToNetsh(), 0);
    ASSERT_TRUE(testsupport::WaitFor("two messages on the pipe", [&] { return handler.Count() >= 2; }));
    server.Stop();
    std::uint8_t code[service::kAccessCodeSize];
    service::FillAccessCode(code);
    ASSERT_EQ(handler.messages.size(), 2u);
    EXPECT_EQ(handler.messages[0], std::string(reinterpret_cast<const char*>(code), sizeof(code)));
    EXPECT_EQ(handler.messages[1], "StartClient\n");
}

}  // namespace
