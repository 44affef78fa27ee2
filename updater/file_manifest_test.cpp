#include "updater/file_manifest.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "testing/log_capture.h"
#include "testing/sandbox.h"
#include "testing/temp_directory.h"
#include "updater/manifest_name.h"

namespace {

const char header[] =
    "# This is an automatically generated file - do not modify\n"
    "# It contains a list of the files currently managed by the\n"
    "# updater.  Changing or deleting it may cause your next\n"
    "# update to download far more things than it needs.\n"
    "\n";

const char hash20[] = "0123456789abcdef0123";

std::vector<std::string> names_in_order(const tal_file_manifest& manifest) {
    std::vector<std::string> names;
    for (const manifest_entry* e = manifest.head; e != nullptr; e = e->next) {
        names.push_back(e->name);
    }
    return names;
}

std::vector<std::string> directory_listing(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = opendir(path.c_str());
    for (dirent* d = readdir(dir); d != nullptr; d = readdir(dir)) {
        if (strcmp(d->d_name, ".") != 0 && strcmp(d->d_name, "..") != 0) {
            names.push_back(d->d_name);
        }
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

struct line_case {
    const char* line;
    int result;
    const char* hash;  // null: no entry
    int32_t size;
    const char* name;
    const char* error;  // the first logged line of a syntax error
};

}  // namespace

TEST(ParseManifestLine, TableOfLines) {
    const line_case cases[] = {
        {"0123456789 12 a b", 1, "0123456789", 12, "a b", nullptr},
        {"0123456789abcdef   -5   x", 1, "0123456789abcdef", -5, "x", nullptr},
        {" \t0123456789 +7\tname  with blanks  ", 1, "0123456789", 7, "name  with blanks  ", nullptr},
        {"0123456789 123abc x", 1, "0123456789", 123, "x", nullptr},
        {"0123456789 +a x", 1, "0123456789", 0, "x", nullptr},
        {"0123456789 99999999999 x", 1, "0123456789", 2147483647, "x", nullptr},
        {"0123456789ABC\r 1 x\r", 1, "0123456789ABC\r", 1, "x\r", nullptr},  // remote lines keep CR
        {"", 1, nullptr, 0, nullptr, nullptr},
        {" \t ", 1, nullptr, 0, nullptr, nullptr},
        {"  # 0123456789 1 x", 1, nullptr, 0, nullptr, nullptr},
        {"012345678A 1 x", 0, nullptr, 0, nullptr, " - bad or missing hash field for line:"},
        {"  012345678 1 x", 0, nullptr, 0, nullptr, " - bad or missing hash field for line:"},
        {"0123456789 size x", 0, nullptr, 0, nullptr, " - bad or missing file size for line:"},
        {"0123456789 - x", 0, nullptr, 0, nullptr, " - bad or missing file size for line:"},
        {"0123456789", 0, nullptr, 0, nullptr, " - bad or missing file size for line:"},
        {"0123456789 12", 0, nullptr, 0, nullptr, " - missing file name for line:"},
        {"0123456789 12 \t ", 0, nullptr, 0, nullptr, " - missing file name for line:"},
    };
    for (const line_case& c : cases) {
        log_capture log;
        manifest_entry* entry = reinterpret_cast<manifest_entry*>(1);
        EXPECT_EQ(parse_manifest_line("remote manifest", c.line, &entry), c.result) << c.line;
        if (c.hash == nullptr) {
            EXPECT_EQ(entry, nullptr) << c.line;
        } else {
            ASSERT_NE(entry, nullptr) << c.line;
            EXPECT_STREQ(entry->hash, c.hash);
            EXPECT_EQ(entry->size, c.size);
            EXPECT_STREQ(entry->name, c.name);
            EXPECT_EQ(entry->next, nullptr);
        }
        std::string expected_log = c.error != nullptr ? "Syntax error in remote manifest" +
                                                            std::string(c.error) + "\n" + c.line + "\n"
                                                      : "";
        EXPECT_EQ(log.text(), expected_log) << c.line;
        delete entry;
    }
}

TEST(FileManifest, SavesTheExactFormatAndReportsShortHashes) {
    temp_directory dir;
    tal_file_manifest manifest;
    // add_or_update puts each new entry in front: the last added is written first.
    manifest.add_or_update(manifest_entry("x", "0123456789", 5));
    manifest.add_or_update(manifest_entry("wide name", hash20, 2147483647));
    manifest.add_or_update(manifest_entry("sub/neg", "0123456789abcdef012", -12));
    log_capture log;
    ASSERT_EQ(manifest.save_file(dir.file("m.lst").c_str()), 1);
    EXPECT_EQ(read_file(dir.file("m.lst")), std::string(header) + "0123456789abcdef012        -12 sub/neg\n" +
                                                hash20 +
                                                " 2147483647 wide name\n"
                                                "0123456789          5 x\n");
    EXPECT_EQ(log.text(),
              "Error in tal_file_manifest::save_file(), file 'sub/neg' had short hash len of 19.\n"
              "Error in tal_file_manifest::save_file(), file 'x' had short hash len of 10.\n");
    EXPECT_EQ(directory_listing(dir.path()), std::vector<std::string>{"m.lst"});

    tal_file_manifest loaded;
    EXPECT_EQ(loaded.load_file(dir.file("m.lst").c_str()), 3);
    EXPECT_EQ(names_in_order(loaded), (std::vector<std::string>{"sub/neg", "wide name", "x"}));
    ASSERT_NE(loaded.find_entry("wide name"), nullptr);
    EXPECT_EQ(loaded.find_entry("wide name")->size, 2147483647);
    EXPECT_EQ(loaded.find_entry("sub/neg")->size, -12);
    EXPECT_EQ(loaded.find_entry("wide"), nullptr);
}

TEST(FileManifest, LoadsCommentsBlankAndCrLfLines) {
    temp_directory dir;
    write_file(dir.file("header-only"), header);
    tal_file_manifest empty;
    EXPECT_EQ(empty.load_file(dir.file("header-only").c_str()), 0);
    EXPECT_EQ(empty.head, nullptr);

    write_file(dir.file("crlf"),
               "# made on another system\r\n\r\n0123456789abcdefabcd 10 a\r\n  \r\n"
               "0123456789abcdefabcd 20 b c\r\n");
    tal_file_manifest manifest;
    EXPECT_EQ(manifest.load_file(dir.file("crlf").c_str()), 2);
    EXPECT_EQ(names_in_order(manifest), (std::vector<std::string>{"a", "b c"}));
    EXPECT_STREQ(manifest.find_entry("b c")->hash, "0123456789abcdefabcd");

    EXPECT_EQ(manifest.load_file(dir.file("missing").c_str()), -1);
}

TEST(FileManifest, BadThirdLineKeepsTheFirstTwoEntries) {
    temp_directory dir;
    write_file(dir.file("m"), std::string(header) + hash20 + " 1 one\n" + hash20 + " 2 two\n" + hash20 +
                                  " two three\n" + hash20 + " 4 four\n");
    log_capture log;
    tal_file_manifest manifest;
    EXPECT_EQ(manifest.load_file(dir.file("m").c_str()), -1);
    EXPECT_EQ(names_in_order(manifest), (std::vector<std::string>{"one", "two"}));
    EXPECT_NE(manifest.find_entry("two"), nullptr);
    EXPECT_EQ(log.text(), "Syntax error in file manifest - bad or missing file size for line:\n" +
                              std::string(hash20) + " two three\n");
}

TEST(FileManifest, OverlongLineIsAnErrorNotAForgedEntry) {
    temp_directory dir;
    // The tail after byte 1023 would read as an entry of its own if the cut line were taken as two.
    std::string cut_line =
        std::string(hash20) + " 1 " + std::string(1023 - 23, 'n') + "Xffffffffff 666 ../evil";
    write_file(dir.file("m"), std::string(hash20) + " 1 first\n" + cut_line + "\n");
    log_capture log;
    tal_file_manifest manifest;
    EXPECT_EQ(manifest.load_file(dir.file("m").c_str()), -1);
    EXPECT_EQ(names_in_order(manifest), std::vector<std::string>{"first"});
    EXPECT_EQ(manifest.find_entry("../evil"), nullptr);
    EXPECT_NE(log.text().find("Syntax error in file manifest - line too long for line:\n" +
                              cut_line.substr(0, 1023) + "\n"),
              std::string::npos);
}

TEST(FileManifest, EveryNameTheCheckAcceptsRoundTrips) {
    temp_directory dir;
    const int32_t sizes[] = {5, -2147483647 - 1, 2147483647};
    for (int32_t size : sizes) {
        std::string name(1022 - 20 - 2, 'n');
        while (!is_safe_manifest_name(name.c_str(), hash20, size)) {
            name.pop_back();
        }
        std::string boundary = name;
        boundary.back() = ' ';  // trailing blanks belong to the name
        tal_file_manifest manifest;
        manifest.add_or_update(manifest_entry(boundary.c_str(), hash20, size));
        ASSERT_EQ(manifest.save_file(dir.file("m").c_str()), 1);
        tal_file_manifest loaded;
        EXPECT_EQ(loaded.load_file(dir.file("m").c_str()), 1) << size;
        ASSERT_NE(loaded.head, nullptr);
        EXPECT_EQ(loaded.head->name, boundary);
        EXPECT_EQ(loaded.head->size, size);

        // One byte more is refused by the check, and the reader would refuse its line.
        std::string longer = boundary + "n";
        EXPECT_FALSE(is_safe_manifest_name(longer.c_str(), hash20, size));
        tal_file_manifest too_long;
        too_long.add_or_update(manifest_entry(longer.c_str(), hash20, size));
        ASSERT_EQ(too_long.save_file(dir.file("m").c_str()), 1);
        log_capture quiet;
        tal_file_manifest reread;
        EXPECT_EQ(reread.load_file(dir.file("m").c_str()), -1) << size;
        EXPECT_EQ(reread.head, nullptr);
    }
}

TEST(FileManifest, AddOrUpdateKeepsPlacesAndPutsNewEntriesFirst) {
    temp_directory dir;
    write_file(dir.file("m"), std::string(hash20) + " 1 a\n" + hash20 + " 2 b\n");
    tal_file_manifest manifest;
    ASSERT_EQ(manifest.load_file(dir.file("m").c_str()), 2);
    manifest.add_or_update(manifest_entry("b", "ffffffffffffffffffffff", 22));
    manifest.add_or_update(manifest_entry("c", hash20, 3));
    manifest.add_or_update(manifest_entry("d", hash20, 4));
    EXPECT_EQ(names_in_order(manifest), (std::vector<std::string>{"d", "c", "a", "b"}));
    EXPECT_STREQ(manifest.find_entry("b")->hash, "ffffffffffffffffffffff");
    EXPECT_EQ(manifest.find_entry("b")->size, 22);
    manifest_entry* c = manifest.find_entry("c");
    manifest.add_or_update(*c);  // updating an entry from itself
    EXPECT_STREQ(c->hash, hash20);
}

TEST(FileManifest, RemoveMissingFilesTestsPathsInTheDirectoryOrTheWorkingDirectory) {
    temp_directory dir;
    mkdir(dir.file("sub").c_str(), 0700);
    write_file(dir.file("sub/there"), "");
    write_file(dir.file("also here"), "");
    tal_file_manifest manifest;
    for (const char* name : {"gone", "sub/there", "also here", "sub/gone"}) {
        manifest.add_or_update(manifest_entry(name, hash20, 0));
    }
    EXPECT_EQ(manifest.remove_missing_files(dir.path().c_str()), 2);
    EXPECT_EQ(names_in_order(manifest), (std::vector<std::string>{"also here", "sub/there"}));
    EXPECT_EQ(manifest.find_entry("gone"), nullptr);
    EXPECT_EQ(manifest.index.size(), 2u);

    ASSERT_EQ(chdir(dir.file("sub").c_str()), 0);
    EXPECT_EQ(manifest.remove_missing_files(""), 0);  // relative to sub/, neither exists
    EXPECT_EQ(manifest.head, nullptr);
    manifest.add_or_update(manifest_entry("there", hash20, 0));
    EXPECT_EQ(manifest.remove_missing_files(nullptr), 1);
    ASSERT_EQ(chdir("/"), 0);
}

TEST(FileManifest, FailedSaveLeavesTheOldFileAndNoTemporary) {
    temp_directory dir;
    tal_file_manifest manifest;
    manifest.add_or_update(manifest_entry("x", hash20, 1));

    log_capture log;
    EXPECT_EQ(manifest.save_file(dir.file("no/such/dir/m").c_str()), 0);
    EXPECT_EQ(log.text(), "Error in tal_file_manifest::save_file() - unable to save file '" +
                              dir.file("no/such/dir/m") + "'.\n");

    // A non-empty directory in the file's place: everything is written, but the rename fails.
    mkdir(dir.file("m").c_str(), 0700);
    write_file(dir.file("m/keep"), "kept");
    EXPECT_EQ(manifest.save_file(dir.file("m").c_str()), 0);
    EXPECT_NE(log.text().find("Error in tal_file_manifest::save_file() - unable to write file '" +
                              dir.file("m") + "'.\n"),
              std::string::npos);
    EXPECT_EQ(directory_listing(dir.path()), std::vector<std::string>{"m"});
    EXPECT_EQ(read_file(dir.file("m/keep")), "kept");
}

TEST(FileManifest, FullDiskLeavesTheOldFileIntact) {
    if (!in_test_sandbox()) {
        GTEST_SKIP() << "needs a private mount namespace";
    }
    temp_directory dir;
    ASSERT_EQ(mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=16k"), 0) << strerror(errno);
    std::string path = dir.file("update_manifest.lst");
    std::string old_content = std::string(header) + hash20 + "          1 old\n";
    write_file(path, old_content);

    tal_file_manifest manifest;
    for (int i = 0; i < 1000; ++i) {
        manifest.add_or_update(manifest_entry(("client-" + std::to_string(i)).c_str(), hash20, i));
    }
    {
        log_capture log;
        EXPECT_EQ(manifest.save_file(path.c_str()), 0);
        EXPECT_EQ(log.text(),
                  "Error in tal_file_manifest::save_file() - unable to write file '" + path + "'.\n");
    }
    EXPECT_EQ(read_file(path), old_content);
    EXPECT_EQ(directory_listing(dir.path()), std::vector<std::string>{"update_manifest.lst"});
    umount2(dir.path().c_str(), MNT_DETACH);
}
