#include "updater/download_resume.h"

#include <gtest/gtest.h>

#include <string>

#include "testing/log_capture.h"
#include "testing/temp_directory.h"

namespace {

std::string record_text(const std::string& size, const std::string& held, const std::string& hash,
                        const std::string& name) {
    return "varnholt download 1\nsize " + size + "\nheld " + held + "\nhash " + hash + "\nname " + name +
           "\n";
}

}  // namespace

TEST(DownloadResume, PathIsBesideTheTemporaryFile) {
    struct {
        const char* temporary;
        const char* record;
    } cases[] = {
        {"/home/p/.Varnholt/executables/download.tmp", "/home/p/.Varnholt/executables/download_resume.txt"},
        {"/download.tmp", "/download_resume.txt"},
        {"download.tmp", "download_resume.txt"},
    };
    for (const auto& c : cases) {
        bounded_string path;
        append_download_resume_path(path, c.temporary);
        EXPECT_STREQ(path.c_str(), c.record);
    }
}

// What is saved reads back as it was, names with blanks and subdirectories included, and the file is
// exactly the documented text.
TEST(DownloadResume, SavedRecordReadsBack) {
    temp_directory dir;
    const std::string path = dir.file("download_resume.txt");
    download_resume_record saved;
    saved.name.set("sub dir/tessar_v3_client_0002");
    saved.hash.set(std::string(64, 'e').c_str());
    saved.size = 2147483647;
    saved.held = 2147483646;
    ASSERT_EQ(save_download_resume(path.c_str(), saved), 1);
    EXPECT_EQ(read_file(path),
              record_text("2147483647", "2147483646", std::string(64, 'e'), "sub dir/tessar_v3_client_0002"));
    download_resume_record read;
    ASSERT_EQ(read_download_resume(path.c_str(), read), 1);
    EXPECT_STREQ(read.name.c_str(), saved.name.c_str());
    EXPECT_STREQ(read.hash.c_str(), saved.hash.c_str());
    EXPECT_EQ(read.size, saved.size);
    EXPECT_EQ(read.held, saved.held);

    ASSERT_EQ(remove_download_resume(path.c_str()), 1);
    EXPECT_FALSE(file_exists(path));
    EXPECT_EQ(remove_download_resume(path.c_str()), 1);  // nothing there is fine
}

// Anything but the exact text is no record: the partial file it would describe is not trusted.
TEST(DownloadResume, DamagedRecordsAreIgnored) {
    temp_directory dir;
    const std::string path = dir.file("download_resume.txt");
    const std::string good = record_text("100", "40", "abc", "client");
    const std::string cases[] = {
        "",
        good.substr(0, good.size() - 1),  // the last line feed is missing
        "varnholt download 2\nsize 100\nheld 40\nhash abc\nname client\n",
        record_text("100", "101", "abc", "client"),  // more held than the file has
        record_text("2147483648", "40", "abc", "client"),
        record_text("-100", "40", "abc", "client"),
        record_text("100", "4O", "abc", "client"),
        record_text("100", "", "abc", "client"),
        record_text("1000000000000000000000", "40", "abc", "client"),
        record_text("100", "40", "abc", ""),
        good + "extra\n",
        "varnholt download 1\nheld 40\nsize 100\nhash abc\nname client\n",  // out of order
        std::string("varnholt download 1\nsize 100\nheld 40\nhash abc\nname cl\0ient\n", 57),
        good + std::string(3000, 'x'),
    };
    for (const std::string& text : cases) {
        SCOPED_TRACE(testing::PrintToString(text.substr(0, 80)));
        write_file(path, text);
        log_capture log;
        download_resume_record record;
        EXPECT_EQ(read_download_resume(path.c_str(), record), 0);
        EXPECT_EQ(log.text(), "Warning in read_download_resume(), '" + path + "' is damaged, ignoring it.\n");
    }
    log_capture log;
    download_resume_record record;
    EXPECT_EQ(read_download_resume(dir.file("none").c_str(), record), 0);
    EXPECT_EQ(log.text(), "");  // no record is no damage
}
