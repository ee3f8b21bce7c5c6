// Client side of the driver's control device: one SOCK_SEQPACKET connection per handle, one
// request message and one reply message per control code.
#include "platform/filter_device.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/errors.h"
#include "platform/machine_root.h"

namespace platform {

namespace {

// Only an eventfd may serve as a doorbell: anything else passed here is closed unused.
bool IsEventFd(int fd) {
    char link[64] = {};
    char target[64] = {};
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = ::readlink(link, target, sizeof target - 1);
    return n > 0 && std::strcmp(target, "anon_inode:[eventfd]") == 0;
}

}  // namespace

namespace {

constexpr DWORD kErrorFileNotFound = 2;
constexpr DWORD kErrorAccessDenied = 5;
constexpr DWORD kErrorInvalidHandle = 6;
constexpr DWORD kErrorGenFailure = 31;
constexpr DWORD kErrorNotSupported = 50;
constexpr DWORD kErrorInvalidParameter = 87;
constexpr DWORD kErrorInsufficientBuffer = 122;
constexpr DWORD kErrorNotEnoughMemory = 8;
constexpr DWORD kErrorInternalError = 1359;
constexpr DWORD kErrorMoreData = 234;
// A reply is bounded by the largest output plus its header.
constexpr std::size_t kMaxReply = sizeof(TW_DEVICE_REPLY) + TW_DEVICE_MAX_BUFFER;

}  // namespace

std::string FilterDevicePath() {
    const std::string run = RuntimeDir();
    return run.empty() ? run : run + "/" + kFilterDeviceName;
}

DWORD WinErrorFromFilterStatus(DWORD status) {
    switch (status) {
        case STATUS_SUCCESS: return 0;
        case STATUS_BUFFER_TOO_SMALL: return kErrorInsufficientBuffer;
        case STATUS_NOT_SUPPORTED: return kErrorNotSupported;
        case STATUS_INVALID_PARAMETER:
        case STATUS_INVALID_PARAMETER_2: return kErrorInvalidParameter;
        case STATUS_INVALID_HANDLE: return kErrorInvalidHandle;
        case STATUS_ACCESS_DENIED: return kErrorAccessDenied;
        case STATUS_NO_MEMORY:
        case STATUS_INSUFFICIENT_RESOURCES: return kErrorNotEnoughMemory;
        case STATUS_INTERNAL_ERROR: return kErrorInternalError;
        case 0x80000005: return kErrorMoreData;  // buffer overflow warning
        default: return kErrorGenFailure;
    }
}

std::unique_ptr<FilterDevice> FilterDevice::Open(const std::string& path) {
    LocalPipeClient pipe = LocalPipeClient::Connect(path);
    if (!pipe.Connected()) {
        SetLastError(kErrorFileNotFound);
        return nullptr;
    }
    return std::unique_ptr<FilterDevice>(new FilterDevice(std::move(pipe)));
}

FilterDevice::~FilterDevice() { Close(); }

void FilterDevice::Close() {
    Unmap();
    m_pipe = LocalPipeClient();
}

void FilterDevice::Unmap() {
    if (m_mapped != nullptr) ::munmap(m_mapped, m_mappedSize);
    m_mapped = nullptr;
    m_mappedSize = 0;
    m_memFd.Reset();
    m_outBell.Reset();
    m_inBell.Reset();
}

// The driver reports "requested address + offset of the shared area"; the block is mapped where
// this process can have it, and the output is rewritten to the same offset within our mapping.
bool FilterDevice::AdoptSharedBlock(UniqueFd& memFd, const void* in, DWORD inLen, void* out, DWORD bytes) {
    struct stat st {};
    if (::fstat(memFd.Get(), &st) != 0 || st.st_size <= 0 || st.st_size > (64 << 20)) return false;
    const bool narrow = bytes < 8;
    int flags = MAP_SHARED;
#ifdef MAP_32BIT
    if (narrow) flags |= MAP_32BIT;
#endif
    void* p =
        ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ | PROT_WRITE, flags, memFd.Get(), 0);
    if (p == MAP_FAILED) return false;
    const auto base = reinterpret_cast<std::uintptr_t>(p);
    if (narrow && base > 0xFFFFFFFFu) {
        ::munmap(p, static_cast<std::size_t>(st.st_size));
        return false;
    }
    std::uint64_t requested = 0;
    if (in != nullptr && inLen >= 4) {
        DWORD r;
        std::memcpy(&r, in, 4);
        requested = r;
    }
    std::uint64_t reported = 0;
    std::memcpy(&reported, out, narrow ? 4 : 8);
    const std::uint64_t offset = reported - requested;
    if (offset >= static_cast<std::uint64_t>(st.st_size)) {
        ::munmap(p, static_cast<std::size_t>(st.st_size));
        return false;
    }
    Unmap();
    m_mapped = p;
    m_mappedSize = static_cast<std::size_t>(st.st_size);
    m_memFd = std::move(memFd);
    const std::uint64_t shared = base + offset;
    std::memcpy(out, &shared, narrow ? 4 : 8);
    return true;
}

BOOL FilterDevice::DeviceIoControl(DWORD code, const void* in, DWORD inLen, void* out, DWORD outLen,
                                   DWORD* returned) {
    if (returned != nullptr) *returned = 0;
    if (!m_pipe.Connected()) {
        SetLastError(kErrorInvalidHandle);
        return FALSE;
    }
    if (inLen > TW_DEVICE_MAX_BUFFER || outLen > TW_DEVICE_MAX_BUFFER || (inLen > 0 && in == nullptr) ||
        (outLen > 0 && out == nullptr)) {
        SetLastError(kErrorInvalidParameter);
        return FALSE;
    }
    TW_DEVICE_REQUEST req{TW_DEVICE_MAGIC, code, inLen, outLen};
    std::vector<std::uint8_t> msg(sizeof(req) + inLen);
    std::memcpy(msg.data(), &req, sizeof(req));
    if (inLen > 0) std::memcpy(msg.data() + sizeof(req), in, inLen);

    // The close-event code carries a handle value: here the number of our eventfd.
    int passFd = -1;
    if (code == IOCTL_SET_ADAPTER_CLOSE_EVENT && inLen >= 4) {
        std::uint64_t handle = 0;
        std::memcpy(&handle, in, inLen >= 8 ? 8 : 4);
        if (handle <= 0x7FFFFFFF && ::fcntl(static_cast<int>(handle), F_GETFD) >= 0)
            passFd = static_cast<int>(handle);
    }
    if (!m_pipe.Send(msg.data(), msg.size(), passFd)) {
        SetLastError(WinErrorFromErrno(errno));
        return FALSE;
    }
    std::vector<std::uint8_t> reply;
    UniqueFd receivedFd;
    std::vector<UniqueFd> bells;
    bool closed = false;
    if (!m_pipe.Receive(kMaxReply, -1, &reply, &receivedFd, &closed, &bells) || closed) {
        SetLastError(closed ? kErrorInvalidHandle : kErrorGenFailure);
        return FALSE;
    }
    TW_DEVICE_REPLY rep{};
    if (reply.size() < sizeof(rep)) {
        SetLastError(kErrorGenFailure);
        return FALSE;
    }
    std::memcpy(&rep, reply.data(), sizeof(rep));
    const std::size_t payload = reply.size() - sizeof(rep);
    if (rep.magic != TW_DEVICE_MAGIC || rep.bytesReturned > outLen || rep.bytesReturned != payload) {
        SetLastError(kErrorGenFailure);
        return FALSE;
    }
    if (rep.bytesReturned > 0) std::memcpy(out, reply.data() + sizeof(rep), rep.bytesReturned);
    m_lastStatus = rep.status;
    if (code == IOCTL_NDIS_FILTER_START_SHARE && receivedFd) {
        if (FilterStatusFailed(rep.status) || rep.bytesReturned < 4 ||
            !AdoptSharedBlock(receivedFd, in, inLen, out, rep.bytesReturned)) {
            if (!FilterStatusFailed(rep.status)) {
                m_lastStatus = STATUS_INTERNAL_ERROR;
                SetLastError(kErrorInternalError);
                return FALSE;
            }
        } else if (bells.size() == 2 && IsEventFd(bells[0].Get()) && IsEventFd(bells[1].Get())) {
            m_outBell = std::move(bells[0]);
            m_inBell = std::move(bells[1]);
        }
    }
    if (code == IOCTL_NDIS_FILTER_STOP_SHARE && !FilterStatusFailed(rep.status)) Unmap();
    if (returned != nullptr) *returned = rep.bytesReturned;
    if (FilterStatusFailed(rep.status)) {
        SetLastError(WinErrorFromFilterStatus(rep.status));
        return FALSE;
    }
    return TRUE;
}

}  // namespace platform
