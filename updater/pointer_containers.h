// Two small containers of untyped pointers that never own what they hold: a vector that keeps its first
// 64 items inside the object, and a binary heap ordered by a comparison callback.
#pragma once

#include <cstdint>

class pointer_vector {
  public:
    static constexpr int32_t inline_capacity = 64;

    pointer_vector() = default;
    ~pointer_vector();
    pointer_vector(const pointer_vector&) = delete;
    pointer_vector& operator=(const pointer_vector&) = delete;

    // Stores `item` at index count, doubling the storage first when it is full.
    void append(void* item);

    // items[i] is valid for 0 <= i < count.
    void* inline_slots[inline_capacity] = {};
    void** items = inline_slots;
    int32_t capacity = inline_capacity;
    int32_t count = 0;
};

class pointer_heap {
  public:
    // compare(a, b) < 0 makes a leave the heap before b.
    using compare_fn = int (*)(const void* a, const void* b);

    explicit pointer_heap(compare_fn compare);
    ~pointer_heap();
    pointer_heap(const pointer_heap&) = delete;
    pointer_heap& operator=(const pointer_heap&) = delete;

    // A null item is refused and nothing changes.
    void push(void* item);
    // The item that compares least, or null when the heap is empty.
    void* pop();

    // Slot 0 is unused; the heap occupies slots 1 to count. The block has capacity + 2 slots.
    void** slots;
    int32_t capacity = 254;
    int32_t count = 0;
    compare_fn compare;
};
