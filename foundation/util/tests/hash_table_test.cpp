#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "util/hash_table.h"

namespace {

void* V(int n) { return reinterpret_cast<void*>(static_cast<std::intptr_t>(n)); }
int N(void* v) { return static_cast<int>(reinterpret_cast<std::intptr_t>(v)); }

TEST(HashTableTest, FourByteKeysHashToByteXor) {
    unsigned char a[4] = {1, 2, 3, 4};
    unsigned char b[4] = {4, 3, 2, 1};
    EXPECT_EQ(HashTable::Hash(a, 4), static_cast<std::uint32_t>(1 ^ 2 ^ 3 ^ 4));
    EXPECT_EQ(HashTable::Hash(a, 4), HashTable::Hash(b, 4));
    HashTable table;
    ASSERT_EQ(table.Add(a, 4, V(1)), 1);
    ASSERT_EQ(table.Add(b, 4, V(2)), 1);
    EXPECT_EQ(N(table.Get(a, 4)), 1);
    EXPECT_EQ(N(table.Get(b, 4)), 2);
}

TEST(HashTableTest, OtherLengthsUseJenkinsLookup2) {
    // Reference values from an independent implementation of lookup2 (initial value 0).
    EXPECT_EQ(HashTable::Hash("", 0), 0xBD49D10DU);
    EXPECT_EQ(HashTable::Hash("a", 1), 0x29EEC818U);
    const char* text = "Four score and seven years ago";
    EXPECT_EQ(HashTable::Hash(text, static_cast<int>(std::strlen(text))), 0x50F2424BU);
}

TEST(HashTableTest, DuplicateKeyKeepsFirstValue) {
    HashTable table;
    char key[] = "session-1";
    EXPECT_EQ(table.Add(key, 9, V(10)), 1);
    EXPECT_EQ(table.Add(key, 9, V(20)), 0);
    EXPECT_EQ(N(table.Get(key, 9)), 10);
    EXPECT_EQ(table.Count(), 1);
}

TEST(HashTableTest, BadArgumentsAreRefused) {
    HashTable table;
    char key[] = "k";
    EXPECT_EQ(table.Add(nullptr, 1, V(1)), 0);
    EXPECT_EQ(table.Add(key, 1, nullptr), 0);
    EXPECT_EQ(table.Add(key, -1, V(1)), 0);
    EXPECT_EQ(table.Get(nullptr, 1), nullptr);
    EXPECT_EQ(table.Get(key, -1), nullptr);
    EXPECT_EQ(table.Del(key, 1), 0);
    EXPECT_EQ(table.Count(), 0);
    EXPECT_EQ(table.First(), nullptr);
    EXPECT_EQ(table.Next(), nullptr);
}

TEST(HashTableTest, GrowsPastBucketCountAndFindsEverything) {
    HashTable table(5);
    EXPECT_EQ(table.BucketCount(), 32);
    std::vector<std::string> keys;
    for (int i = 0; i < 33; ++i) keys.push_back("key-" + std::to_string(i));
    for (std::size_t i = 0; i < keys.size(); ++i)
        ASSERT_EQ(table.Add(keys[i].data(), static_cast<int>(keys[i].size()), V(static_cast<int>(i) + 1)), 1);
    EXPECT_EQ(table.BucketCount(), 64);
    EXPECT_EQ(table.Count(), 33);
    for (std::size_t i = 0; i < keys.size(); ++i)
        EXPECT_EQ(N(table.Get(keys[i].data(), static_cast<int>(keys[i].size()))), static_cast<int>(i) + 1);
}

TEST(HashTableTest, IterationVisitsBucketsFromLastDown) {
    HashTable table(2);  // 4 buckets; 4-byte keys land in bucket (xor & 3)
    unsigned char k0[4] = {0, 0, 0, 0}, k1[4] = {1, 0, 0, 0}, k3[4] = {3, 0, 0, 0}, k3b[4] = {0, 3, 0, 0};
    table.Add(k0, 4, V(100));
    table.Add(k3, 4, V(300));
    table.Add(k1, 4, V(101));
    table.Add(k3b, 4, V(301));  // front of bucket 3's chain
    std::vector<int> order;
    for (void* v = table.First(); v; v = table.Next()) order.push_back(N(v));
    EXPECT_EQ(order, (std::vector<int>{301, 300, 101, 100}));
}

TEST(HashTableTest, DeleteDuringIterationAndLookupsInsideLoop) {
    HashTable table;
    std::vector<std::string> keys;
    for (int i = 0; i < 200; ++i) keys.push_back("peer:" + std::to_string(i));
    for (std::size_t i = 0; i < keys.size(); ++i)
        table.Add(keys[i].data(), static_cast<int>(keys[i].size()), V(static_cast<int>(i) + 1));
    std::set<int> visited;
    std::set<int> deleted;
    for (void* v = table.First(); v; v = table.Next()) {
        int n = N(v);
        EXPECT_TRUE(visited.insert(n).second);
        // A lookup of some other key must not move the iteration.
        const int other = (n * 7) % 200;
        std::string& otherKey = keys.at(static_cast<std::size_t>(other));
        void* found = table.Get(otherKey.data(), static_cast<int>(otherKey.size()));
        EXPECT_EQ(found != nullptr, deleted.count(other + 1) == 0);
        if (n % 2 == 0) {
            deleted.insert(n);
            const std::string& mine = keys.at(static_cast<std::size_t>(n - 1));
            EXPECT_EQ(table.Del(const_cast<char*>(mine.data()), static_cast<int>(mine.size())), 1);
        }
    }
    EXPECT_EQ(visited.size(), 200U);
    EXPECT_EQ(table.Count(), 100);
}

TEST(HashTableTest, CountFollowsAddAndDelAgainstModel) {
    HashTable table(1);
    std::vector<std::string> keys;
    for (int i = 0; i < 500; ++i)
        keys.push_back(std::string(static_cast<std::size_t>(i % 17), 'x') + std::to_string(i));
    std::vector<bool> present(keys.size(), false);
    std::mt19937 rng(12345);
    int count = 0;
    for (int step = 0; step < 20000; ++step) {
        std::size_t i = rng() % keys.size();
        char* k = keys[i].data();
        int len = static_cast<int>(keys[i].size());
        if (rng() % 2) {
            EXPECT_EQ(table.Add(k, len, V(static_cast<int>(i) + 1)), present[i] ? 0 : 1);
            if (!present[i]) ++count;
            present[i] = true;
        } else {
            EXPECT_EQ(table.Del(k, len), present[i] ? 1 : 0);
            if (present[i]) --count;
            present[i] = false;
        }
        ASSERT_EQ(table.Count(), count);
    }
    for (std::size_t i = 0; i < keys.size(); ++i) {
        void* v = table.Get(keys[i].data(), static_cast<int>(keys[i].size()));
        EXPECT_EQ(v != nullptr, present[i]);
        if (v) {
            EXPECT_EQ(N(v), static_cast<int>(i) + 1);
        }
    }
}

}  // namespace
