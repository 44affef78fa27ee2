// varnholt-publish as a real process: what it publishes, how nginx serves the result with the sample
// configuration, and how it fails without touching an earlier publication.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "testing/digest.h"
#include "testing/nginx_server.h"
#include "testing/process.h"
#include "testing/sandbox.h"
#include "testing/temp_directory.h"
#include "updater/file_manifest.h"

namespace {

const std::string download_root = "/downloads/tessar_v3";
const std::string manifest_name = "manifest_linux32_executables.txt.gz";

std::string publisher() {
    return test_binary_directory() + "/varnholt-publish";
}

process_result run_publisher(const std::vector<std::string>& arguments, double timeout_seconds = 60) {
    std::vector<std::string> argv{publisher()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    process_options options;
    options.timeout_seconds = timeout_seconds;
    return run_process(argv, options);
}

std::string inflate_gzip(const std::string& compressed) {
    z_stream stream{};
    EXPECT_EQ(inflateInit2(&stream, 15 + 32), Z_OK);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    stream.avail_in = static_cast<uInt>(compressed.size());
    std::string text;
    int result = Z_OK;
    while (result == Z_OK) {
        char window[4096];
        stream.next_out = reinterpret_cast<Bytef*>(window);
        stream.avail_out = sizeof window;
        result = inflate(&stream, Z_NO_FLUSH);
        text.append(window, sizeof window - stream.avail_out);
    }
    EXPECT_EQ(result, Z_STREAM_END) << "not one whole gzip stream";
    inflateEnd(&stream);
    return text;
}

struct record {
    std::string hash;
    int size;
    std::string name;
};

// The records of a manifest text, read with the launcher's own line parser.
std::vector<record> records_of(const std::string& text) {
    std::vector<record> records;
    size_t start = 0;
    for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
        std::string line = text.substr(start, end - start);
        start = end + 1;
        manifest_entry* entry = nullptr;
        EXPECT_EQ(parse_manifest_line("test", line.c_str(), &entry), 1) << line;
        if (entry != nullptr) {
            records.push_back(record{entry->hash, entry->size, entry->name});
            delete entry;
        }
    }
    EXPECT_EQ(start, text.size()) << "the last line has no line feed";
    return records;
}

std::vector<std::string> names_of(const std::vector<record>& records) {
    std::vector<std::string> names;
    for (const record& r : records) {
        names.push_back(r.name);
    }
    return names;
}

// Every path below `directory`, relative to it, directories included.
void list_tree(const std::string& directory, const std::string& prefix, std::vector<std::string>& paths) {
    DIR* dir = opendir(directory.c_str());
    for (dirent* d = dir != nullptr ? readdir(dir) : nullptr; d != nullptr; d = readdir(dir)) {
        std::string name = d->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        paths.push_back(prefix + name);
        if (d->d_type == DT_DIR) {
            list_tree(directory + "/" + name, prefix + name + "/", paths);
        }
    }
    if (dir != nullptr) {
        closedir(dir);
    }
}

std::vector<std::string> leftover_temporaries(const std::string& directory) {
    std::vector<std::string> paths, temporaries;
    list_tree(directory, "", paths);
    for (const std::string& path : paths) {
        if (path.find(".varnholt-publish-") != std::string::npos || path.find(".new") != std::string::npos) {
            temporaries.push_back(path);
        }
    }
    return temporaries;
}

// A client image: the first plain and the first beta record must be programs the launcher can start.
std::string script(const std::string& text) {
    return "#!/bin/sh\n" + text;
}

// Bytes no text file would hold: NULs, line feeds, every byte value.
std::string binary_content(size_t length, unsigned seed) {
    std::string content;
    for (size_t i = 0; i < length; ++i) {
        content += static_cast<char>((i * 131 + seed * 7 + i / 251) & 0xFF);
    }
    return content;
}

class Publish : public testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(mkdir(source().c_str(), 0755), 0); }

    std::string source() const { return dir_.file("source"); }
    std::string output() const { return dir_.file("output"); }
    std::string publication() const { return output() + download_root; }
    std::string published(const std::string& name) const { return publication() + "/" + name; }
    std::string manifest_bytes() const { return read_file(published(manifest_name)); }
    std::vector<record> manifest() const { return records_of(inflate_gzip(manifest_bytes())); }

    // Puts a file into the source, with the directories its name needs.
    void add(const std::string& name, const std::string& content) {
        for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1)) {
            mkdir((source() + "/" + name.substr(0, slash)).c_str(), 0755);
        }
        write_file(source() + "/" + name, content);
    }

    process_result publish() { return run_publisher({source(), output()}); }

    temp_directory dir_;
};

TEST_F(Publish, CopiesTheTreeAndListsItGreatestNameFirst) {
    const std::vector<std::pair<std::string, std::string>> files = {
        {"client-2", binary_content(70000, 2)},
        {"client-10", binary_content(1000, 10)},
        {"client-3", "three"},
        {"client-beta-4", script(binary_content(3000, 4))},
        {"data/x.pak", "pak"},
        {"data/sub/y.bin", binary_content(10, 9)},
        {".hidden", "hidden files are published"},
        {"empty", ""},
        {"with space.bin", script("spaces are fine")},
    };
    size_t total = 0;
    for (const auto& file : files) {
        add(file.first, file.second);
        total += file.second.size();
    }
    ASSERT_EQ(symlink("client-2", (source() + "/link").c_str()), 0);
    ASSERT_EQ(symlink("data", (source() + "/linked-dir").c_str()), 0);
    ASSERT_EQ(mkfifo((source() + "/pipe").c_str(), 0644), 0);

    process_result result = publish();

    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.out, "Published 9 files (" + std::to_string(total) + " bytes) to " + publication() +
                              "\nFirst plain record: 'with space.bin'\nFirst beta record: 'client-beta-4'\n");
    EXPECT_EQ(result.err,
              "varnholt-publish: skipped 'link': a symbolic link (links are not followed)\n"
              "varnholt-publish: skipped 'linked-dir': a symbolic link (links are not followed)\n"
              "varnholt-publish: skipped 'pipe': not a regular file\n");
    for (const auto& file : files) {
        EXPECT_EQ(read_file(published(file.first)), file.second) << file.first;
    }
    for (const char* skipped : {"link", "linked-dir", "pipe"}) {
        EXPECT_FALSE(file_exists(published(skipped))) << skipped;
    }

    std::string raw = manifest_bytes();
    ASSERT_GE(raw.size(), 2u);
    EXPECT_EQ(raw.substr(0, 2), "\x1f\x8b") << "a gzip stream";
    std::string text = inflate_gzip(raw);
    std::vector<record> records = records_of(text);
    // Byte order, not numeric order: client-3 before client-2 before client-10, '.' last.
    EXPECT_EQ(names_of(records),
              (std::vector<std::string>{"with space.bin", "empty", "data/x.pak", "data/sub/y.bin",
                                        "client-beta-4", "client-3", "client-2", "client-10", ".hidden"}));
    for (const record& r : records) {
        std::string content = read_file(source() + "/" + r.name);
        EXPECT_EQ(r.size, static_cast<int>(content.size())) << r.name;
        EXPECT_EQ(r.hash, sha256_hex(content)) << r.name;
    }
    EXPECT_NE(text.find("\n" + sha256_hex("") + "          0 empty\n"), std::string::npos)
        << "\"%s %10d %s\" lines:\n"
        << text;
    EXPECT_EQ(text[0], '#') << "a comment line first";
}

TEST_F(Publish, RepublishingReplacesFilesAndLeavesDroppedOnesUnlisted) {
    add("a", "old a");
    add("b", script("old b"));
    ASSERT_EQ(publish().exit_status, 0);
    ASSERT_EQ(unlink((source() + "/a").c_str()), 0);
    add("b", "new b, longer");
    add("c", script("c"));

    process_result result = publish();

    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(names_of(manifest()), (std::vector<std::string>{"c", "b"}));
    EXPECT_EQ(manifest()[1].hash, sha256_hex("new b, longer"));
    EXPECT_EQ(read_file(published("b")), "new b, longer");
    EXPECT_EQ(read_file(published("a")), "old a") << "a dropped file stays, unlisted";
    EXPECT_EQ(leftover_temporaries(publication()), std::vector<std::string>{});
}

TEST(PublishUsage, ArgumentsAndExitStatus) {
    struct {
        std::vector<std::string> arguments;
        int status;
        std::string out_part;
        std::string err_part;
    } cases[] = {
        {{}, 2, "", "Usage: varnholt-publish [--key KEYFILE [--expires DAYS]] SOURCE_DIR OUTPUT_DIR\n"},
        {{"-h"}, 0, "Usage: varnholt-publish [--key KEYFILE [--expires DAYS]] SOURCE_DIR OUTPUT_DIR\n", ""},
        {{"--help"}, 0, "Usage: varnholt-publish [--key KEYFILE [--expires DAYS]] SOURCE_DIR OUTPUT_DIR\n", ""},
        {{"/tmp"}, 2, "", "varnholt-publish: needs exactly two arguments, SOURCE_DIR and OUTPUT_DIR\nUsage:"},
        {{"/tmp", "/tmp/a", "/tmp/b"}, 2, "", "needs exactly two arguments"},
        {{"-x", "/tmp", "/tmp/a"}, 2, "", "varnholt-publish: unknown option '-x'\nUsage:"},
    };
    for (const auto& c : cases) {
        process_result result = run_publisher(c.arguments);
        std::string label = c.arguments.empty() ? "(none)" : c.arguments[0];
        EXPECT_EQ(result.exit_status, c.status) << label;
        EXPECT_NE(result.out.find(c.out_part), std::string::npos) << label << ": " << result.out;
        EXPECT_NE(result.err.find(c.err_part), std::string::npos) << label << ": " << result.err;
        if (c.status == 0) {
            EXPECT_EQ(result.err, "") << label;
        } else {
            EXPECT_EQ(result.out, "") << label;
        }
    }
}

TEST_F(Publish, UnusableSourceIsReportedBeforeTheOutputIsTouched) {
    write_file(dir_.file("plain-file"), "not a directory");
    struct {
        std::string source;
        std::string message;
    } cases[] = {
        {dir_.file("missing"),
         "cannot read source directory '" + dir_.file("missing") + "': No such file or directory"},
        {dir_.file("plain-file"),
         "cannot read source directory '" + dir_.file("plain-file") + "': Not a directory"},
        {source(), "no files to publish in '" + source() + "'"},
    };
    for (const auto& c : cases) {
        process_result result = run_publisher({c.source, output()});
        EXPECT_EQ(result.exit_status, 1) << c.source;
        EXPECT_EQ(result.err,
                  "varnholt-publish: " + c.message + "\nvarnholt-publish: nothing was published\n");
        EXPECT_EQ(result.out, "");
        EXPECT_FALSE(file_exists(published(manifest_name)));
    }
    EXPECT_FALSE(file_exists(output())) << "a failed check creates nothing";

    add("x", "x");
    process_result same = run_publisher({source(), source()});
    EXPECT_EQ(same.exit_status, 1);
    EXPECT_EQ(same.err,
              "varnholt-publish: SOURCE_DIR and OUTPUT_DIR are the same directory\n"
              "varnholt-publish: nothing was published\n");
}

TEST_F(Publish, OutputInsideTheSourceIsNotPublishedIntoItself) {
    add("client-1", script("one"));
    std::string inside = source() + "/out";
    ASSERT_EQ(run_publisher({source(), inside}).exit_status, 0);
    process_result again = run_publisher({source(), inside});
    ASSERT_EQ(again.exit_status, 0) << again.err;
    EXPECT_EQ(again.err, "varnholt-publish: skipped 'out': it is the output directory\n");
    EXPECT_EQ(names_of(records_of(inflate_gzip(read_file(inside + download_root + "/" + manifest_name)))),
              std::vector<std::string>{"client-1"});
}

TEST_F(Publish, RefusedNamesFailTheRunAndKeepTheOlderPublication) {
    add("client-1", script("one"));
    ASSERT_EQ(publish().exit_status, 0);
    const std::string old_manifest = manifest_bytes();
    const std::string long_name = std::string(200, 'd') + "/" + std::string(200, 'd') + "/" +
                                  std::string(200, 'd') + "/" + std::string(200, 'd') + "/" +
                                  std::string(200, 'f');
    const std::string unescaped =
        "the launcher would request it unescaped ('%', '?' and '#' change what the "
        "server reads)";
    struct {
        std::string name;
        std::string shown;
        std::string why;
    } cases[] = {
        {"lock.tmp", "lock.tmp", "it names one of the launcher's own files"},
        {"update_manifest.lst", "update_manifest.lst", "it names one of the launcher's own files"},
        {"download.tmp", "download.tmp", "it names one of the launcher's own files"},
        {"download_resume.txt", "download_resume.txt", "it names one of the launcher's own files"},
        {"a\nb", "a.b", "it holds a control character"},
        {"..\\up", "..\\up", "it has a '..' component"},
        {" lead", " lead", "it begins with a space"},
        {long_name, long_name, "its manifest line would be too long"},
        {manifest_name, manifest_name, "it is the name of the manifest itself"},
        {"a%41", "a%41", unescaped},
        {"a?b", "a?b", unescaped},
        {"a#b", "a#b", unescaped},
        {"a\\b", "a\\b", "the launcher takes its '\\' for a directory separator"},
    };
    for (const auto& c : cases) {
        add(c.name, "bad");
        add("client-1", script("one, changed"));
        process_result result = publish();
        EXPECT_EQ(result.exit_status, 1) << c.shown;
        EXPECT_EQ(result.err, "varnholt-publish: cannot publish '" + c.shown + "': " + c.why +
                                  "\nvarnholt-publish: nothing was published\n");
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(manifest_bytes(), old_manifest) << c.shown;
        EXPECT_EQ(read_file(published("client-1")), script("one")) << c.shown;
        if (c.name != manifest_name) {
            EXPECT_FALSE(file_exists(published(c.name))) << c.shown;
        }
        ASSERT_EQ(unlink((source() + "/" + c.name).c_str()), 0);
    }

    add("lock.tmp", "bad");
    add("a#b", "bad");
    process_result both = publish();
    EXPECT_EQ(both.exit_status, 1);
    EXPECT_NE(both.err.find("cannot publish 'lock.tmp'"), std::string::npos) << both.err;
    EXPECT_NE(both.err.find("cannot publish 'a#b'"), std::string::npos) << "every refused file is named";
}

// A new installation fetches only the first plain record (and the first beta record in beta test mode)
// and starts it: a publication where either is no program could never boot on a fresh install.
TEST_F(Publish, FirstRecordsThatAreNoProgramsFailTheRun) {
    const std::string elf = read_file(publisher());
    ASSERT_EQ(elf.substr(0, 4),
              "\x7f"
              "ELF");
    std::string object_file = elf.substr(0, 64);
    object_file[16] = 1;  // e_type ET_REL, in either byte order
    object_file[17] = 0;
    const std::string no_program = "it is neither an ELF program nor a '#!' script";
    const struct {
        std::vector<std::pair<std::string, std::string>> files;
        std::string refused;  // the file named in the message; "" when the set is published
        std::string kind;
        std::string why;
    } cases[] = {
        // Names sort ".txt" above the image itself: the notes would be the one record fetched.
        {{{"tessar_v3_0001", elf}, {"tessar_v3_0001.txt", "release notes"}},
         "tessar_v3_0001.txt",
         "plain",
         no_program},
        {{{"tessar_v3_0001", elf}, {"tessar_v3_0002_beta", "beta notes"}},
         "tessar_v3_0002_beta",
         "beta",
         no_program},
        {{{"tessar_v3_0002", object_file}},
         "tessar_v3_0002",
         "plain",
         "it is an ELF file that is no program (an object file or a core dump, say)"},
        {{{"tessar_v3_0002", elf.substr(0, 40)}}, "tessar_v3_0002", "plain", "it is an ELF file cut short"},
        {{{"tessar_v3_0002", "#! \n/bin/sh"}},
         "tessar_v3_0002",
         "plain",
         "it is a '#!' line without an interpreter"},
        {{{"tessar_v3_0002", ""}}, "tessar_v3_0002", "plain", no_program},
        // Only the first of each kind must be a program, and the source file's mode does not matter:
        // the launcher makes the file executable itself.
        {{{"tessar_v3_0002", elf},
          {"tessar_v3_0001", "old notes"},
          {"tessar_v3_0003_beta", script("beta")},
          {"data/map.pak", "map"}},
         "",
         "",
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.files[0].first + ", " + c.refused);
        remove_tree(source());
        remove_tree(output());
        ASSERT_EQ(mkdir(source().c_str(), 0755), 0);
        for (const auto& file : c.files) {
            add(file.first, file.second);
        }
        process_result result = publish();
        if (c.refused.empty()) {
            EXPECT_EQ(result.exit_status, 0) << result.err;
            EXPECT_EQ(result.err, "");
            continue;
        }
        EXPECT_EQ(result.exit_status, 1);
        EXPECT_EQ(result.err, "varnholt-publish: cannot publish '" + c.refused + "': it is the first " +
                                  c.kind + " record, which a new installation fetches and starts, but " +
                                  c.why + "\nvarnholt-publish: nothing was published\n");
        EXPECT_EQ(result.out, "");
        EXPECT_FALSE(file_exists(output())) << "nothing is written before every file is checked";
    }
}

// Run as an unprivileged user, for whom permission bits count.
TEST_F(Publish, UnreadableSourceEntriesFailTheRunAndKeepTheOlderPublication) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to change users";
    }
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
    add("client-1", script("one"));
    ASSERT_EQ(publish().exit_status, 0);
    const std::string old_manifest = manifest_bytes();
    ASSERT_EQ(chmod(publication().c_str(), 0777), 0);
    add("client-1", script("one, changed"));
    struct {
        std::string path;
        bool directory;
        std::string message;
    } cases[] = {
        {source() + "/locked", true, "cannot read directory '" + source() + "/locked': Permission denied"},
        {source() + "/secret", false, "cannot read '" + source() + "/secret': Permission denied"},
    };
    for (const auto& c : cases) {
        if (c.directory) {
            ASSERT_EQ(mkdir(c.path.c_str(), 0), 0);
        } else {
            write_file(c.path, "secret", 0);
        }
        process_result result = run_process({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                             "--clear-groups", publisher(), source(), output()});
        EXPECT_EQ(result.exit_status, 1) << c.path;
        EXPECT_EQ(result.err,
                  "varnholt-publish: " + c.message + "\nvarnholt-publish: nothing was published\n");
        EXPECT_EQ(manifest_bytes(), old_manifest);
        EXPECT_EQ(read_file(published("client-1")), script("one"));
        EXPECT_EQ(leftover_temporaries(publication()), std::vector<std::string>{});
        ASSERT_EQ(c.directory ? rmdir(c.path.c_str()) : unlink(c.path.c_str()), 0);
    }
}

TEST_F(Publish, FileOverTheSignedSizeIsRefusedWithoutReadingIt) {
    if (!in_test_sandbox()) {
        GTEST_SKIP() << "needs the private /tmp";
    }
    add("client-1", script("one"));
    std::string big = source() + "/big.bin";
    int fd = open(big.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, off_t{1} << 31), 0);  // sparse: no data blocks
    close(fd);
    // An access time older than the modification time: any read of the file would move it forward.
    timespec times[2] = {{1000000000, 0}, {0, UTIME_NOW}};
    ASSERT_EQ(utimensat(AT_FDCWD, big.c_str(), times, 0), 0);

    process_result result = run_publisher({source(), output()}, 20);

    EXPECT_FALSE(result.timed_out) << "the tool read the file";
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err,
              "varnholt-publish: cannot publish 'big.bin': it has 2147483648 bytes, more than the 2147483647 "
              "a manifest can give\nvarnholt-publish: nothing was published\n");
    struct stat status;
    ASSERT_EQ(stat(big.c_str(), &status), 0);
    EXPECT_EQ(status.st_atim.tv_sec, 1000000000) << "the file was read";
    EXPECT_FALSE(file_exists(published(manifest_name)));
    EXPECT_FALSE(file_exists(published("client-1"))) << "nothing is copied before every file is checked";
}

TEST_F(Publish, OutputThatIsNotADirectory) {
    add("client-1", script("one"));
    ASSERT_EQ(mkdir(output().c_str(), 0755), 0);
    write_file(output() + "/downloads", "a file where the download root should be");

    process_result result = publish();

    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err, "varnholt-publish: cannot create directory '" + publication() +
                              "': Not a directory\nvarnholt-publish: nothing was published\n");
    EXPECT_EQ(read_file(output() + "/downloads"), "a file where the download root should be");
}

// A mount for the life of one test, in the test's private mount namespace.
class scoped_mount {
  public:
    explicit scoped_mount(const std::string& path) : path_(path) {}
    ~scoped_mount() { umount2(path_.c_str(), MNT_DETACH); }
    scoped_mount(const scoped_mount&) = delete;
    scoped_mount& operator=(const scoped_mount&) = delete;

  private:
    std::string path_;
};

TEST_F(Publish, ReadOnlyOutputKeepsTheOlderPublication) {
    if (!in_test_sandbox()) {
        GTEST_SKIP() << "needs a private mount namespace";
    }
    add("client-1", script("one"));
    ASSERT_EQ(publish().exit_status, 0);
    const std::string old_manifest = manifest_bytes();
    add("client-1", script("one, changed"));
    ASSERT_EQ(mount(output().c_str(), output().c_str(), nullptr, MS_BIND, nullptr), 0) << strerror(errno);
    scoped_mount unmount(output());
    ASSERT_EQ(mount(nullptr, output().c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr), 0)
        << strerror(errno);

    process_result result = publish();

    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err, "varnholt-publish: cannot write '" + published("client-1") +
                              "': Read-only file system\nvarnholt-publish: nothing was published\n");
    EXPECT_EQ(manifest_bytes(), old_manifest);
    EXPECT_EQ(read_file(published("client-1")), script("one"));
}

TEST_F(Publish, FullDiskLeavesNoHalfPublication) {
    if (!in_test_sandbox()) {
        GTEST_SKIP() << "needs a private mount namespace";
    }
    ASSERT_EQ(mkdir(output().c_str(), 0755), 0);
    ASSERT_EQ(mount("tmpfs", output().c_str(), "tmpfs", 0, "size=256k"), 0) << strerror(errno);
    scoped_mount unmount(output());
    add("client-1", script("one"));
    add("client-2", script("two"));
    ASSERT_EQ(publish().exit_status, 0);
    const std::string old_manifest = manifest_bytes();
    // Staged greatest name first: client-2 fits, a/huge after it does not.
    add("client-2", script("two, changed"));
    add("a/huge", binary_content(1 << 20, 1));

    process_result result = publish();

    EXPECT_EQ(result.exit_status, 1);
    EXPECT_NE(result.err.find("varnholt-publish: cannot write '" + published("a/huge") +
                              "': No space left on device\n"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(manifest_bytes(), old_manifest);
    EXPECT_EQ(read_file(published("client-2")), script("two")) << "no file is replaced before all are whole";
    EXPECT_FALSE(file_exists(published("a/huge")));
    EXPECT_EQ(leftover_temporaries(publication()), std::vector<std::string>{});
}

TEST_F(Publish, ConcurrentPublicationIsRefused) {
    add("client-1", script("one"));
    ASSERT_EQ(publish().exit_status, 0);
    int fd = open(publication().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);

    process_result result = publish();
    close(fd);

    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err, "varnholt-publish: cannot lock output directory '" + publication() +
                              "': another varnholt-publish is publishing there\n"
                              "varnholt-publish: nothing was published\n");
}

// --- serving the publication with the sample nginx configuration ---

std::string sample_configuration() {
    std::string text = read_file(VARNHOLT_NGINX_SAMPLE);
    EXPECT_FALSE(text.empty()) << VARNHOLT_NGINX_SAMPLE;
    return text;
}

// The sample's directives for the launcher, as they stand between its markers.
std::string sample_locations() {
    std::string locations = nginx_site_locations(sample_configuration());
    EXPECT_NE(locations, "") << "markers missing";
    return locations;
}

struct http_answer {
    int status = 0;
    std::string headers;  // lower case
    std::string body;
};

http_answer http_get(int port, const std::string& path, const std::string& extra_headers) {
    http_answer answer;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ADD_FAILURE() << "connect: " << strerror(errno);
        if (fd >= 0) {
            close(fd);
        }
        return answer;
    }
    std::string request = "GET " + path + " HTTP/1.1\r\nHost: updates.varnholt.example\r\n" + extra_headers +
                          "Connection: close\r\n\r\n";
    EXPECT_EQ(write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    std::string response;
    char buffer[65536];
    for (ssize_t got = read(fd, buffer, sizeof buffer); got > 0; got = read(fd, buffer, sizeof buffer)) {
        response.append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    size_t header_end = response.find("\r\n\r\n");
    if (response.compare(0, 9, "HTTP/1.1 ") != 0 || header_end == std::string::npos) {
        ADD_FAILURE() << "not an HTTP answer: " << response.substr(0, 200);
        return answer;
    }
    answer.status = std::stoi(response.substr(9, 3));
    answer.headers = response.substr(0, header_end + 2);
    for (char& c : answer.headers) {
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    answer.body = response.substr(header_end + 4);
    return answer;
}

TEST_F(Publish, NginxWithTheSampleServesThePublicationAsIs) {
    if (!in_test_sandbox()) {
        GTEST_SKIP() << "needs the private loopback";
    }
    const std::string client = binary_content(200000, 3);
    add("client-1", client);
    add("with space.bin", script("spaced"));
    ASSERT_EQ(publish().exit_status, 0);
    const std::string manifest = manifest_bytes();
    // gzip on for everything, as the distribution's nginx.conf has it: the sample must turn it off.
    nginx_server nginx(output(), 0, "gzip on; gzip_types *; gzip_min_length 1;\n" + sample_locations());

    struct {
        std::string path;
        std::string headers;
        std::string body;
    } served[] = {
        {download_root + "/" + manifest_name, "Accept-Encoding: identity\r\n", manifest},
        {download_root + "/" + manifest_name, "Accept-Encoding: gzip\r\n", manifest},
        {download_root + "/client-1", "Accept-Encoding: gzip\r\n", client},
        // Several ranges are not served: the whole file is.
        {download_root + "/client-1", "Range: bytes=0-9,20-29\r\n", client},
        {download_root + "/client-1", "If-Modified-Since: Fri, 01 Jan 2100 00:00:00 GMT\r\n", client},
        // The launcher escapes a space in a name as %20.
        {download_root + "/with%20space.bin", "", script("spaced")},
    };
    for (const auto& s : served) {
        http_answer answer = http_get(nginx.port(), s.path, s.headers);
        EXPECT_EQ(answer.status, 200) << s.path << " " << s.headers;
        EXPECT_TRUE(answer.body == s.body)
            << s.path << " " << s.headers << ": " << answer.body.size() << " bytes";
        EXPECT_EQ(answer.headers.find("content-encoding"), std::string::npos) << answer.headers;
        EXPECT_NE(answer.headers.find("content-type: application/octet-stream\r\n"), std::string::npos)
            << answer.headers;
    }

    // The rest of a file, as a launcher continuing it asks for it.
    http_answer rest = http_get(nginx.port(), download_root + "/client-1", "Range: bytes=150000-\r\n");
    EXPECT_EQ(rest.status, 206);
    EXPECT_NE(rest.headers.find("content-range: bytes 150000-199999/200000\r\n"), std::string::npos)
        << rest.headers;
    EXPECT_TRUE(rest.body == client.substr(150000));

    struct {
        std::string path;
        int status;
    } refused[] = {
        {"/", 404}, {download_root + "/", 403}, {download_root + "/missing", 404}, {"/downloads/", 404}};
    for (const auto& r : refused) {
        http_answer answer = http_get(nginx.port(), r.path, "");
        EXPECT_EQ(answer.status, r.status) << r.path;
        EXPECT_EQ(answer.body.find("client-1"), std::string::npos) << "a listing: " << answer.body;
    }
}

TEST(PublishNginxSample, WholeSampleIsValidNginxConfiguration) {
    temp_directory work;
    std::string wrapper = work.file("nginx.conf");
    std::string w = work.path();
    write_file(wrapper, nginx_configuration(w, std::string("include ") + VARNHOLT_NGINX_SAMPLE + ";"));
    process_result result =
        run_process({nginx_server::program, "-t", "-p", w + "/", "-e", w + "/error.log", "-c", wrapper});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_NE(sample_configuration().find("listen 80;"), std::string::npos);
}

}  // namespace
