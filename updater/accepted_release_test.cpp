#include "updater/accepted_release.h"

#include <gtest/gtest.h>

#include <string>

#include "testing/log_capture.h"
#include "testing/temp_directory.h"

namespace {

TEST(AcceptedRelease, SavedReleaseReadsBack) {
    temp_directory dir;
    std::string path = dir.path() + "/" + accepted_release_file_name;
    EXPECT_EQ(read_accepted_release(path.c_str()), 0) << "no file yet";
    ASSERT_EQ(save_accepted_release(path.c_str(), 1797000000), 1);
    EXPECT_EQ(read_accepted_release(path.c_str()), 1797000000);
    ASSERT_EQ(save_accepted_release(path.c_str(), 7), 1);
    EXPECT_EQ(read_accepted_release(path.c_str()), 7);
}

TEST(AcceptedRelease, DamagedFileCountsAsNoneAndIsLogged) {
    temp_directory dir;
    std::string path = dir.path() + "/" + accepted_release_file_name;
    for (const char* content :
         {"", "12", "12\n\n", "-12\n", "+12\n", "12 \n", "x\n", "1234567890123456789\n", "12\nextra\n"}) {
        write_file(path, content);
        log_capture log;
        EXPECT_EQ(read_accepted_release(path.c_str()), 0) << content;
        EXPECT_EQ(log.text(), "Warning in read_accepted_release(), '" + path + "' is damaged, ignoring it.\n")
            << content;
    }
}

TEST(AcceptedRelease, FailedSaveKeepsTheOldFile) {
    temp_directory dir;
    std::string path = dir.path() + "/" + accepted_release_file_name;
    ASSERT_EQ(save_accepted_release(path.c_str(), 5), 1);
    // The temporary cannot be made in a directory that does not exist.
    std::string missing = dir.path() + "/no-such-directory/" + accepted_release_file_name;
    log_capture log;
    EXPECT_EQ(save_accepted_release(missing.c_str(), 6), 0);
    EXPECT_NE(log.text().find("Error in save_accepted_release(), unable to save '" + missing + "'"),
              std::string::npos)
        << log.text();
    EXPECT_EQ(read_accepted_release(path.c_str()), 5);
}

}  // namespace
