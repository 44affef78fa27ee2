// The stack of open element names that the XML reader and writer keep to check and write closing tags.
#pragma once

#include <cstring>

struct tag_stack_entry {
    static constexpr int name_size = 1000;

    char name[name_size];  // cut to 999 bytes
    tag_stack_entry* next;
};

inline tag_stack_entry* push_tag_stack_entry(tag_stack_entry* top, const char* name) {
    tag_stack_entry* entry = new tag_stack_entry;
    size_t length = strnlen(name, tag_stack_entry::name_size - 1);
    memcpy(entry->name, name, length);
    entry->name[length] = '\0';
    entry->next = top;
    return entry;
}

inline void free_tag_stack(tag_stack_entry* top) {
    while (top != nullptr) {
        tag_stack_entry* next = top->next;
        delete top;
        top = next;
    }
}
