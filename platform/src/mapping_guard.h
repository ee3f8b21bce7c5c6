// Internal: shared pages of files that other users may truncate. Touching a mapped page beyond
// the end of its file raises SIGBUS; for a page registered here, the handler puts a private zero
// page in its place instead, so the process lives on and the page's owner sees its contents
// vanish (a zero magic word) and reports the object as broken. Other SIGBUS faults go to the
// handler that was there before (by default: the process dies as usual).
#pragma once
#include <cstddef>

namespace platform::detail {

// Registers a page-aligned mapping of `size` bytes. false when the table is full (the mapping
// then stays unguarded; the caller should refuse it).
bool GuardMapping(void* addr, std::size_t size);
// Before munmap.
void UnguardMapping(void* addr);

}  // namespace platform::detail
