// What the privileged service and its pipe clients share: the pipe's place, the access code and
// the reply texts. Header-only so that the engine's pipe client needs nothing else of the service.
//
// One request per connection: message 1 is the 10-byte access code, message 2 the command text
// (10 to 255 bytes), then at most one reply message.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/machine_root.h"

namespace service {

constexpr const char* kNetshPipeName = "NetshsvcPipe";
constexpr std::size_t kAccessCodeSize = 10;
constexpr std::size_t kCommandBufferSize = 256;  // a command has at most 255 bytes
constexpr std::size_t kMinCommandSize = 10;
constexpr std::size_t kMaxReplySize = 1024;

// Replies as they go on the wire: the three status texts with their terminating NUL, the
// fingerprint reply without one.
constexpr std::string_view kReplyDone{"netsh>", 7};
constexpr std::string_view kReplySetIpFail{"NetshSetipFail>", 16};
constexpr std::string_view kReplySetDnsFail{"NetshSetdnsFail>", 17};
// A route command the service refused or the kernel did not take.
constexpr std::string_view kReplyRouteFail{"NetshRoutefail>", 16};
constexpr std::string_view kReplyHardwareIdPrefix{"HardwareId>"};
// What the service sends its own pipe server at stop, in place of an access code.
constexpr std::string_view kExitCommand{"exitcmd"};

// The pipe's socket in the machine root's runtime folder.
inline std::string NetshPipePath() { return platform::RuntimeDir() + "/" + kNetshPipeName; }

// Writes the access code into `out` (kAccessCodeSize bytes). Built byte by byte so that the value
// never stands in the program as one string.
inline void FillAccessCode(std::uint8_t* out) {
    out[0] = 0x51;
    out[1] = 0xa7;
    out[2] = 0x0e;
    out[3] = 0xc3;
    out[4] = 0x2b;
    out[5] = 0x96;
    out[6] = 0x00;
    out[7] = 0xf4;
    out[8] = 0x6d;
    out[9] = 0x18;
}

}  // namespace service
