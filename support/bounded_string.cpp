#include "support/bounded_string.h"

#include <cstdarg>
#include <cstdio>

void bounded_string::append(const char* text) {
    if (text == nullptr) {
        text = "(null)";
    }
    if (len == capacity) {
        return;
    }
    int32_t k = len;
    for (;;) {
        if (k == capacity) {
            len = capacity;
            buf[capacity - 1] = '\0';
            return;
        }
        buf[k] = *text;
        if (*text == '\0') {
            len = k;
            return;
        }
        ++k;
        ++text;
    }
}

void bounded_string::append_char(char c) {
    if (len > capacity - 2) {
        return;
    }
    buf[len++] = c;
    buf[len] = '\0';
}

void bounded_string::append_printf(const char* format, ...) {
    // One byte more than the capacity, so that a text that does not fit still sets the mark.
    char formatted[capacity + 1];
    va_list args;
    va_start(args, format);
    vsnprintf(formatted, sizeof formatted, format, args);
    va_end(args);
    append(formatted);
}
