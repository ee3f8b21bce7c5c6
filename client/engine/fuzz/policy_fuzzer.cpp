// libFuzzer entry for the gateway's policy text: any text is parsed without fault, and every rule
// it yields is whole (a real range of ports, a direction, an action). Run:
//   engine_policy_fuzzer -max_len=4096 [corpus-dir]
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "engine/gateway_policy.h"

namespace {

engine::TwGatewayPolicy& Policy() {
    // One store for the whole run, in a folder of its own.
    static std::unique_ptr<engine::TwGatewayPolicy> policy = [] {
        char dir[] = "/tmp/qel-policy-fuzz-XXXXXX";
        const char* made = mkdtemp(dir);
        auto store = std::make_shared<platform::SettingsStore>(std::string(made ? made : "/tmp") + "/s.db");
        return std::make_unique<engine::TwGatewayPolicy>(store);
    }();
    return *policy;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    engine::TwGatewayPolicy& policy = Policy();
    if (!policy.ApplyPolicy(text.c_str())) std::abort();
    for (const engine::TwFilterRule& r : policy.Rules()) {
        if (r.beginPort > r.endPort || (r.beginPort == 0 && r.endPort == 0)) std::abort();
        if (r.direction != engine::TW_POLICY_DIR_IN && r.direction != engine::TW_POLICY_DIR_OUT) std::abort();
        if (r.action != engine::ACTION_BYPASS && r.action != engine::ACTION_DENY) std::abort();
    }
    engine::FirewallQuery q;
    q.protocol = 6;
    q.destinationPort = 80;
    policy.HandleFwPolicyCheck(q, 0);
    return 0;
}
