// The update check before a logon in a process of its own, for the test that runs it as a member
// of the client's group: checks https://localhost:<port> for a client of version <version> whose
// program folder is <programDir>, answers every question with "no". Says on standard error what
// it was asked and shown. Exit code: 1 asked once whether to update (237) and let the logon go on,
// 2 an update program was taken as running, 10 and up for anything else.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "glimrow/client_update_check.h"

namespace {

class AnsweringNo : public ClientUpdateUi {
public:
    void ShowCheckText(int) override {}
    bool AskYesNo(int stringId) override {
        asked.push_back(stringId);
        return false;
    }
    void ShowMessage(int stringId) override { shown.push_back(stringId); }
    void Pump() override {}
    std::vector<int> asked;
    std::vector<int> shown;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) return 20;
    AnsweringNo ui;
    ClientUpdateTiming timing;
    timing.pumpMs = 5;
    timing.limitMs = 20000;
    ClientUpdateRequest request;
    request.server = "localhost";
    request.port = static_cast<unsigned short>(std::atoi(argv[1]));
    request.programDir = argv[2];
    request.version = argv[3];
    request.clientArgs = {"-logon", "alice"};
    request.password = "secret";
    std::atomic<bool> cancel{false};
    int result = 0;
    TwClientUpdateCheck check(ui, timing);
    if (TwClientUpdateCheck::UpdateProgramRunning(request.programDir)) return 2;
    const bool goOn = check.Run(request, cancel, &result);
    for (int id : ui.asked) std::fprintf(stderr, "asked %d\n", id);
    for (int id : ui.shown) std::fprintf(stderr, "shown %d\n", id);
    std::fprintf(stderr, "go on %d, result %d\n", goOn ? 1 : 0, result);
    if (ui.asked != std::vector<int>{237}) return 10;
    if (!ui.shown.empty()) return 11;
    return goOn && result == 0 ? 1 : 12;
}
