// The attacker's side of the system tests: opens the driver's control device, takes the packet
// ring (START_SHARE) and holds it until it is ended by a signal, printing "held" or "refused".
// Meant to run as another user (setpriv) in pc, with pc's machine root.
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "platform/filter_device.h"

int main() {
    auto dev = platform::FilterDevice::Open();
    if (dev == nullptr) {
        std::printf("refused: the control device did not open\n");
        return 2;
    }
    DWORD size = 0, returned = 0;
    dev->DeviceIoControl(IOCTL_NDIS_FILTER_PUT_SHAREDMEMORYSIZE, nullptr, 0, &size, 4, &returned);
    const bool wide = size != sizeof(TW_MAPPED_BLOCK32);
    DWORD address = 0x20000000;
    std::uint64_t shared = 0;
    const bool held =
        wide ? dev->DeviceIoControl(IOCTL_NDIS_FILTER_START_SHARE, &address, 4, &shared, 8, &returned)
             : dev->DeviceIoControl(IOCTL_NDIS_FILTER_START_SHARE, nullptr, 0, &address, 4, &returned);
    std::printf("%s\n", held ? "held" : "refused");
    std::fflush(stdout);
    if (!held) return 1;
    for (;;) ::pause();  // the handle (and the ring) goes with the process
}
