// libFuzzer entry for the control device's requests against a running driver with one fake
// adapter. Byte 0 picks the control code, byte 1 the output length; the rest is the request
// record. Checked: the byte count never exceeds the output length and nothing is written past
// it (the output block has exactly that size, and the sanitizers watch its end).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "control_device.h"
#include "support/fake_nic.h"

namespace {

const DWORD kCodes[] = {0x80002000, 0x80002004, 0x80002008, 0x8000200c, 0x80002320, 0x80002328,
                        0x8000232c, 0x80002330, 0x80002334, 0x80002338, 0x8000233c, 0x80002348,
                        0x8000234c, 0x80002350, 0x80002354, 0x8000235c, 0x80002360, 0x80002364,
                        0x80002368, 0x8000237c, 0x80002384, 0x80002640, 0x80002644, 0x80002984,
                        0x80002988, 0x8000298c, 0x800024f8, 0x80002324, 0x80002500, 0x12345678};
constexpr std::size_t kCodeCount = sizeof(kCodes) / sizeof(kCodes[0]);

// The driver runs for the whole process: starting it per input would dwarf the request itself.
olvane::test::FakeDriver* g_driver = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_driver = new olvane::test::FakeDriver(1);
    if (!g_driver->running) {
        std::fprintf(stderr, "control request: the driver did not start\n");
        std::abort();
    }
    // Stops the driver's threads and removes its machine root when the run ends.
    std::atexit([] { delete g_driver; });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    olvane::TwFileObject fo{1, 100, 0};
    std::vector<std::uint8_t> in(data + 2, data + size);
    olvane::IoRequest req;
    req.code = kCodes[data[0] % kCodeCount];
    req.in = in.empty() ? nullptr : in.data();
    req.inLength = static_cast<DWORD>(in.size());
    req.outLength = data[1] == 0xFF ? 9028 : data[1];
    std::unique_ptr<std::uint8_t[]> out(new std::uint8_t[req.outLength > 0 ? req.outLength : 1]);
    const olvane::IoResult r = olvane::NdisFilterIoControl(&fo, req, out.get());
    if (r.bytes > req.outLength) {
        std::fprintf(stderr, "control request 0x%x: %u bytes for an output of %u\n",
                     static_cast<unsigned>(req.code), static_cast<unsigned>(r.bytes),
                     static_cast<unsigned>(req.outLength));
        std::abort();
    }
    olvane::NdisFilterCleanup(&fo);
    return 0;
}
