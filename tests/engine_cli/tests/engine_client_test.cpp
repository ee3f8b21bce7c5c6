// qel_engine_client as the demo starts it, on a machine root of its own without the driver: it
// reaches the test gateway's hello only once the adapter is there, so here it must end with the
// logon failure, print every callback, keep the password out of its output, and refuse a
// password on its command line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>

#include "engine_client.h"
#include "testsupport/command.h"
#include "testsupport/temp_dir.h"

namespace qelcli {
namespace {

struct Outcome {
    int exitCode = -1;
    std::string output;
};

Outcome RunClient(const std::vector<std::string>& args, const std::vector<std::string>& env,
                  const std::string& folder) {
    const std::string program = testsupport::BinDir() + "/qel_engine_client";
    const std::string log = folder + "/client.log";
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    std::vector<std::string> environment = env;
    std::vector<char*> cenv;
    for (auto& e : environment) cenv.push_back(e.data());
    cenv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    Outcome outcome;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, cargv.data(), cenv.data()) == 0) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    outcome.output = text.str();
    return outcome;
}

TEST(EngineClientTest, WithoutTheAdapterTheLogonFailsAndSaysSo) {
    testsupport::TempDir root("qel-cli-root");
    const Outcome o =
        RunClient({"-server", "127.0.0.1", "-port", "9", "-user", "alice", "-timing",
                   "adapterPollMs=5,adapterEnableLimitMs=100,adapterRebindMs=20,adapterResetMs=40"},
                  {"QEL_ROOT=" + root.Path(), "QEL_CLIENT_PASSWORD=Very-Secret-1"}, root.Path());
    EXPECT_EQ(o.exitCode, kExitLogonFailed) << o.output;
    EXPECT_NE(o.output.find("callback 2"), std::string::npos) << o.output;
    EXPECT_NE(o.output.find("callback 1"), std::string::npos) << o.output;
    EXPECT_NE(o.output.find("client: not online"), std::string::npos) << o.output;
    EXPECT_EQ(o.output.find("Very-Secret-1"), std::string::npos) << "the password is in the output";
}

TEST(EngineClientTest, PasswordOnTheCommandLineIsRefused) {
    testsupport::TempDir root("qel-cli-root");
    const Outcome o = RunClient({"-server", "127.0.0.1", "-user", "alice", "-password", "Very-Secret-2"},
                                {"QEL_ROOT=" + root.Path()}, root.Path());
    EXPECT_EQ(o.exitCode, kExitUsage);
    EXPECT_NE(o.output.find("passwords are not taken from the command line"), std::string::npos) << o.output;
}

}  // namespace
}  // namespace qelcli
