// HashTable: byte-string keys to opaque pointers, with iteration. No lock of its own: callers
// guard it. Keys are NOT copied: the key memory must stay valid and unchanged while its entry
// exists.
#pragma once
#include <cstdint>

class HashTable {
public:
    explicit HashTable(int bits = 5);  // 2^bits initial buckets
    ~HashTable();
    HashTable(const HashTable&) = delete;
    HashTable& operator=(const HashTable&) = delete;

    // 1 when added; 0 when the key is present (the old value stays), on a null key or value, a
    // negative length, or no memory.
    int Add(void* key, int keyLength, void* value);
    void* Get(void* key, int keyLength);  // null when absent or on bad arguments
    int Del(void* key, int keyLength);    // 1 when removed

    // Values from the last bucket down to bucket 0, each chain front to back; null at the end.
    // Deleting the value just returned is safe. An Add that grows the table ends the iteration.
    void* First();
    void* Next();
    int Count();

    int BucketCount();  // 2^bits (0 when there is no table)

    // 4-byte keys: XOR of their bytes; other lengths: Jenkins' lookup2 with initial value 0.
    static std::uint32_t Hash(const void* key, int keyLength);

private:
    struct Table;
    Table* m_table;
};
