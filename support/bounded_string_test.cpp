#include "support/bounded_string.h"

#include <gtest/gtest.h>

#include <string>

TEST(BoundedString, TextOfCapacityLessOneFitsOneMoreByteCutsAndMarks) {
    bounded_string fits;
    fits.append(std::string(5999, 'a').c_str());
    EXPECT_EQ(fits.len, 5999);
    EXPECT_FALSE(fits.is_cut());

    bounded_string cut;
    cut.append(std::string(6000, 'b').c_str());
    EXPECT_EQ(cut.len, 6000);
    EXPECT_TRUE(cut.is_cut());
    EXPECT_EQ(std::string(cut.c_str()), std::string(5999, 'b'));
    EXPECT_EQ(cut.buf[5999], '\0');
}

TEST(BoundedString, MarkedStringTakesNothingUntilCleared) {
    bounded_string s;
    s.append(std::string(5990, 'x').c_str());
    s.append("0123456789");
    ASSERT_TRUE(s.is_cut());
    s.append("more");
    s.append_char('c');
    EXPECT_EQ(s.len, 6000);
    EXPECT_EQ(std::string(s.c_str()), std::string(5990, 'x') + "012345678");
    s.clear();
    s.append("ok");
    EXPECT_STREQ(s.c_str(), "ok");
    EXPECT_EQ(s.len, 2);
}

TEST(BoundedString, AppendCharDropsWithoutMarkWhereAppendTextMarks) {
    bounded_string s;
    s.append(std::string(5998, 'a').c_str());
    s.append_char('b');
    EXPECT_EQ(s.len, 5999);
    s.append_char('c');
    EXPECT_EQ(s.len, 5999);
    EXPECT_FALSE(s.is_cut());
    s.append("d");
    EXPECT_TRUE(s.is_cut());
}

TEST(BoundedString, NullAppendsNullWordAndPrintfObeysTheCut) {
    bounded_string s;
    s.append(nullptr);
    EXPECT_STREQ(s.c_str(), "(null)");
    EXPECT_EQ(s.len, 6);

    bounded_string formatted;
    formatted.append_printf("%s %10d|", "x", -5);
    EXPECT_STREQ(formatted.c_str(), "x         -5|");
    formatted.append_printf("%6000d", 1);
    EXPECT_TRUE(formatted.is_cut());
}

TEST(BoundedString, ZeroFilledStorageIsAnEmptyString) {
    static bounded_string global_storage;  // zero-initialised before construction runs
    EXPECT_EQ(global_storage.len, 0);
    EXPECT_STREQ(global_storage.c_str(), "");
}
