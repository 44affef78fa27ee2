#include "support/text_utils.h"

#include <cstdlib>
#include <cstring>

#include "support/debug_log.h"

namespace {

constexpr int max_word_compare = 400;

bool is_separator(char c) { return c == ' ' || c == '\t' || c == '\n'; }

char fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

char fold_word_byte(char c) { return is_separator(c) ? '\0' : fold(c); }

}  // namespace

const char* next_arg(const char* text) {
    if (text == nullptr) {
        debug_log_report("Error in next_arg(), NULL pointer passed in.", REPORT_VERBOSE);
        return nullptr;
    }
    while (is_separator(*text)) {
        ++text;
    }
    if (*text == '\0') {
        return nullptr;
    }
    while (!is_word_end(*text)) {
        ++text;
    }
    while (is_separator(*text)) {
        ++text;
    }
    return *text == '\0' ? nullptr : text;
}

int word_equal(const char* a, const char* b) {
    if (a == nullptr || b == nullptr) {
        return 0;
    }
    // Each index is read only while both words are still going, so no read passes a NUL.
    for (int i = 0; i < max_word_compare; ++i) {
        char ca = fold_word_byte(a[i]);
        char cb = fold_word_byte(b[i]);
        if (ca != cb) {
            return 0;
        }
        if (ca == '\0') {
            return 1;
        }
    }
    return 0;
}

int word_in_list(const char* word, const char* list) {
    if (word == nullptr || list == nullptr) {
        return 0;
    }
    for (const char* p = list; p != nullptr; p = next_arg(p)) {
        if (word_equal(word, p)) {
            return 1;
        }
    }
    return 0;
}

int word_prefix_length(const char* prefix, const char* text) {
    if (prefix == nullptr || text == nullptr || prefix[0] == '\0') {
        return 0;
    }
    if (fold(prefix[0]) != fold(text[0])) {
        return 0;
    }
    for (int i = 1; i < max_word_compare; ++i) {
        if (is_word_end(prefix[i])) {
            return i;
        }
        if (fold(prefix[i]) != fold(text[i])) {
            return 0;
        }
    }
    return 0;
}

int parse_int(const char* text, int32_t* out) {
    if (text == nullptr) {
        return 0;
    }
    bool accepted = (text[0] >= '0' && text[0] <= '9') || text[0] == '+' ||
                    (text[0] == '-' && text[1] >= '0' && text[1] <= '9');
    if (!accepted) {
        return 0;
    }
    long value = strtol(text, nullptr, 10);
    if (value > INT32_MAX) {
        value = INT32_MAX;
    } else if (value < INT32_MIN) {
        value = INT32_MIN;
    }
    if (out != nullptr) {
        *out = static_cast<int32_t>(value);
    }
    return 1;
}

namespace {

const char base64_alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The value of a Base64 digit, or -1.
int base64_value(char c) {
    const char* at = c != '\0' ? strchr(base64_alphabet, c) : nullptr;
    return at != nullptr ? static_cast<int>(at - base64_alphabet) : -1;
}

}  // namespace

int base64_append(bounded_string& dest, const void* data, int count) {
    const char* alphabet = base64_alphabet;
    if (data == nullptr) {
        return 0;
    }
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    for (int i = 0; i < count; i += 3) {
        int remaining = count - i;
        unsigned group = static_cast<unsigned>(bytes[i]) << 16;
        if (remaining > 1) {
            group |= static_cast<unsigned>(bytes[i + 1]) << 8;
        }
        if (remaining > 2) {
            group |= bytes[i + 2];
        }
        dest.append_char(alphabet[(group >> 18) & 63]);
        dest.append_char(alphabet[(group >> 12) & 63]);
        dest.append_char(remaining > 1 ? alphabet[(group >> 6) & 63] : '=');
        dest.append_char(remaining > 2 ? alphabet[group & 63] : '=');
    }
    return dest.len <= bounded_string::capacity - 2 ? 1 : 0;
}

int base64_append_string(bounded_string& dest, const char* text) {
    if (text == nullptr) {
        return 0;
    }
    return base64_append(dest, text, static_cast<int>(strlen(text)));
}

int base64_decode(const char* text, int length, unsigned char* out, int capacity) {
    if (text == nullptr || length < 0 || length % 4 != 0) {
        return -1;
    }
    int count = 0;
    for (int i = 0; i < length; i += 4) {
        bool last = i + 4 == length;
        int padding = 0;
        if (last && text[i + 3] == '=') {
            padding = text[i + 2] == '=' ? 2 : 1;
        }
        unsigned group = 0;
        for (int j = 0; j < 4 - padding; ++j) {
            int value = base64_value(text[i + j]);
            if (value < 0) {
                return -1;
            }
            group = group << 6 | static_cast<unsigned>(value);
        }
        group <<= 6 * padding;
        // The bits a padded group does not use must be zero, or two texts would give the same bytes.
        if ((padding == 1 && (group & 0xFF) != 0) || (padding == 2 && (group & 0xFFFF) != 0)) {
            return -1;
        }
        int bytes = 3 - padding;
        if (count + bytes > capacity) {
            return -1;
        }
        for (int j = 0; j < bytes; ++j) {
            out[count++] = static_cast<unsigned char>(group >> (16 - 8 * j));
        }
    }
    return count;
}
