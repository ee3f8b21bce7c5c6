#include "util/hash_table.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

struct Entry {
    const void* key;
    int keyLength;
    void* value;
    std::uint32_t hash;
    Entry* next;
};

struct PoolBlock {
    PoolBlock* next;
    std::size_t size;
};

constexpr std::size_t kEntrySize = (sizeof(Entry) + 3) & ~static_cast<std::size_t>(3);
constexpr std::size_t kBlockPayloadBound = 65500;

// Fixed-size entries handed out from blocks that double in size up to ~64 KiB, so adding and
// removing entries seldom reaches the heap.
struct EntryPool {
    PoolBlock* blocks = nullptr;
    Entry* freeList = nullptr;
    int exponent = 4;
    std::size_t bytesLeft = 0;

    Entry* Take() {
        if (blocks && bytesLeft >= kEntrySize) {
            bytesLeft -= kEntrySize;
            return reinterpret_cast<Entry*>(reinterpret_cast<char*>(blocks + 1) + bytesLeft);
        }
        if (freeList) {
            Entry* entry = freeList;
            freeList = entry->next;
            return entry;
        }
        std::size_t payload = kEntrySize << exponent;
        auto* block = static_cast<PoolBlock*>(std::malloc(sizeof(PoolBlock) + payload));
        if (!block) return nullptr;
        if (payload < kBlockPayloadBound) ++exponent;
        block->next = blocks;
        block->size = payload;
        blocks = block;
        bytesLeft = payload - kEntrySize;
        return reinterpret_cast<Entry*>(reinterpret_cast<char*>(block + 1) + bytesLeft);
    }

    void Give(Entry* entry) {
        entry->next = freeList;
        freeList = entry;
    }

    void FreeAll() {
        while (blocks) {
            PoolBlock* next = blocks->next;
            std::free(blocks);
            blocks = next;
        }
        freeList = nullptr;
        bytesLeft = 0;
    }
};

inline void Mix(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c) {
    a -= b;
    a -= c;
    a ^= (c >> 13);
    b -= c;
    b -= a;
    b ^= (a << 8);
    c -= a;
    c -= b;
    c ^= (b >> 13);
    a -= b;
    a -= c;
    a ^= (c >> 12);
    b -= c;
    b -= a;
    b ^= (a << 16);
    c -= a;
    c -= b;
    c ^= (b >> 5);
    a -= b;
    a -= c;
    a ^= (c >> 3);
    b -= c;
    b -= a;
    b ^= (a << 10);
    c -= a;
    c -= b;
    c ^= (b >> 15);
}

inline std::uint32_t Word(const unsigned char* k) {
    return k[0] | (static_cast<std::uint32_t>(k[1]) << 8) | (static_cast<std::uint32_t>(k[2]) << 16) |
           (static_cast<std::uint32_t>(k[3]) << 24);
}

std::uint32_t Lookup2(const unsigned char* k, std::uint32_t length, std::uint32_t initval) {
    std::uint32_t a = 0x9E3779B9U, b = 0x9E3779B9U, c = initval;
    std::uint32_t len = length;
    while (len >= 12) {
        a += Word(k);
        b += Word(k + 4);
        c += Word(k + 8);
        Mix(a, b, c);
        k += 12;
        len -= 12;
    }
    c += length;
    switch (len) {  // the low byte of c is taken by the length
        case 11: c += static_cast<std::uint32_t>(k[10]) << 24; [[fallthrough]];
        case 10: c += static_cast<std::uint32_t>(k[9]) << 16; [[fallthrough]];
        case 9: c += static_cast<std::uint32_t>(k[8]) << 8; [[fallthrough]];
        case 8: b += static_cast<std::uint32_t>(k[7]) << 24; [[fallthrough]];
        case 7: b += static_cast<std::uint32_t>(k[6]) << 16; [[fallthrough]];
        case 6: b += static_cast<std::uint32_t>(k[5]) << 8; [[fallthrough]];
        case 5: b += k[4]; [[fallthrough]];
        case 4: a += static_cast<std::uint32_t>(k[3]) << 24; [[fallthrough]];
        case 3: a += static_cast<std::uint32_t>(k[2]) << 16; [[fallthrough]];
        case 2: a += static_cast<std::uint32_t>(k[1]) << 8; [[fallthrough]];
        case 1: a += k[0]; break;
        default: break;
    }
    Mix(a, b, c);
    return c;
}

}  // namespace

struct HashTable::Table {
    Entry** buckets = nullptr;
    int bits = 0;
    std::uint32_t mask = 0;
    int count = 0;
    // Position of the last lookup.
    std::uint32_t currentBucket = 0;
    Entry* currentEntry = nullptr;
    EntryPool pool;
    std::size_t bucketBytes = 0;
    // Iteration, kept apart from lookups so a Get inside a loop does not move it.
    int iterBucket = -1;
    Entry* lookahead = nullptr;

    Entry* Find(const void* key, int keyLength, std::uint32_t hash) {
        std::uint32_t bucket = hash & mask;
        for (Entry* e = buckets[bucket]; e; e = e->next) {
            if (e->hash == hash && e->keyLength == keyLength &&
                std::memcmp(e->key, key, static_cast<std::size_t>(keyLength)) == 0) {
                currentBucket = bucket;
                currentEntry = e;
                return e;
            }
        }
        return nullptr;
    }

    void Grow() {
        int newBits = bits + 1;
        std::size_t newSize = static_cast<std::size_t>(1) << newBits;
        auto** fresh = static_cast<Entry**>(std::calloc(newSize, sizeof(Entry*)));
        if (!fresh) return;  // keep the size and the entries
        std::uint32_t newMask = static_cast<std::uint32_t>(newSize - 1);
        for (std::size_t b = static_cast<std::size_t>(mask) + 1; b-- > 0;) {
            Entry* e = buckets[b];
            while (e) {
                Entry* next = e->next;
                std::uint32_t target = e->hash & newMask;
                e->next = fresh[target];
                fresh[target] = e;
                e = next;
            }
        }
        std::free(buckets);
        buckets = fresh;
        bits = newBits;
        mask = newMask;
        bucketBytes = newSize * sizeof(Entry*);
        iterBucket = -1;
        lookahead = nullptr;
        currentEntry = nullptr;
    }

    void* IterateFrom(int bucket) {
        for (; bucket >= 0; --bucket) {
            if (Entry* e = buckets[bucket]) {
                iterBucket = bucket;
                lookahead = e->next;
                return e->value;
            }
        }
        iterBucket = -1;
        lookahead = nullptr;
        return nullptr;
    }
};

std::uint32_t HashTable::Hash(const void* key, int keyLength) {
    const auto* k = static_cast<const unsigned char*>(key);
    if (keyLength == 4) return static_cast<std::uint32_t>(k[0] ^ k[1] ^ k[2] ^ k[3]);
    return Lookup2(k, static_cast<std::uint32_t>(keyLength), 0);
}

HashTable::HashTable(int bits) : m_table(nullptr) {
    if (bits < 0 || bits > 30) return;
    auto* table = new (std::nothrow) Table;
    if (!table) return;
    std::size_t size = static_cast<std::size_t>(1) << bits;
    table->buckets = static_cast<Entry**>(std::calloc(size, sizeof(Entry*)));
    if (!table->buckets) {
        delete table;
        return;
    }
    table->bits = bits;
    table->mask = static_cast<std::uint32_t>(size - 1);
    table->bucketBytes = size * sizeof(Entry*);
    m_table = table;
}

HashTable::~HashTable() {
    if (!m_table) return;
    m_table->pool.FreeAll();
    std::free(m_table->buckets);
    delete m_table;
}

int HashTable::Add(void* key, int keyLength, void* value) {
    if (!m_table || !key || !value || keyLength < 0) return 0;
    std::uint32_t hash = Hash(key, keyLength);
    if (m_table->Find(key, keyLength, hash)) return 0;
    Entry* entry = m_table->pool.Take();
    if (!entry) return 0;
    ++m_table->count;
    if (static_cast<std::uint32_t>(m_table->count) > m_table->mask + 1) m_table->Grow();
    entry->key = key;
    entry->keyLength = keyLength;
    entry->value = value;
    entry->hash = hash;
    std::uint32_t bucket = hash & m_table->mask;
    entry->next = m_table->buckets[bucket];
    m_table->buckets[bucket] = entry;
    m_table->currentBucket = bucket;
    m_table->currentEntry = entry;
    return 1;
}

void* HashTable::Get(void* key, int keyLength) {
    if (!m_table || !key || keyLength < 0) return nullptr;
    Entry* e = m_table->Find(key, keyLength, Hash(key, keyLength));
    return e ? e->value : nullptr;
}

int HashTable::Del(void* key, int keyLength) {
    if (!m_table || !key || keyLength < 0) return 0;
    Entry* e = m_table->Find(key, keyLength, Hash(key, keyLength));
    if (!e) return 0;
    Entry** link = &m_table->buckets[m_table->currentBucket];
    while (*link != e) link = &(*link)->next;
    *link = e->next;
    if (m_table->lookahead == e)
        m_table->lookahead = e->next;  // an iteration must not walk into the free list
    --m_table->count;
    m_table->currentEntry = m_table->buckets[m_table->currentBucket];
    m_table->pool.Give(e);
    return 1;
}

void* HashTable::First() {
    if (!m_table) return nullptr;
    return m_table->IterateFrom(static_cast<int>(m_table->mask));
}

void* HashTable::Next() {
    if (!m_table || m_table->iterBucket < 0) return nullptr;
    if (Entry* e = m_table->lookahead) {
        m_table->lookahead = e->next;
        return e->value;
    }
    return m_table->IterateFrom(m_table->iterBucket - 1);
}

int HashTable::Count() { return m_table ? m_table->count : 0; }

int HashTable::BucketCount() { return m_table ? static_cast<int>(m_table->mask + 1) : 0; }
