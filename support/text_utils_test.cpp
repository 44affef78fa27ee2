#include "support/text_utils.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(NextArg, SkipsFirstWordAndBlanks) {
    const char* text = "  get   /index  ";
    EXPECT_EQ(next_arg(text), text + 8);
    EXPECT_EQ(next_arg("get"), nullptr);
    EXPECT_EQ(next_arg(""), nullptr);
    EXPECT_EQ(next_arg(" \t\n "), nullptr);
    EXPECT_EQ(next_arg(static_cast<const char*>(nullptr)), nullptr);
    EXPECT_STREQ(next_arg("a\tb"), "b");
    EXPECT_STREQ(next_arg("a\rb c"), "c");  // carriage return is a word character
}

TEST(WordEqual, ComparesFirstWordsIgnoringAsciiCase) {
    struct {
        const char* a;
        const char* b;
        int expected;
    } cases[] = {
        {"Content-Length:", "content-length: 12", 1},
        {"abc def", "ABC", 1},
        {"abc def", "Abc\tghi", 1},
        {"abc", "abcd", 0},
        {"", "", 1},
        {" abc", "", 1},  // a leading blank makes the first word empty
        {" abc", "abc", 0},
        {"\xc9t\xc9", "\xe9t\xe9", 0},  // bytes above 0x7F are never folded
        {"abc\r", "abc", 0},
        {nullptr, "abc", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(word_equal(c.a, c.b), c.expected) << (c.a ? c.a : "(null)") << " vs " << c.b;
    }
    std::string long_word(400, 'w');
    EXPECT_EQ(word_equal(long_word.c_str(), long_word.c_str()), 0);
    std::string just_short(399, 'w');
    EXPECT_EQ(word_equal(just_short.c_str(), just_short.c_str()), 1);
}

TEST(WordInList, MatchesAnySpellingInAnyCase) {
    EXPECT_EQ(word_in_list("--HELP", "-h --help"), 1);
    EXPECT_EQ(word_in_list("-H", "-h --help"), 1);
    EXPECT_EQ(word_in_list("-x", "-h --help"), 0);
    EXPECT_EQ(word_in_list("", " -h --help"), 1);  // the leading blank is compared as an empty word
    // ... and next_arg then skips the list's first real word, so it never matches.
    EXPECT_EQ(word_in_list("-h", " -h --help"), 0);
    EXPECT_EQ(word_in_list("--help", " -h --help"), 1);
    EXPECT_EQ(word_in_list(nullptr, "-h"), 0);
}

TEST(WordPrefixLength, RecognisesPrefixIgnoringCase) {
    EXPECT_EQ(word_prefix_length("http/", "HTTP/1.1 200 OK"), 5);
    EXPECT_EQ(word_prefix_length("HTTP/", "HTTP"), 0);
    EXPECT_EQ(word_prefix_length("HTTP/", "HTTX/1.1"), 0);
    EXPECT_EQ(word_prefix_length("", "abc"), 0);
    EXPECT_EQ(word_prefix_length("ab cd", "abxx"), 2);
}

TEST(ParseInt, AcceptsOnlyANumberAtTheStart) {
    struct {
        const char* text;
        int ok;
        int32_t value;
    } cases[] = {
        {"42", 1, 42},
        {"-7", 1, -7},
        {"12abc", 1, 12},
        {"+x", 1, 0},
        {"+15", 1, 15},
        {"-x", 0, 0},
        {" 5", 0, 0},
        {"", 0, 0},
        {"99999999999", 1, 2147483647},
        {"-99999999999", 1, -2147483647 - 1},
    };
    for (const auto& c : cases) {
        int32_t value = 0;
        EXPECT_EQ(parse_int(c.text, &value), c.ok) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
    }
    EXPECT_EQ(parse_int("3", nullptr), 1);
    EXPECT_EQ(parse_int(nullptr, nullptr), 0);
}

TEST(Base64, MatchesRfc4648Vectors) {
    const char* vectors[][2] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},
                                {"foo", "Zm9v"},  {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
                                {"foobar", "Zm9vYmFy"}, {"a:", "YTo="}};
    for (const auto& v : vectors) {
        bounded_string out;
        EXPECT_EQ(base64_append_string(out, v[0]), 1);
        EXPECT_STREQ(out.c_str(), v[1]) << v[0];
    }
    bounded_string binary;
    const unsigned char bytes[] = {0xFF, 0xFE, 0x00};
    base64_append(binary, bytes, 3);
    EXPECT_STREQ(binary.c_str(), "//4A");
}

// Decoding takes back what encoding gives, and only that: one spelling per byte string.
TEST(Base64, DecodesCanonicalTextOnly) {
    for (const char* text : {"", "f", "fo", "foo", "foob", "fooba", "foobar", "\xFF\xFE"}) {
        bounded_string encoded;
        base64_append_string(encoded, text);
        unsigned char out[16];
        int n = base64_decode(encoded.c_str(), encoded.len, out, sizeof out);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out), n > 0 ? n : 0), text) << encoded.c_str();
    }
    const char* refused[] = {
        "Zg",        // not padded to four
        "Zh==",      // unused bits set: "Zg==" is the spelling of "f"
        "Zm9=",      // the same for two bytes ("Zm8=")
        "Zg==Zg==",  // padding before the end
        "Zm9v\n",    // a blank
        "Zm 9",      // a blank inside
        "Z===",      // too much padding
        "Zm9-",      // not in the alphabet
        "=m9v",      // padding first
    };
    for (const char* text : refused) {
        unsigned char out[16];
        EXPECT_EQ(base64_decode(text, static_cast<int>(strlen(text)), out, sizeof out), -1) << text;
    }
    unsigned char small[2];
    EXPECT_EQ(base64_decode("Zm9v", 4, small, sizeof small), -1);
    EXPECT_EQ(base64_decode("Zm8=", 4, small, sizeof small), 2);
}

TEST(Base64, OutputThatDoesNotFitIsDroppedAndReported) {
    bounded_string out;
    out.append(std::string(5997, 'a').c_str());
    EXPECT_EQ(base64_append(out, "f", 1), 0);
    EXPECT_EQ(out.len, 5999);
    EXPECT_EQ(std::string(out.c_str() + 5997), "Zg");
    EXPECT_FALSE(out.is_cut());

    bounded_string unchanged;
    EXPECT_EQ(base64_append(unchanged, nullptr, 3), 0);
    EXPECT_EQ(base64_append(unchanged, "x", 0), 1);
    EXPECT_EQ(unchanged.len, 0);
}
