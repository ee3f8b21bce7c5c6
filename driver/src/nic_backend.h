// What stands under a virtual adapter in place of NDIS: a device that gives us the frames the
// stack sends (Read) and takes the frames we indicate up (Write), with a carrier switch. The
// TAP device is the real one; tests use a fake.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>

namespace olvane {

class TwNicBackend {
public:
    virtual ~TwNicBackend() = default;
    // Readable when the stack sent a frame; -1 when the backend is fed another way (tests).
    virtual int Fd() const = 0;
    // One frame; <0 with errno (EBADFD/EIO: the link was removed); 0 for a read that gave no
    // frame (a malformed one, counted in DeviceFaults).
    virtual ssize_t Read(std::uint8_t* buffer, std::size_t size) = 0;
    // Frames of the last read not yet returned: Read gives them without waiting for Fd().
    virtual bool ReadPending() const { return false; }
    // One frame, after any frames held.
    virtual bool Write(const std::uint8_t* frame, std::size_t length) = 0;
    // One frame that may be held to go out with the next ones (merged into one write) until
    // FlushWrites or the next Write: for a caller with more frames in hand.
    virtual bool WriteHeld(const std::uint8_t* frame, std::size_t length) { return Write(frame, length); }
    virtual bool FlushWrites() { return true; }
    // Reads from the device that were dropped as malformed.
    virtual std::uint64_t DeviceFaults() const { return 0; }
    virtual bool SetCarrier(bool on) = 0;
    virtual const std::string& IfName() const = 0;
    virtual int IfIndex() const = 0;
};

using NicFactory = std::function<std::unique_ptr<TwNicBackend>(
    const std::string& ifName, const std::uint8_t* mac, std::uint32_t mtu, std::string* error)>;

// The TAP device (IFF_TAP | IFF_NO_PI | IFF_VNET_HDR, with checksum and TCP segmentation offload) named
// `ifName`, with the MAC and MTU given, carrier off and the link up. Null with *error on failure (needs
// CAP_NET_ADMIN).
std::unique_ptr<TwNicBackend> OpenTapDevice(const std::string& ifName, const std::uint8_t* mac,
                                            std::uint32_t mtu, std::string* error);

}  // namespace olvane
