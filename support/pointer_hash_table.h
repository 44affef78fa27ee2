// A chained hash table over things it does not own. What a thing is, how keys hash and how a thing
// matches a key are given by three callbacks; equal keys must hash equally.
#pragma once

#include <cstdint>

uint32_t hash_string(const char* s);

class VoidPointerHashTable {
public:
    using hash_thing_fn = uint32_t (*)(const void* thing);
    using hash_key_fn = uint32_t (*)(const void* key);
    using matches_fn = int (*)(const void* thing, const void* key);

    VoidPointerHashTable(hash_thing_fn hash_thing, hash_key_fn hash_key, matches_fn thing_matches_key);
    ~VoidPointerHashTable();
    VoidPointerHashTable(const VoidPointerHashTable&) = delete;
    VoidPointerHashTable& operator=(const VoidPointerHashTable&) = delete;

    // Adds `thing` (a pointer already held is refused with a message). Grows the table first when the
    // count exceeds half the buckets.
    void add(void* thing);
    // The thing nearest the head of the key's chain that matches `key`, or null.
    void* find(const void* key) const;
    // 1 if the entry holding exactly `thing` was removed, 0 if the table did not hold it.
    int remove(const void* thing);

    uint32_t bucket_count() const { return capacity; }
    uint32_t size() const { return count; }

private:
    struct bucket_entry {
        uint32_t hash;
        void* thing;
        bucket_entry* next;
    };

    void expand_hash_table();

    bucket_entry** buckets = nullptr;
    uint32_t capacity = 0;
    uint32_t mask = 0;
    uint32_t count = 0;
    hash_thing_fn hash_thing;
    hash_key_fn hash_key;
    matches_fn thing_matches_key;
};
