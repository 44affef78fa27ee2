#include "updater/manifest_name.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const char hash20[] = "0123456789abcdef0123";

struct name_case {
    std::string name;
    manifest_name_verdict verdict;
};

}  // namespace

TEST(ManifestName, VerdictsForNamesThatCouldEscapeOrClobber) {
    const name_case cases[] = {
        {"tessar_v3_10", manifest_name_safe},
        {"sub/dir/client with spaces ", manifest_name_safe},
        {"/rooted", manifest_name_safe},  // destination + "/" + "/rooted" stays inside
        {"...", manifest_name_safe},
        {"..x/y..", manifest_name_safe},
        {"caf\xc3\xa9", manifest_name_safe},
        {"a//b", manifest_name_safe},
        {"update_manifest.lst~", manifest_name_safe},
        {"", manifest_name_empty},
        {" x", manifest_name_leading_blank},
        {"..", manifest_name_parent_component},
        {"../x", manifest_name_parent_component},
        {"a/../../x", manifest_name_parent_component},
        {"a/..", manifest_name_parent_component},
        {"..\\x", manifest_name_parent_component},
        {"a\\..\\..\\x", manifest_name_parent_component},
        {"/..", manifest_name_parent_component},
        {".", manifest_name_dot_component},
        {"./x", manifest_name_dot_component},
        {"a/./b", manifest_name_dot_component},
        {"a\\.", manifest_name_dot_component},
        {"x\r", manifest_name_control_byte},
        {"x\ty", manifest_name_control_byte},
        {"x\ny", manifest_name_control_byte},
        {"\x1b[2J", manifest_name_control_byte},
        {"del\x7f", manifest_name_control_byte},
        {"update_manifest.lst", manifest_name_reserved},
        {"/update_manifest.lst", manifest_name_reserved},
        {"//lock.tmp", manifest_name_reserved},
        {"lock.tmp", manifest_name_reserved},
        {"download.tmp", manifest_name_reserved},
        {"xx-rw-test.qqq", manifest_name_reserved},
        {"accepted_release.txt", manifest_name_reserved},
        {"accepted_release.txt.4242-0.new", manifest_name_reserved},
        {"update_manifest.lst.4242-0.new", manifest_name_reserved},
        {"download_resume.txt", manifest_name_reserved},
        {"/download_resume.txt.4242-0.new", manifest_name_reserved},
        {"download_resume.txt2", manifest_name_safe},
    };
    for (const name_case& c : cases) {
        EXPECT_EQ(check_manifest_name(c.name.c_str(), hash20, 5), c.verdict) << "'" << c.name << "'";
        EXPECT_EQ(is_safe_manifest_name(c.name.c_str(), hash20, 5), c.verdict == manifest_name_safe ? 1 : 0);
    }
    EXPECT_EQ(check_manifest_name(nullptr, hash20, 5), manifest_name_empty);
    EXPECT_STREQ(manifest_name_verdict_text(manifest_name_parent_component), "it has a '..' component");
}

TEST(ManifestName, LineLengthCountsHashAndSizeField) {
    // "<hash> <size, at least ten wide> <name>" may be 1022 bytes long.
    std::string fits(1022 - 20 - 1 - 10 - 1, 'n');
    EXPECT_EQ(check_manifest_name(fits.c_str(), hash20, 5), manifest_name_safe);
    EXPECT_EQ(check_manifest_name((fits + "n").c_str(), hash20, 5), manifest_name_line_too_long);
    EXPECT_EQ(check_manifest_name(fits.c_str(), hash20, -2147483647 - 1),
              manifest_name_line_too_long);  // 11 wide
    EXPECT_EQ(check_manifest_name(fits.c_str(), "0123456789abcdef012", 5), manifest_name_safe);
    EXPECT_EQ(check_manifest_name((fits + std::string(20, 'n')).c_str(), nullptr, 5), manifest_name_safe);
}

TEST(ManifestName, PrintableFormReplacesControlBytes) {
    bounded_string text("'");
    append_printable_manifest_name(text, "a\r\nb\x1b\x7f\xc3\xa9");
    EXPECT_STREQ(text.c_str(), "'a..b..\xc3\xa9");
}
