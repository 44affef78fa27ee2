// One cookie of a processor's incoming or outgoing list: fixed-size fields, linked through `next`.
#pragma once

#include <cstdint>

struct kest_http_cookie {
    static constexpr int key_size = 64;
    static constexpr int domain_size = 64;
    static constexpr int value_size = 256;

    kest_http_cookie* next = nullptr;
    int32_t secure = 0;
    int32_t max_age = 0;
    char key[key_size] = {};
    char domain[domain_size] = {};
    char value[value_size] = {};

    // Each stores `text` (null: empty) and returns 1, or refuses a text too long for its field: it then
    // logs "Error in kest_http_cookie::set_<field>() - incoming string '<text>' too long.", keeps the old
    // contents and returns 0.
    int set_key(const char* text);
    int set_domain(const char* text);
    int set_value(const char* text);
};

// Deletes every cookie of `list` and sets it to null.
void free_cookie_list(kest_http_cookie*& list);

// The cookie of `list` whose key equals `key` exactly, or null.
kest_http_cookie* find_cookie(kest_http_cookie* list, const char* key);
