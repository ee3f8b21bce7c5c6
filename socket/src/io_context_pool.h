// IO contexts and their pool. A receive context carries one chunk read from a socket on its way
// from the I/O workers to the dispatch workers; a send context carries the queued messages whose
// bytes are being written. Freed contexts are kept for reuse; a trim gives memory back only when
// more than a dozen exist and two thirds of them lie idle, and then half of the idle ones.
#pragma once
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "util/fifo.h"
#include "util/shared_object.h"

namespace prendle {

// queued send messages are FIFO_MSG records (util/fifo.h)

struct IoContext {
    enum Kind : std::uint32_t { kReceive = 0, kSend = 1 };
    Kind kind = kReceive;
    std::uint32_t sequence = 0;
    SharedObjectPtr<SharedObject> connection;
    std::uint32_t bytes = 0;
};

struct RecvContext : IoContext {
    static constexpr std::size_t kBufferSize = 33280;
    char data[kBufferSize];
};

struct SendContext : IoContext {
    static constexpr int kMaxBuffers = 4;
    FIFO_MSG* messages[kMaxBuffers] = {};
    int count = 0;
    std::size_t total = 0;
    std::size_t sent = 0;
    bool disconnectAfter = false;
};

class IoContextPool {
public:
    static constexpr std::size_t kInitial = 4;
    static constexpr std::size_t kTrimFloor = 12;

    IoContextPool();
    ~IoContextPool();
    IoContextPool(const IoContextPool&) = delete;
    IoContextPool& operator=(const IoContextPool&) = delete;

    RecvContext* GetRecv();  // null when out of memory
    void ReturnRecv(RecvContext* context);
    SendContext* GetSend();
    void ReturnSend(SendContext* context);  // frees the messages it still carries

    // One trim pass over both kinds.
    void Trim();

    // Contexts in existence (free or in use) and free ones, per kind (tests, diagnostics).
    std::size_t RecvCreated();
    std::size_t RecvFree();
    std::size_t SendCreated();

private:
    template <class T>
    struct FreeList {
        std::mutex lock;
        std::vector<T*> free;
        std::size_t created = 0;
    };
    template <class T>
    static T* Take(FreeList<T>& list);
    template <class T>
    static void TrimList(FreeList<T>& list);

    FreeList<RecvContext> m_recv;
    FreeList<SendContext> m_send;
};

}  // namespace prendle
