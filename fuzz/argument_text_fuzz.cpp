// Command-line arguments as anyone may pass them: the text for the log keeps only tab, line feed,
// carriage return and printable ASCII, within its bound, in the C locale and in UTF-8.
#include <locale.h>

#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/argument_text.h"

namespace {

void check(bool condition) {
    if (!condition) {
        abort();
    }
}

void check_text(const bounded_string& out) {
    check(out.len >= 0 && out.len <= bounded_string::capacity);
    size_t length = strlen(out.c_str());
    check(length == static_cast<size_t>(out.is_cut() ? bounded_string::capacity - 1 : out.len));
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(out.c_str()[i]);
        check(c == '\t' || c == '\n' || c == '\r' || (c >= 32 && c <= 126));
    }
}

}  // namespace

// Input: a locale byte (even: C, odd: C.UTF-8), then the argument (up to its first NUL).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    // Made once: setlocale for every input would take most of the time.
    static const locale_t c_locale = newlocale(LC_CTYPE_MASK, "C", nullptr);
    static const locale_t utf8_locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    check(c_locale != nullptr && utf8_locale != nullptr);
    uselocale(data[0] & 1 ? utf8_locale : c_locale);
    std::string argument(reinterpret_cast<const char*>(data + 1), size - 1);

    // The decoder always advances over a non-zero byte and never past the terminating one.
    const unsigned char* p = reinterpret_cast<const unsigned char*>(argument.c_str());
    const unsigned char* end = p + strlen(argument.c_str());
    while (*p != 0) {
        const unsigned char* before = p;
        tolerant_utf8_decode(&p);
        check(p > before && p <= end);
    }

    bounded_string out;
    argument_to_text(argument.c_str(), out);
    check_text(out);
    bounded_string prefilled;
    prefilled.append(std::string(static_cast<size_t>(bounded_string::capacity - 5), 'x').c_str());
    argument_to_text(argument.c_str(), prefilled);
    check_text(prefilled);
    return 0;
}
