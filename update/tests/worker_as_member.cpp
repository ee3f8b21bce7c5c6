// The update program's pipeline in client mode in a process of its own, for the test that runs it
// as a member of the client's group: works on the program folder <programDir>, answers every
// question with "yes" and writes what the dialog would show into <record>: the result line, then
// each message box's text on a line. Exit code: 1 the update was applied, 0 it was not, 20 bad
// arguments.
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "update_worker.h"

namespace {

class Recording : public quistral::UpdateSink {
public:
    void SetStatus(const std::string&) override {}
    void SetProgress(int) override {}
    void SetResult(const std::string& text) override {
        std::lock_guard<std::mutex> g(lock);
        result = text;
    }
    void Message(const std::string& text, const std::string&) override {
        std::lock_guard<std::mutex> g(lock);
        messages.push_back(text);
    }
    bool AskYesNo(const std::string&, const std::string&) override { return true; }
    void EnableStop() override {}
    void DisableClose() override {}
    void EnableClose(bool) override {}
    void CloseDialog() override {}

    std::mutex lock;
    std::string result;
    std::vector<std::string> messages;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return 20;
    Recording sink;
    quistral::UpdateConfig config;
    config.mode = quistral::UpdateMode::kClient;
    config.programDir = argv[1];
    config.timing.pollMs = 5;
    config.timing.serviceWaitMs = 2000;
    quistral::UpdateWorker worker(config, sink);
    const bool applied = worker.Run();
    std::lock_guard<std::mutex> g(sink.lock);
    std::ofstream record(argv[2], std::ios::binary);
    record << sink.result << "\n";
    for (const std::string& m : sink.messages) record << m << "\n";
    return applied ? 1 : 0;
}
