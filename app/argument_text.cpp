#include "app/argument_text.h"

#include <cwchar>
#include <string>

namespace {

bool is_continuation(unsigned char byte) { return byte >= 0x80 && byte <= 0xBF; }

void append_utf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | ((code >> 18) & 0x07));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// The locale's decoding of the argument, as code points; empty when the bytes do not decode.
std::wstring decode_in_locale(const char* argument) {
    mbstate_t state{};
    const char* source = argument;
    size_t length = mbsrtowcs(nullptr, &source, 0, &state);
    if (length == static_cast<size_t>(-1)) {
        return std::wstring();
    }
    std::wstring wide(length, L'\0');
    state = mbstate_t{};
    source = argument;
    mbsrtowcs(&wide[0], &source, length, &state);
    return wide;
}

}  // namespace

uint32_t tolerant_utf8_decode(const unsigned char** position) {
    const unsigned char* p = *position;
    unsigned char lead = *p;
    if (lead == 0) {
        return 0;
    }
    ++p;
    int needed;
    uint32_t code;
    if (lead < 0x80) {
        *position = p;
        return lead;
    }
    if (lead <= 0xBF) {
        *position = p;
        return lead & 0x3F;
    }
    if (lead <= 0xDF) {
        needed = 1;
        code = lead & 0x1F;
    } else if (lead <= 0xEF) {
        needed = 2;
        code = lead & 0x0F;
    } else if (lead <= 0xF7) {
        needed = 3;
        code = lead & 0x07;
    } else {
        *position = p;
        return '.';
    }
    for (; needed > 0 && is_continuation(*p); --needed, ++p) {
        code = (code << 6) | (*p & 0x3F);
    }
    *position = p;
    return code;
}

void argument_to_text(const char* argument, bounded_string& out) {
    std::string utf8;
    for (wchar_t code : decode_in_locale(argument != nullptr ? argument : "")) {
        append_utf8(utf8, static_cast<uint32_t>(code));
    }
    const unsigned char* p = reinterpret_cast<const unsigned char*>(utf8.c_str());
    for (uint32_t code = tolerant_utf8_decode(&p); code != 0; code = tolerant_utf8_decode(&p)) {
        bool printable = code == '\t' || code == '\n' || code == '\r' || (code >= 32 && code <= 126);
        out.append_char(printable ? static_cast<char>(code) : '.');
    }
}
