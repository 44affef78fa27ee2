#include "http/http_cookie.h"

#include <cstring>

#include "support/debug_log.h"

namespace {

int store(char* field, int size, const char* text, const char* setter) {
    if (text == nullptr) {
        text = "";
    }
    size_t length = strnlen(text, static_cast<size_t>(size));
    if (length >= static_cast<size_t>(size)) {
        debug_log_line(1, "Error in kest_http_cookie::%s() - incoming string '%s' too long.", setter, text);
        return 0;
    }
    memcpy(field, text, length + 1);
    return 1;
}

}  // namespace

int kest_http_cookie::set_key(const char* text) {
    return store(key, key_size, text, "set_key");
}

int kest_http_cookie::set_domain(const char* text) {
    return store(domain, domain_size, text, "set_domain");
}

int kest_http_cookie::set_value(const char* text) {
    return store(value, value_size, text, "set_value");
}

void free_cookie_list(kest_http_cookie*& list) {
    while (list != nullptr) {
        kest_http_cookie* next = list->next;
        delete list;
        list = next;
    }
}

kest_http_cookie* find_cookie(kest_http_cookie* list, const char* key) {
    for (kest_http_cookie* c = list; c != nullptr; c = c->next) {
        if (strcmp(c->key, key) == 0) {
            return c;
        }
    }
    return nullptr;
}
