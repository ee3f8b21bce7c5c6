// libFuzzer entry for what the gateway delivers and what the virtual adapter sends: the bytes are
// split into SSR messages by the receive dispatcher (which never consumes more than it was given
// and never writes a frame outside 14..1,514 bytes into the ring), and taken as a captured frame
// by the ARP and DHCP answers (which read only within it). Run:
//   engine_delivery_fuzzer -max_len=20000 [corpus-dir]
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "datapath_fakes.h"
#include "engine/local_answers.h"
#include "engine/tunnel_data_path.h"

namespace {

struct Fixture {
    std::shared_ptr<platform::SettingsStore> store =
        std::make_shared<platform::SettingsStore>("/nonexistent/s.db");
    engine::TwGatewayPolicy policy{store};
    enginetest::FakePort port;
    enginetest::FakeSender sender;
    enginetest::FakeControl control;
    engine::EngineTiming timing;
    engine::TunnelDataPath path{port, policy, sender, control, timing};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Fixture f;
    // An exact copy, so that a read past the end is seen by the sanitizers.
    const std::vector<std::uint8_t> bytes(data, data + size);
    const std::size_t used = f.path.OnDelivery(bytes.data(), bytes.size());
    if (used > size) std::abort();
    for (const auto& w : f.port.m_written) {
        if (w.size() < 14 || w.size() > 1514) std::abort();
    }
    f.port.m_written.clear();
    f.control.control.clear();
    f.control.faults.clear();

    std::vector<std::uint8_t> reply(engine::kDhcpReplyRoom);
    std::size_t n = 0;
    const engine::ArpProxyInfo arp = engine::SetArpProxyInfo(0x020012C6, 0x00FFFFFF);
    if (size <= engine::kDhcpReplyRoom &&
        engine::BuildArpReply(arp, bytes.data(), bytes.size(), reply.data(), &n) ==
            engine::ArpResult::kAnswered &&
        n != size) {
        std::abort();
    }
    const engine::DhcpInfo dhcp = engine::SetDhcpInfo(0x020012C6, 0x00FFFFFF, 0x350012C6, 0, 0, 0);
    const engine::DhcpResult r = engine::BuildDhcpReply(dhcp, bytes.data(), bytes.size(), reply.data(), &n);
    if ((r == engine::DhcpResult::kOffer || r == engine::DhcpResult::kAck || r == engine::DhcpResult::kNak) &&
        (n < 342 || n > engine::kDhcpReplyRoom)) {
        std::abort();
    }
    return 0;
}
