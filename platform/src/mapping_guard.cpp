// The SIGBUS guard of shared pages. The table is a fixed array of atomics, so the handler reads
// it without locks; mmap in a handler is not on POSIX's list, but on Linux it is a plain system
// call, and it is what display servers do for client-supplied shared memory.
#include "mapping_guard.h"

#include <signal.h>
#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>

namespace platform::detail {
namespace {

constexpr std::size_t kSlots = 4096;

struct Slot {
    std::atomic<std::uintptr_t> start{0};
    std::atomic<std::size_t> size{0};
};

Slot g_slots[kSlots];
struct sigaction g_previous;
std::once_flag g_installed;

void OnSigbus(int sig, siginfo_t* info, void* context) {
    const auto addr = reinterpret_cast<std::uintptr_t>(info != nullptr ? info->si_addr : nullptr);
    for (Slot& slot : g_slots) {
        const std::uintptr_t start = slot.start.load(std::memory_order_acquire);
        const std::size_t size = slot.size.load(std::memory_order_acquire);
        if (start != 0 && addr >= start && addr < start + size) {
            // Zero pages in place; the faulting access is repeated on them.
            ::mmap(reinterpret_cast<void*>(start), size, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
            return;
        }
    }
    if ((g_previous.sa_flags & SA_SIGINFO) != 0 && g_previous.sa_sigaction != nullptr) {
        g_previous.sa_sigaction(sig, info, context);
        return;
    }
    if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN &&
        g_previous.sa_handler != nullptr) {
        g_previous.sa_handler(sig);
        return;
    }
    // Not ours: the default action, when the faulting access is repeated.
    ::signal(SIGBUS, SIG_DFL);
}

void Install() {
    struct sigaction action;
    std::memset(&action, 0, sizeof(action));
    action.sa_sigaction = OnSigbus;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGBUS, &action, &g_previous);
}

}  // namespace

bool GuardMapping(void* addr, std::size_t size) {
    std::call_once(g_installed, Install);
    const auto start = reinterpret_cast<std::uintptr_t>(addr);
    for (Slot& slot : g_slots) {
        std::uintptr_t expected = 0;
        if (slot.start.load(std::memory_order_relaxed) == 0) {
            // Size first: a handler that sees the start must see a size too.
            slot.size.store(size, std::memory_order_release);
            if (slot.start.compare_exchange_strong(expected, start, std::memory_order_acq_rel)) return true;
        }
    }
    return false;
}

void UnguardMapping(void* addr) {
    const auto start = reinterpret_cast<std::uintptr_t>(addr);
    for (Slot& slot : g_slots) {
        std::uintptr_t expected = start;
        if (slot.start.compare_exchange_strong(expected, 0, std::memory_order_acq_rel)) return;
    }
}

}  // namespace platform::detail
