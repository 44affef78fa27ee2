// Command-line arguments turned into printable text for the log.
#pragma once

#include <cstdint>

#include "support/bounded_string.h"

// Reads one code point at `*position` and advances past the bytes it used. A 0 byte yields 0 and does not
// advance. Stray continuation bytes yield their low 6 bits, a sequence cut short yields the bits gathered
// so far (the next read starts at the byte that broke it), and bytes from 0xF8 up yield '.'.
uint32_t tolerant_utf8_decode(const unsigned char** position);

// The argument decoded in the locale's multibyte encoding (an undecodable argument counts as empty);
// tab, line feed, carriage return and 32 to 126 kept, every other code point shown as '.'.
void argument_to_text(const char* argument, bounded_string& out);
