#include "updater/pointer_containers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace {

int descending_bytes(const void* a, const void* b) {
    return strcmp(static_cast<const char*>(b), static_cast<const char*>(a));
}

int ascending_numbers(const void* a, const void* b) {
    intptr_t x = reinterpret_cast<intptr_t>(a);
    intptr_t y = reinterpret_cast<intptr_t>(b);
    return x < y ? -1 : (x > y ? 1 : 0);
}

void* number(intptr_t n) {
    return reinterpret_cast<void*>(n);
}

}  // namespace

TEST(PointerVector, GrowsPastTheInlineSlotsKeepingOrder) {
    pointer_vector vector;
    EXPECT_EQ(vector.items, vector.inline_slots);
    for (intptr_t i = 1; i <= 65; ++i) {
        vector.append(number(i));
    }
    EXPECT_EQ(vector.capacity, 128);
    EXPECT_EQ(vector.count, 65);
    EXPECT_NE(vector.items, vector.inline_slots);
    for (intptr_t i = 1; i <= 300; ++i) {
        if (i > 65) {
            vector.append(number(i));
        }
    }
    EXPECT_EQ(vector.capacity, 512);
    for (int i = 0; i < vector.count; ++i) {
        ASSERT_EQ(vector.items[i], number(i + 1)) << i;
    }
}

TEST(PointerHeap, NamesLeaveByteWiseGreatestFirst) {
    pointer_heap heap(descending_bytes);
    char a[] = "client-3", b[] = "client-10", c[] = "client-2";
    heap.push(a);
    heap.push(b);
    heap.push(c);
    heap.push(nullptr);  // refused
    EXPECT_EQ(heap.count, 3);
    EXPECT_STREQ(static_cast<char*>(heap.pop()), "client-3");
    EXPECT_STREQ(static_cast<char*>(heap.pop()), "client-2");
    EXPECT_STREQ(static_cast<char*>(heap.pop()), "client-10");
    EXPECT_EQ(heap.pop(), nullptr);
    EXPECT_EQ(heap.count, 0);
}

TEST(PointerHeap, OrdersManyItemsWithDuplicatesAcrossGrowth) {
    std::mt19937 random(7);
    std::vector<intptr_t> values;
    for (int i = 0; i < 1500; ++i) {
        values.push_back(1 + static_cast<intptr_t>(random() % 400));
    }
    pointer_heap heap(ascending_numbers);
    // Interleave pops with pushes so that sifting down runs on heaps of every shape.
    std::vector<intptr_t> popped;
    for (size_t i = 0; i < values.size(); ++i) {
        heap.push(number(values[i]));
        if (i % 7 == 6) {
            popped.push_back(reinterpret_cast<intptr_t>(heap.pop()));
        }
    }
    EXPECT_EQ(heap.capacity, 2046);  // 254 -> 510 -> 1022 -> 2046
    std::vector<intptr_t> rest;
    for (void* item = heap.pop(); item != nullptr; item = heap.pop()) {
        rest.push_back(reinterpret_cast<intptr_t>(item));
    }
    EXPECT_TRUE(std::is_sorted(rest.begin(), rest.end()));
    popped.insert(popped.end(), rest.begin(), rest.end());
    std::sort(popped.begin(), popped.end());
    std::sort(values.begin(), values.end());
    EXPECT_EQ(popped, values);
}
