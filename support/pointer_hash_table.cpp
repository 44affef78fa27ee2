#include "support/pointer_hash_table.h"

#include <new>

#include "support/debug_log.h"

namespace {

constexpr uint32_t initial_capacity = 256;
constexpr uint32_t long_chain = 50;

inline uint32_t one_at_a_time_step(uint32_t h, unsigned char c) {
    h += c;
    h += h << 10;
    h ^= h >> 6;
    return h;
}

}  // namespace

// Jenkins's one-at-a-time hash with a fixed seed and the length mixed in after the bytes.
uint32_t hash_string(const char* s) {
    uint32_t h = 0x5D3B915Du;
    uint32_t n = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p != '\0'; ++p, ++n) {
        h = one_at_a_time_step(h, *p);
    }
    for (int shift = 0; shift < 32; shift += 8) {
        h = one_at_a_time_step(h, static_cast<unsigned char>((n >> shift) & 0xFF));
    }
    h += h << 3;
    h ^= h >> 11;
    h += h << 15;
    return h;
}

VoidPointerHashTable::VoidPointerHashTable(hash_thing_fn hash_thing, hash_key_fn hash_key,
                                           matches_fn thing_matches_key)
    : hash_thing(hash_thing), hash_key(hash_key), thing_matches_key(thing_matches_key) {
    buckets = new (std::nothrow) bucket_entry*[initial_capacity]();
    if (buckets == nullptr) {
        debug_log_line(1, "Error in VoidPointerHashTable(), initial table alloc failed.");
        return;
    }
    capacity = initial_capacity;
    mask = initial_capacity - 1;
}

VoidPointerHashTable::~VoidPointerHashTable() {
    for (uint32_t i = 0; i < capacity; ++i) {
        bucket_entry* entry = buckets[i];
        while (entry != nullptr) {
            bucket_entry* next = entry->next;
            delete entry;
            entry = next;
        }
    }
    delete[] buckets;
}

void VoidPointerHashTable::add(void* thing) {
    if (count > capacity / 2) {
        expand_hash_table();
    }
    if (buckets == nullptr) {
        return;  // the initial allocation failed and growing could not mend it
    }
    uint32_t h = hash_thing(thing);
    uint32_t index = h & mask;
    uint32_t found = 0;
    for (bucket_entry* entry = buckets[index]; entry != nullptr; entry = entry->next) {
        if (entry->thing == thing) {
            debug_log_line(1, "Error in VoidPointerHashTable::add(), attempt to add duplicate thing.");
            return;
        }
        ++found;
    }
    if (found > long_chain) {
        debug_log_line(1, "Error in VoidPointerHashTable::add(), found %d things in bucket %d.",
                     static_cast<int>(found), static_cast<int>(index));
    }
    buckets[index] = new bucket_entry{h, thing, buckets[index]};
    ++count;
}

void* VoidPointerHashTable::find(const void* key) const {
    if (buckets == nullptr) {
        return nullptr;
    }
    for (bucket_entry* entry = buckets[hash_key(key) & mask]; entry != nullptr; entry = entry->next) {
        if (thing_matches_key(entry->thing, key)) {
            return entry->thing;
        }
    }
    return nullptr;
}

int VoidPointerHashTable::remove(const void* thing) {
    if (buckets == nullptr) {
        return 0;
    }
    for (bucket_entry** link = &buckets[hash_thing(thing) & mask]; *link != nullptr; link = &(*link)->next) {
        if ((*link)->thing == thing) {
            bucket_entry* entry = *link;
            *link = entry->next;
            delete entry;
            --count;
            return 1;
        }
    }
    return 0;
}

void VoidPointerHashTable::expand_hash_table() {
    uint32_t new_capacity = capacity == 0 ? initial_capacity : 2 * capacity;
    bucket_entry** grown = new (std::nothrow) bucket_entry*[new_capacity]();
    if (grown == nullptr) {
        debug_log_line(1,
                     "Error in VoidPointerHashTable::expand_hash_table(), unable to allocate table of size %d.  "
                     "Using old table.",
                     static_cast<int>(new_capacity));
        return;
    }
    uint32_t new_mask = new_capacity - 1;
    // Re-link the entries by their stored hash; no callback runs and nothing is allocated per entry.
    for (uint32_t i = 0; i < capacity; ++i) {
        while (buckets[i] != nullptr) {
            bucket_entry* entry = buckets[i];
            buckets[i] = entry->next;
            entry->next = grown[entry->hash & new_mask];
            grown[entry->hash & new_mask] = entry;
        }
    }
    delete[] buckets;
    buckets = grown;
    capacity = new_capacity;
    mask = new_mask;
}
