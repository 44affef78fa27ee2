#include "updater/filesystem_updater.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "testing/digest.h"
#include "testing/log_capture.h"
#include "testing/sandbox.h"
#include "testing/scripted_server.h"
#include "testing/temp_directory.h"
#include "updater/update_test_support.h"

namespace {

using script = scripted_server::script;
using strings = std::vector<std::string>;

const std::string hash20(20, 'a');

// A configured updater over <dir>/executables, recording what it reports.
struct updater_fixture {
    temp_directory dir;
    const std::string destination = dir.file("executables");
    const std::string temporary = dir.file("executables/download.tmp");
    const std::string manifest_file = dir.file("executables/update_manifest.lst");
    tal_filesystem_updater updater;
    strings messages;
    std::vector<std::pair<double, double>> bytes;
    std::vector<manifest_entry*> owned;

    explicit updater_fixture(int verbose = 1) {
        updater.verbose = verbose;
        updater.callback_user = this;
        updater.message_callback = [](void* user, const char* text) {
            static_cast<updater_fixture*>(user)->messages.push_back(text);
        };
        updater.bytes_progress_callback = [](void* user, double done, double total) {
            static_cast<updater_fixture*>(user)->bytes.emplace_back(done, total);
        };
        updater.clock_seconds = [] { return time_t{1000}; };
    }
    ~updater_fixture() {
        for (manifest_entry* e : owned) {
            delete e;
        }
    }

    void configure() {
        ASSERT_EQ(updater.set_destination_path(destination.c_str()), 1);
        ASSERT_EQ(updater.set_temporary_file(temporary.c_str()), 1);
    }
    // Configured with a local manifest that does not exist yet.
    void configure_new() {
        configure();
        ASSERT_EQ(updater.load_manifest(manifest_file.c_str()), 0);
    }

    // update_files over entries of these names and sizes; clears what was recorded before.
    int update(const std::vector<std::pair<std::string, int>>& files) {
        pointer_vector list;
        for (const auto& f : files) {
            owned.push_back(new manifest_entry(f.first.c_str(), hash20.c_str(), f.second));
            list.append(owned.back());
        }
        messages.clear();
        bytes.clear();
        return updater.update_files("127.0.0.1", update_server::root_path, list);
    }

    std::string installed(const std::string& name) const { return read_file(destination + "/" + name); }
};

std::string local_line(const std::string& name, int size, char seed = 'a') {
    return manifest_line(name, size, seed);
}

}  // namespace

// --- Configuration and the local manifest ---

TEST(FilesystemUpdater, DirectoriesAndTemporaryFile) {
    temp_directory dir;
    write_file(dir.file("plain"), "a file where a directory should be");
    tal_filesystem_updater u;
    EXPECT_EQ(u.set_destination_path(nullptr), 0);
    EXPECT_EQ(u.set_destination_path(dir.file("plain/exe").c_str()), 0);
    EXPECT_EQ(u.set_destination_path(dir.file("new/exe").c_str()), 1);
    EXPECT_STREQ(u.destination_path, dir.file("new/exe").c_str());
    EXPECT_EQ(u.set_temporary_file(dir.file("plain/download.tmp").c_str()), 0);
    EXPECT_STREQ(u.temporary_file, dir.file("plain/download.tmp").c_str());
    EXPECT_EQ(u.set_temporary_file(dir.file("t/u/download.tmp").c_str()), 1);
    EXPECT_EQ(read_file(dir.file("t/u/download.tmp")), "");
}

TEST(FilesystemUpdater, LoadManifestReportsAndPrunes) {
    updater_fixture f;
    f.configure();
    write_file(f.destination + "/kept", "x");
    write_file(f.manifest_file, manifest_header + local_line("kept", 1) + local_line("gone", 2));
    EXPECT_EQ(f.updater.load_manifest(f.manifest_file.c_str()), 1);
    EXPECT_EQ(f.messages, (strings{"Loaded 2 entries from current manifest file '" + f.manifest_file + "'.",
                                   "Some files were deleted.  Only 1 entries remain."}));
    EXPECT_NE(f.updater.manifest.find_entry("kept"), nullptr);
    EXPECT_EQ(f.updater.manifest.find_entry("gone"), nullptr);
    EXPECT_EQ(f.updater.manifest_dirty, 0);
}

TEST(FilesystemUpdater, MissingManifestIsNotRewritten) {
    updater_fixture f;
    f.configure();
    EXPECT_EQ(f.updater.load_manifest(f.manifest_file.c_str()), 0);
    EXPECT_STREQ(f.updater.manifest_path, f.manifest_file.c_str());
    EXPECT_EQ(f.updater.manifest_dirty, 0);
    f.updater.save_manifest_on_completion();
    EXPECT_FALSE(file_exists(f.manifest_file));
    EXPECT_TRUE(f.messages.empty());
}

TEST(FilesystemUpdater, DamagedManifestIsRewrittenFromWhatCameBefore) {
    log_capture log;
    updater_fixture f;
    f.configure();
    write_file(f.destination + "/one", "1");
    write_file(f.destination + "/three", "333");
    write_file(f.manifest_file, manifest_header + local_line("one", 1) + local_line("two", 2) +
                                    local_line("three", 3) + "damaged line\n" + local_line("four", 4));
    EXPECT_EQ(f.updater.load_manifest(f.manifest_file.c_str()), 0);
    EXPECT_EQ(f.updater.manifest_dirty, 1);
    f.updater.save_manifest_on_completion();
    EXPECT_EQ(read_file(f.manifest_file), manifest_header + local_line("one", 1) + local_line("three", 3));
    EXPECT_EQ(f.messages, strings{"Saving file manifest due to completion."});
}

TEST(FilesystemUpdater, NeedsUpdate) {
    updater_fixture f;
    f.configure();
    write_file(f.destination + "/same", "12345");
    write_file(f.manifest_file, manifest_header + local_line("same", 5));
    ASSERT_EQ(f.updater.load_manifest(f.manifest_file.c_str()), 1);
    const std::string other(20, 'b');
    struct {
        const char* name;
        const char* hash;
        int size;
        int result;
        strings messages;
    } cases[] = {
        {"same", hash20.c_str(), 5, 0, {}},
        {"same",
         other.c_str(),
         5,
         1,
         {"Expected        5, " + other, "Previous        5, " + hash20 + " - file 'same'"}},
        {"same",
         hash20.c_str(),
         6,
         1,
         {"Expected        6, " + hash20, "Previous        5, " + hash20 + " - file 'same'"}},
        {"absent", hash20.c_str(), 5, 1, {"File 'absent' missing, should update."}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.size));
        f.messages.clear();
        manifest_entry remote(c.name, c.hash, c.size);
        EXPECT_EQ(f.updater.needs_update(remote), c.result);
        EXPECT_EQ(f.messages, c.messages);
    }
}

// --- update_files ---

TEST(FilesystemUpdater, RefusesToStartWithoutUsablePaths) {
    temp_directory dir;
    write_file(dir.file("plain"), "");
    struct {
        const char* name;
        const char* temporary;  // null: never set
        const char* destination;
        int result;
        const char* message;
    } cases[] = {
        {"no temporary file", nullptr, "exe", 1, "No temporary download filename set."},
        {"temporary file unwriteable", "plain/download.tmp", "exe", 5, "Temporary file unwriteable."},
        {"no destination", "download.tmp", nullptr, 2, "No destination path set to store downloaded files."},
        {"destination unwriteable", "download.tmp", "plain/exe", 5,
         "Download base path appears to be unwriteable."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        updater_fixture f;
        if (c.temporary != nullptr) {
            f.updater.set_temporary_file(dir.file(c.temporary).c_str());
        }
        if (c.destination != nullptr) {
            f.updater.set_destination_path(dir.file(c.destination).c_str());
        }
        EXPECT_EQ(f.update({{"a", 1}}), c.result);
        EXPECT_EQ(f.messages, strings{c.message});
    }
}

TEST(FilesystemUpdater, EmptyListFetchesAndSavesNothing) {
    REQUIRE_SANDBOX();
    update_server server;
    server.start();
    updater_fixture f;
    f.configure_new();
    EXPECT_EQ(f.update({}), 0);
    EXPECT_TRUE(f.messages.empty());
    EXPECT_FALSE(file_exists(f.manifest_file));
    EXPECT_EQ(server.access_log(), "");
}

TEST(FilesystemUpdater, InstallsFilesAndSavesOnceAtCompletion) {
    REQUIRE_SANDBOX();
    log_capture log;
    update_server server;
    server.put_file("client-a", "aaaa");
    server.put_file("sub/dir/client b", "bbbbbb");
    server.put_file("rooted", "rr");
    server.start();
    updater_fixture f;
    f.configure();
    write_file(f.destination + "/client-a", "old version");
    write_file(f.destination + "/kept", "k");
    write_file(f.manifest_file, manifest_header + local_line("client-a", 11, 'c') + local_line("kept", 1));
    ASSERT_EQ(f.updater.load_manifest(f.manifest_file.c_str()), 1);
    EXPECT_EQ(f.update({{"client-a", 4}, {"sub/dir/client b", 6}, {"/rooted", 2}}), 0);

    EXPECT_EQ(f.messages, (strings{
                              "Updating file 'client-a'.",
                              "Starting download of file '/downloads/tessar_v3/client-a'.",
                              "Received          4 /         12 bytes.",
                              "Updating file 'sub/dir/client b'.",
                              "Starting download of file '/downloads/tessar_v3/sub/dir/client b'.",
                              "Received         10 /         12 bytes.",
                              "Updating file '/rooted'.",
                              "Starting download of file '/downloads/tessar_v3/rooted'.",
                              "Received         12 /         12 bytes.",
                              "Saving file manifest due to completion.",
                          }));
    EXPECT_EQ(f.installed("client-a"), "aaaa");
    EXPECT_EQ(f.installed("sub/dir/client b"), "bbbbbb");
    EXPECT_EQ(f.installed("rooted"), "rr");
    EXPECT_EQ(server.access_log(3),
              "\"GET /downloads/tessar_v3/client-a HTTP/1.1\" 200 4\n"
              "\"GET /downloads/tessar_v3/sub/dir/client%20b HTTP/1.1\" 200 6\n"
              "\"GET /downloads/tessar_v3/rooted HTTP/1.1\" 200 2\n");
    // New entries go first, the one installed last at the top; an updated entry keeps its place.
    EXPECT_EQ(read_file(f.manifest_file), manifest_header + local_line("/rooted", 2) +
                                              local_line("sub/dir/client b", 6) + local_line("client-a", 4) +
                                              local_line("kept", 1));
    EXPECT_EQ(log.text(), "");
}

TEST(FilesystemUpdater, ProgressCountsFailedFilesAsCompleted) {
    REQUIRE_SANDBOX();
    log_capture log;
    update_server server;
    server.put_file("ok", "12345");
    server.start();
    updater_fixture f;
    f.configure_new();
    EXPECT_EQ(f.update({{"missing", 100}, {"ok", 5}}), 0);
    EXPECT_EQ(f.messages, (strings{
                              "Updating file 'missing'.",
                              "Starting download of file '/downloads/tessar_v3/missing'.",
                              "Received        100 /        105 bytes.",
                              "Unable to update file 'missing' - download failed.",
                              "Updating file 'ok'.",
                              "Starting download of file '/downloads/tessar_v3/ok'.",
                              "Received        105 /        105 bytes.",
                              "Saving file manifest due to completion.",
                          }));
    // (0, 5) before the piece arrives, then the install.
    EXPECT_EQ(f.bytes, (std::vector<std::pair<double, double>>{{100, 105}, {105, 105}}));
    EXPECT_EQ(f.updater.manifest.find_entry("missing"), nullptr);
    EXPECT_NE(f.updater.manifest.find_entry("ok"), nullptr);
}

TEST(FilesystemUpdater, BodyWithoutLengthCountsOnce) {
    REQUIRE_SANDBOX();
    scripted_server server(script().accept().read_request().send("HTTP/1.1 200 OK\r\n\r\n12345").close(), 80);
    updater_fixture f;
    f.configure_new();
    EXPECT_EQ(f.update({{"a", 5}}), 0);
    EXPECT_EQ(f.installed("a"), "12345");
    ASSERT_FALSE(f.bytes.empty());
    EXPECT_EQ(f.bytes.back(), std::make_pair(5.0, 5.0));
}

TEST(FilesystemUpdater, WrongSizedDownloadsAreNotInstalled) {
    REQUIRE_SANDBOX();
    log_capture log;
    update_server server;
    server.put_file("longer", "123456");
    server.put_file("shorter", "1234");
    server.start();
    updater_fixture f(0);
    f.updater.retry_backoff_ms = 1;
    f.configure_new();
    write_file(f.destination + "/longer", "old");
    write_file(f.destination + "/shorter", "old");
    EXPECT_EQ(f.update({{"longer", 5}, {"shorter", 5}}), 0);
    // Too long is final. Too short is tried again: nginx refuses the rest from byte 4 (416), which
    // starts the file again, and it is short again, until the retries without progress are used up.
    EXPECT_EQ(f.messages, (strings{"Unable to update file 'longer' - download failed.",
                                   "Retrying 'shorter' from byte 4.", "Retrying 'shorter' from byte 0.",
                                   "Retrying 'shorter' from byte 4.", "Retrying 'shorter' from byte 0.",
                                   "Unable to update file 'shorter' - download failed."}));
    EXPECT_EQ(f.installed("longer"), "old");
    EXPECT_EQ(f.installed("shorter"), "old");
    EXPECT_EQ(read_file(f.temporary), "1234");  // kept, with its record, for the next run
    EXPECT_EQ(f.updater.manifest.head, nullptr);
    EXPECT_FALSE(file_exists(f.manifest_file));
    const std::string shorter =
        "Error in tal_filesystem_updater::download_file(), '/downloads/tessar_v3/shorter' arrived with 4 "
        "bytes, the manifest says 5.\n";
    EXPECT_EQ(log.text().substr(0, log.text().find(shorter) + shorter.size()),
              "Warning in kest_http_downloader::callback_content_data_received(), body longer than 5 bytes.  "
              "Bailing.\n"
              "Error in kest_http_downloader::download(), http data fetch failed.\n"
              "Error in ~kest_tcp_socket(), socket not closed.\n" +
                  shorter);
}

// From a signed manifest a file is installed only with its record's SHA-256, hashed as it arrives.
TEST(FilesystemUpdater, ContentOtherThanTheRecordsHashIsNotInstalled) {
    REQUIRE_SANDBOX();
    log_capture log;
    update_server server;
    server.put_file("good", "good bytes");
    server.put_file("tampered", "evil bytes");
    server.start();
    updater_fixture f(0);
    f.configure_new();
    write_file(f.destination + "/tampered", "old");
    f.updater.verify_content_hash = 1;
    const std::string good_hash = sha256_hex("good bytes");
    manifest_entry good("good", good_hash.c_str(), 10);
    manifest_entry tampered("tampered", sha256_hex("fair bytes").c_str(), 10);
    pointer_vector list;
    list.append(&good);
    list.append(&tampered);
    EXPECT_EQ(f.updater.update_files("127.0.0.1", update_server::root_path, list), 0);

    EXPECT_EQ(f.messages,
              (strings{"Unable to update file 'tampered' - content does not match the manifest."}));
    EXPECT_EQ(f.installed("good"), "good bytes");
    EXPECT_EQ(f.installed("tampered"), "old");
    EXPECT_EQ(read_file(f.temporary), "") << "discarded as after a failed download";
    EXPECT_NE(f.updater.manifest.find_entry("good"), nullptr);
    EXPECT_EQ(f.updater.manifest.find_entry("tampered"), nullptr);
    EXPECT_EQ(log.text(),
              "Error in tal_filesystem_updater::download_file(), '/downloads/tessar_v3/tampered' "
              "arrived with SHA-256 " +
                  sha256_hex("evil bytes") + ", the manifest says " + sha256_hex("fair bytes") + ".\n");
}

TEST(FilesystemUpdater, EndlessBodyIsAbandonedAtOnce) {
    REQUIRE_SANDBOX();
    log_capture log;
    // Announces far more than the record's size, sends one byte too many, then keeps the line open.
    scripted_server server(script()
                               .accept()
                               .read_request()
                               .send("HTTP/1.1 200 OK\r\nContent-Length: 1000000000\r\n\r\n12345678901")
                               .stall(),
                           80);
    updater_fixture f(0);
    f.configure_new();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(f.update({{"a", 10}}), 0);
    // A download that went on past the record's size would wait for the stall limit, a minute.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_EQ(f.messages, strings{"Unable to update file 'a' - download failed."});
    EXPECT_FALSE(file_exists(f.destination + "/a"));
}

TEST(FilesystemUpdater, ShortBodiesAndStallsFail) {
    REQUIRE_SANDBOX();
    log_capture log;
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n";
    struct {
        const char* name;
        script plan;
    } cases[] = {
        {"closed early", script().accept().read_request().send(head + "12345").close()},
        {"reset", script().accept().read_request().send(head + "12345").sleep(50).reset()},
        {"stalled", script().accept().read_request().send(head + "12345").stall(5000)},
    };
    // Each is tried again from byte 5; the server's script is over, so every retry stalls, without
    // progress, until the retries are used up. The five bytes stay for the next run.
    const std::string retry = "Retrying 'a' from byte 5.";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        scripted_server server(c.plan, 80);
        updater_fixture f(0);
        f.updater.wait_ms = 100;
        f.updater.stall_window_ms = 300;
        f.updater.retry_backoff_ms = 1;
        f.configure_new();
        EXPECT_EQ(f.update({{"a", 10}}), 0);
        EXPECT_EQ(f.messages,
                  (strings{retry, retry, retry, retry, "Unable to update file 'a' - download failed."}));
        EXPECT_FALSE(file_exists(f.destination + "/a"));
        EXPECT_EQ(read_file(f.temporary), "12345");
    }
}

// A file may take the allowance plus its size at the floor rate: 1 s for 4096 bytes without allowance,
// while this server would need 4 s for them (not slow enough to count as stalled).
TEST(FilesystemUpdater, DownloadTimeLimitFollowsTheFileSize) {
    REQUIRE_SANDBOX();
    log_capture log;
    script plan;
    plan.accept().read_request().send("HTTP/1.1 200 OK\r\nContent-Length: 4096\r\n\r\n");
    for (int i = 0; i < 40; ++i) {
        plan.send(std::string(100, 'x')).sleep(100);
    }
    plan.send(std::string(96, 'x')).close();
    scripted_server server(plan, 80);
    updater_fixture f(0);
    f.updater.time_limit_allowance_ms = 0;
    // The run's downloads may take no longer than the file's own limit either, so it is not tried again.
    f.updater.run_time_allowance_ms = 0;
    f.configure_new();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(f.update({{"a", 4096}}), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(990));
    EXPECT_EQ(f.messages, strings{"Unable to update file 'a' - download failed."});
    EXPECT_NE(log.text().find("transfer took too long, giving up."), std::string::npos) << log.text();
    EXPECT_FALSE(file_exists(f.destination + "/a"));
}

TEST(FilesystemUpdater, FailedRenameKeepsTheOldVersion) {
    REQUIRE_SANDBOX();
    update_server server;
    server.put_file("locked/client", "new");
    server.put_file("dir", "new");
    server.start();
    updater_fixture f(0);
    f.configure_new();
    // The target's directory is a read-only bind mount; "dir" is a directory that holds a file.
    const std::string locked = f.destination + "/locked";
    mkdir(locked.c_str(), 0700);
    write_file(locked + "/client", "old");
    ASSERT_EQ(mount(locked.c_str(), locked.c_str(), nullptr, MS_BIND, nullptr), 0);
    ASSERT_EQ(mount(nullptr, locked.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr), 0);
    mkdir((f.destination + "/dir").c_str(), 0700);
    write_file(f.destination + "/dir/inside", "x");

    EXPECT_EQ(f.update({{"locked/client", 3}, {"dir", 3}}), 0);
    umount(locked.c_str());
    EXPECT_EQ(f.messages, (strings{"Unable to update file 'locked/client' - cannot write new version.",
                                   "Unable to update file 'dir' - cannot write new version."}));
    EXPECT_EQ(f.installed("locked/client"), "old");
    EXPECT_EQ(f.installed("dir/inside"), "x");
    EXPECT_EQ(f.updater.manifest.head, nullptr);
}

TEST(FilesystemUpdater, NamesThatCannotBecomePaths) {
    REQUIRE_SANDBOX();
    log_capture log;
    update_server server;
    server.put_file("ok", "1");
    server.start();
    updater_fixture f(0);
    f.configure_new();
    write_file(f.destination + "/blocker", "a file where a directory should be");
    EXPECT_EQ(f.update({{"../escape", 1},
                        {"a/../../escape", 1},
                        {"download.tmp", 1},
                        {"blocker/deeper/x", 1},
                        {"ok", 1}}),
              0);
    EXPECT_EQ(f.messages,
              (strings{
                  "Unable to update file '../escape' - unsafe file name, it has a '..' component.",
                  "Unable to update file 'a/../../escape' - unsafe file name, it has a '..' "
                  "component.",
                  "Unable to update file 'download.tmp' - unsafe file name, it names one of the "
                  "launcher's own files.",
                  "Unable to update file 'blocker/deeper/x' - cannot create directory.",
              }));
    EXPECT_EQ(server.access_log(1), "\"GET /downloads/tessar_v3/ok HTTP/1.1\" 200 1\n");
    EXPECT_FALSE(file_exists(f.dir.file("escape")));
}

// --- When the manifest is saved ---

TEST(FilesystemUpdater, PeriodicSaves) {
    REQUIRE_SANDBOX();
    update_server server;
    server.put_file("a", "1");
    server.put_file("b", "2");
    server.start();
    struct {
        const char* name;
        time_t (*clock)();
        strings saves;
    } cases[] = {
        {"the clock stands still: once, at completion",
         [] { return time_t{1000}; },
         {"Saving file manifest due to completion."}},
        // 11 s pass on every reading: each install comes more than ten seconds after the last save.
        {"eleven seconds per reading: after each install",
         [] {
             static time_t now = 1000;
             return now += 11;
         },
         {"Saving file manifest.", "Saving file manifest."}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        updater_fixture f;
        f.updater.clock_seconds = c.clock;
        f.configure_new();
        EXPECT_EQ(f.update({{"a", 1}, {"b", 1}}), 0);
        strings saves;
        for (const std::string& m : f.messages) {
            if (m.compare(0, 6, "Saving") == 0) {
                saves.push_back(m);
            }
        }
        EXPECT_EQ(saves, c.saves);
        EXPECT_EQ(read_file(f.manifest_file), manifest_header + local_line("b", 1) + local_line("a", 1));
    }
}

TEST(FilesystemUpdater, SaveIntervalIsAField) {
    tal_filesystem_updater u;
    EXPECT_EQ(u.save_interval_seconds, 10);
    u.clock_seconds = [] { return time_t{100}; };
    u.manifest_dirty = 1;
    u.last_save_time = 90;  // exactly ten seconds ago: not yet
    u.save_manifest_periodically();
    EXPECT_EQ(u.manifest_dirty, 1);
    EXPECT_EQ(u.last_save_time, 90);
}

TEST(FilesystemUpdater, SaveFailureStopsTheUpdateReportedOnce) {
    REQUIRE_SANDBOX();
    update_server server;
    server.put_file("a", "1");
    server.put_file("b", "2");
    server.start();
    temp_directory dir;
    write_file(dir.file("plain"), "");
    updater_fixture f(0);
    // Eleven seconds pass on every reading, so a save is due right after the first install.
    f.updater.clock_seconds = [] {
        static time_t now = 1000;
        return now += 11;
    };
    f.configure();
    // The manifest's directory is a regular file, so no save can succeed.
    f.updater.load_manifest(dir.file("plain/update_manifest.lst").c_str());
    EXPECT_EQ(f.update({{"a", 1}, {"b", 1}}), 6);
    EXPECT_EQ(f.messages, strings{"Error - unable to save manifest file.  Bailing out."});
    EXPECT_EQ(f.updater.manifest_save_failed, 1);
    EXPECT_EQ(f.installed("a"), "1");
    EXPECT_FALSE(file_exists(f.destination + "/b"));
    f.updater.save_manifest_on_completion();
    EXPECT_EQ(f.messages.size(), 1u);
}
