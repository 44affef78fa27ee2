// Word-level helpers over NUL-terminated byte texts. A word ends at NUL, space, tab or line feed;
// carriage return and every other byte are word characters. Nothing here allocates or keeps state.
#pragma once

#include <cstdint>

#include "support/bounded_string.h"

inline bool is_word_end(char c) { return c == '\0' || c == ' ' || c == '\t' || c == '\n'; }

// The first byte of the word after the first word of `text`, or null when there is none.
const char* next_arg(const char* text);
inline char* next_arg(char* text) { return const_cast<char*>(next_arg(static_cast<const char*>(text))); }

// 1 if the first words of `a` and `b` are equal ignoring ASCII case (words of 400 bytes or more never are).
int word_equal(const char* a, const char* b);

// 1 if `word` equals (word_equal) some word of the space-separated `list`.
int word_in_list(const char* word, const char* list);

// The length of the first word of `prefix` if `text` begins with it ignoring ASCII case, else 0.
int word_prefix_length(const char* prefix, const char* text);

// Decimal integer at the start of `text` (a digit, '+', or '-' and a digit must come first); trailing bytes
// are ignored and out-of-range values saturate. 1 and the value through `out` (may be null), or 0.
int parse_int(const char* text, int32_t* out);

// RFC 4648 Base64 of `count` bytes appended with append_char. 1 if `dest` ends at most 5998 bytes long.
int base64_append(bounded_string& dest, const void* data, int count);
int base64_append_string(bounded_string& dest, const char* text);

// Decodes exactly `length` bytes of RFC 4648 Base64 (padded to a multiple of four, no blanks, unused bits
// zero, so each byte string has one spelling) into `out`. The number of bytes, or -1 when the text is not
// such Base64 or would decode to more than `capacity` bytes.
int base64_decode(const char* text, int length, unsigned char* out, int capacity);
