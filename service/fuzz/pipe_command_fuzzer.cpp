// libFuzzer entry for the pipe's command protocol: the input is the command after a valid access
// code (its first byte picks route-text parsing instead). Whatever comes in, the reply is one of the
// protocol's and nothing is asked of the machine for a command outside 10 to 255 bytes. Run:
//   service_pipe_command_fuzzer -max_len=512 [corpus-dir]
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "service/netsh_command.h"
#include "service/netsh_pipe.h"

namespace {

class CountingOperations final : public service::NetshOperations {
public:
    void SetDisableDefRoute(DWORD, int) override { ++calls; }
    void EnableAdapter(bool) override { ++calls; }
    int ChangeAdapteLevel() override { return ++calls, 1; }
    std::string GetHardwareID() override { return ++calls, "fp"; }
    void SetAutoExec() override { ++calls; }
    void NotSetAutoExec() override { ++calls; }
    void SetDnsByNetshCmd(const std::string&, const std::string&, DWORD) override { ++calls; }
    service::SetIpResult SetIP(const std::string&, const std::string&, const std::string&,
                               const std::string&) override {
        return ++calls, service::SetIpResult::kDone;
    }
    void StartClient() override { ++calls; }
    DWORD AddRoute(const service::RouteRecord&) override { return ++calls, 0; }
    DWORD DeleteRoute(const service::RouteRecord&) override { return ++calls, 0; }
    DWORD SetRoute(const service::RouteRecord&) override { return ++calls, 0; }
    void FlushNeighbours() override { ++calls; }
    void FlushDns() override { ++calls; }
    void ResetAdapterAddress() override { ++calls; }
    void UseDhcpAddress(DWORD) override { ++calls; }
    int calls = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CountingOperations ops;
    service::NetshPipeSession session(ops);
    std::uint8_t code[service::kAccessCodeSize];
    service::FillAccessCode(code);
    session.OnMessage(code, sizeof(code));
    const auto action = session.OnMessage(data, size);
    const std::string reply(action.reply.begin(), action.reply.end());
    const bool known = reply.empty() || reply == service::kReplyDone || reply == service::kReplySetIpFail ||
                       reply == service::kReplySetDnsFail || reply == service::kReplyRouteFail ||
                       reply.rfind(service::kReplyHardwareIdPrefix, 0) == 0;
    const bool outOfRange = size < service::kMinCommandSize || size >= service::kCommandBufferSize;
    if (!known || !action.hangUp || (outOfRange && ops.calls != 0)) {
        std::fprintf(stderr, "unexpected answer to a command of %zu bytes\n", size);
        std::abort();
    }
    service::RouteRecord record;
    std::string error;
    if (!service::PhaseRouteCmd(std::string(reinterpret_cast<const char*>(data), size), &record, &error) &&
        error.empty()) {
        std::abort();
    }
    return 0;
}
