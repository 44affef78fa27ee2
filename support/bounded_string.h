// Fixed-capacity text that never allocates: paths, log lines and protocol lines are built in it.
#pragma once

#include <cstdint>

struct bounded_string {
    static constexpr int32_t capacity = 6000;

    // The text, always NUL-terminated. Zero-filled storage is a valid empty string.
    char buf[capacity];
    // Bytes before the NUL, or `capacity` once an append did not fit (the overflow mark):
    // the text was then cut to its first 5999 bytes and takes no more text until cleared.
    int32_t len;

    bounded_string() : len(0) { buf[0] = '\0'; }
    explicit bounded_string(const char* text) : bounded_string() { append(text); }
    bounded_string(const bounded_string&) = delete;
    bounded_string& operator=(const bounded_string&) = delete;

    void clear() {
        len = 0;
        buf[0] = '\0';
    }
    // Appends `text` ("(null)" for a null pointer), cutting and marking on overflow.
    void append(const char* text);
    // Appends one byte while there is room for it; drops it silently otherwise (no mark).
    void append_char(char c);
    // Appends printf-formatted text with the overflow rules of append().
    void append_printf(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void set(const char* text) {
        clear();
        append(text);
    }

    const char* c_str() const { return buf; }
    bool empty() const { return len == 0; }
    bool is_cut() const { return len == capacity; }
};
