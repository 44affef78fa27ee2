#include "app/argument_text.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>
#include <vector>

namespace {

std::vector<uint32_t> decode_all(const std::string& bytes) {
    std::vector<uint32_t> codes;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.c_str());
    for (uint32_t code = tolerant_utf8_decode(&p); code != 0; code = tolerant_utf8_decode(&p)) {
        codes.push_back(code);
    }
    return codes;
}

std::string shown(const char* argument) {
    bounded_string out;
    argument_to_text(argument, out);
    return out.c_str();
}

}  // namespace

TEST(TolerantUtf8, DecodesAndForgives) {
    struct {
        std::string bytes;
        std::vector<uint32_t> codes;
    } cases[] = {
        {"az", {'a', 'z'}},
        {"\xc3\xa9", {0xE9}},
        {"\xe2\x82\xac", {0x20AC}},
        {"\xf0\x9f\x98\x80", {0x1F600}},
        {"\xbf", {0x3F}},                    // stray continuation: its low 6 bits
        {"\xe2\x82z", {(0x2u << 6) | 0x2, 'z'}},  // cut short: the bits so far, then the breaking byte
        {"\xc3", {0x3}},
        {"\xf8\xff", {'.', '.'}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decode_all(c.bytes), c.codes);
    }
    const unsigned char nul[] = {0};
    const unsigned char* p = nul;
    EXPECT_EQ(tolerant_utf8_decode(&p), 0u);
    EXPECT_EQ(p, nul);
}

TEST(ArgumentToText, NonAsciiBecomesDotsAndTabsStay) {
    ASSERT_NE(setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
    EXPECT_EQ(shown("caf\xc3\xa9!"), "caf.!");
    EXPECT_EQ(shown("a\tb\r\n"), "a\tb\r\n");
    EXPECT_EQ(shown("\x01\x7f"), "..");
    EXPECT_EQ(shown("\xff"), "");  // not decodable in the locale: counts as empty
    EXPECT_EQ(shown(std::string(7000, 'x').c_str()), std::string(5999, 'x'));
    setlocale(LC_CTYPE, "C");
}
