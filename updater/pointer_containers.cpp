#include "updater/pointer_containers.h"

#include <cstring>

pointer_vector::~pointer_vector() {
    if (items != inline_slots) {
        delete[] items;
    }
}

void pointer_vector::append(void* item) {
    if (count == capacity) {
        int32_t grown_capacity = 2 * capacity;
        void** grown = new void*[grown_capacity];
        memcpy(grown, items, sizeof(void*) * count);
        if (items != inline_slots) {
            delete[] items;
        }
        items = grown;
        capacity = grown_capacity;
    }
    items[count++] = item;
}

pointer_heap::pointer_heap(compare_fn compare) : slots(new void*[256]()), compare(compare) {}

pointer_heap::~pointer_heap() {
    delete[] slots;
}

void pointer_heap::push(void* item) {
    if (item == nullptr) {
        return;
    }
    ++count;
    if (count >= capacity) {
        int32_t old_capacity = capacity;
        void** grown = new void*[2 * old_capacity + 4]();
        memcpy(grown + 1, slots + 1, sizeof(void*) * (count - 1));
        delete[] slots;
        slots = grown;
        capacity = 2 * old_capacity + 2;
    }
    int32_t i = count;
    slots[i] = item;
    while (i >= 2 && compare(slots[i], slots[i / 2]) < 0) {
        void* parent = slots[i / 2];
        slots[i / 2] = slots[i];
        slots[i] = parent;
        i /= 2;
    }
}

void* pointer_heap::pop() {
    if (count < 1) {
        return nullptr;
    }
    void* result = slots[1];
    slots[1] = slots[count];
    // The moved item still sits in slot count during the walk; meeting itself compares equal and stops,
    // so the walk orders the first count - 1 slots.
    int32_t i = 1;
    for (int32_t child = 2 * i; child <= count; child = 2 * i) {
        if (child + 1 <= count && compare(slots[child], slots[child + 1]) > 0) {
            ++child;
        }
        if (compare(slots[child], slots[i]) >= 0) {
            break;
        }
        void* swapped = slots[child];
        slots[child] = slots[i];
        slots[i] = swapped;
        i = child;
    }
    slots[count] = nullptr;
    --count;
    return result;
}
