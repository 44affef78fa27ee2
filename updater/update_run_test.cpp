#include "updater/update_run.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/config_directory.h"
#include "support/worker_thread.h"
#include "testing/log_capture.h"
#include "testing/sandbox.h"
#include "testing/scripted_server.h"
#include "testing/temp_directory.h"
#include "updater/update_test_support.h"

namespace {

using script = scripted_server::script;
using strings = std::vector<std::string>;

const std::string list = update_server::list;

std::atomic<int> beta_mode{0};
int beta_enabled() {
    return beta_mode.load();
}

time_t still_clock() {
    return 1000;
}

class progress_recorder : public update_progress_sink {
  public:
    void set_download_progress(double percent) override { values.push_back(percent); }
    std::vector<double> values;
};

// What the window does with progress, without a display: the worker posts each value to a queue, and
// the main thread takes them from it while the run goes on.
class posted_progress : public update_progress_sink {
  public:
    void set_download_progress(double percent) override {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_.push_back(percent);
    }
    std::vector<double> take() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<double> taken;
        taken.swap(pending_);
        return taken;
    }

  private:
    std::mutex mutex_;
    std::vector<double> pending_;
};

// A HOME of the test's own with the launcher's configuration directory in it, as the worker expects.
struct worker_home {
    temp_directory home;
    std::string destination;
    std::string manifest;

    // False when the configuration directory could not be made.
    bool set_up() {
        setenv("HOME", home.path().c_str(), 1);
        kest_client_forget_config_directory();  // whatever an earlier test of this process chose
        if (kest_client_set_up_config_directory("Varnholt") != 1) {
            return false;
        }
        destination = std::string(get_config_directory()) + "/executables";
        manifest = destination + "/update_manifest.lst";
        return true;
    }
};

// A file on the server and its record in the remote manifest (the hash is made from `seed`).
struct remote_file {
    std::string name;
    int size;
    char seed = 'a';
    std::string content() const { return std::string(static_cast<size_t>(size), 'n'); }
    std::string line() const { return manifest_line(name, size, seed); }
};

// An executables directory with its local manifest, and the run over it.
struct run_fixture {
    temp_directory dir;
    const std::string destination = dir.file("executables");
    const std::string manifest = dir.file("executables/update_manifest.lst");
    const std::string temporary = dir.file("executables/download.tmp");
    std::atomic<int> verbose{0};
    progress_recorder window;
    time_t (*clock)() = still_clock;

    run_fixture() { mkdir(destination.c_str(), 0700); }

    void local_file(const std::string& name, const std::string& content) const {
        write_file(destination + "/" + name, content);
    }
    // The local manifest lists these records, and their files exist with the server's content.
    void installed(const std::vector<remote_file>& files) const {
        std::string text = manifest_header;
        for (const remote_file& f : files) {
            text += f.line();
            local_file(f.name, f.content());
        }
        write_file(manifest, text);
    }

    // The run's result; its console output goes to `console`.
    int run(std::string& console) {
        update_run_options options{&window, &verbose, beta_enabled, clock, nullptr};
        console_capture capture;
        int result = run_executable_updater(options, "127.0.0.1", update_server::root_path, list.c_str(),
                                            manifest.c_str(), destination.c_str(), temporary.c_str());
        console = capture.text();
        return result;
    }
};

// Starts nginx with these remote files and their manifest.
void serve(update_server& server, const std::vector<remote_file>& files) {
    std::string text;
    for (const remote_file& f : files) {
        text += f.line();
        server.put_file(f.name, f.content());
    }
    server.put_manifest(gzip_text(text));
    server.start();
}

// The paths requested after the manifest, from nginx's access log.
strings fetched_files(const update_server& server, size_t expected) {
    std::string log = server.access_log(expected + 1);
    strings paths;
    const std::string prefix = std::string("\"GET ") + update_server::root_path + "/";
    for (size_t at = 0; (at = log.find(prefix, at)) != std::string::npos; ++at) {
        size_t start = at + prefix.size();
        std::string path = log.substr(start, log.find(' ', start) - start);
        if (path != list) {
            paths.push_back(path);
        }
    }
    return paths;
}

}  // namespace

// --- Console output, exactly ---

TEST(UpdateRun, UpToDateQuietly) {
    REQUIRE_SANDBOX();
    log_capture log;
    const std::vector<remote_file> files = {{"client-2", 5}, {"client-1", 3}};
    update_server server;
    serve(server, files);
    run_fixture f;
    f.installed(files);
    std::string console;
    EXPECT_EQ(f.run(console), 1);
    EXPECT_EQ(console, "..\nEverything appears to be up to date already.\n");
    EXPECT_EQ(fetched_files(server, 0), strings{});
    EXPECT_EQ(log.text(), "");
}

TEST(UpdateRun, UpToDateVerbosely) {
    REQUIRE_SANDBOX();
    log_capture log(3);
    const std::vector<remote_file> files = {{"client-2", 5}, {"client-1", 3}};
    update_server server;
    serve(server, files);
    run_fixture f;
    f.installed(files);
    f.verbose = 1;
    std::string console;
    EXPECT_EQ(f.run(console), 1);
    EXPECT_EQ(console,
              "..\n"
              "Retrieved 2 records from remote server.\n"
              "Loaded 2 entries from current manifest file '" +
                  f.manifest +
                  "'.\n"
                  "File 'client-2' up to date.\n"
                  "File 'client-1' up to date.\n"
                  "Everything appears to be up to date already.\n");
    EXPECT_EQ(log.text(), "kest_client_try_open_debug_logfile() opened logfile '" + log.path() +
                              "'\n"
                              "Filesystem updater -------\n"
                              "Server name:       127.0.0.1\n"
                              "Root path:         /downloads/tessar_v3\n"
                              "Remote file list:  manifest_linux32_executables.txt.gz\n"
                              "Local manifest:    " +
                              f.manifest +
                              "\n"
                              "Destination path:  " +
                              f.destination +
                              "\n"
                              "Temporary file:    " +
                              f.temporary + "\n");
}

TEST(UpdateRun, MissingLocalManifestIsCreatedAfterTheInstall) {
    REQUIRE_SANDBOX();
    const std::vector<remote_file> files = {{"client-2", 5}, {"client-1", 3}};
    for (int verbose : {0, 1}) {
        SCOPED_TRACE(verbose);
        log_capture log;
        update_server server;
        serve(server, files);
        run_fixture f;
        f.verbose = verbose;
        std::string console;
        EXPECT_EQ(f.run(console), 1);
        const std::string creating =
            "Unable to load local manifest file '" + f.manifest + "', creating new.\n";
        if (verbose) {
            EXPECT_EQ(console,
                      "..\n"
                      "Retrieved 2 records from remote server.\n" +
                          creating + "No backing file for '" + f.destination +
                          "/client-2'.\n"
                          "File 'client-2' missing, should update.\n"
                          "Found first file 'client-2'.\n"
                          "No backing file for '" +
                          f.destination +
                          "/client-1'.\n"
                          "File 'client-1' missing, should update.\n"
                          "One file to update.\n"
                          "Updating file 'client-2'.\n"
                          "Starting download of file '/downloads/tessar_v3/client-2'.\n"
                          "..\n"
                          "Received          5 /          5 bytes.\n"
                          "Saving file manifest due to completion.\n");
        } else {
            EXPECT_EQ(console, "..\n" + creating + "One file to update.\n");
        }
        EXPECT_EQ(read_file(f.destination + "/client-2"), "nnnnn");
        EXPECT_EQ(read_file(f.manifest), manifest_header + files[0].line());
        EXPECT_EQ(f.window.values, (std::vector<double>{0, 100}));
    }
}

TEST(UpdateRun, PercentageLinesOncePerSecond) {
    REQUIRE_SANDBOX();
    struct {
        const char* name;
        int size;
        time_t (*clock)();
        std::string lines;
        std::vector<double> window;
    } cases[] = {
        {"the clock stands still", 5, still_clock, "", {0, 100}},
        {"a new second on every reading",
         5,
         [] {
             static time_t now = 0;
             return ++now;
         },
         "  0.0% complete.\n100.0% complete.\n",
         {0, 100}},
        // Nothing to download: the total of 0 bytes is taken as 1.
        {"a total of 0 bytes",
         0,
         [] {
             static time_t now = 0;
             return ++now;
         },
         "  0.0% complete.\n",
         {0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<remote_file> files = {{"client", c.size}};
        update_server server;
        serve(server, files);
        run_fixture f;
        f.clock = c.clock;
        std::string console;
        log_capture log;
        EXPECT_EQ(f.run(console), 1);
        EXPECT_EQ(console, "..\nUnable to load local manifest file '" + f.manifest + "', creating new.\n" +
                               "One file to update.\n" + c.lines);
        EXPECT_EQ(f.window.values, c.window);
        EXPECT_EQ(read_file(f.manifest), manifest_header + files[0].line());
    }
}

// --- Which records are fetched ---

TEST(UpdateRun, Selection) {
    REQUIRE_SANDBOX();
    const remote_file plain_a{"client-2", 5}, plain_b{"client-1", 3}, beta_a{"client-beta-2", 4},
        beta_b{"client-beta-1", 2};
    const remote_file plain_a_new_hash{"client-2", 5, 'b'};
    struct {
        const char* name;
        std::vector<remote_file> remote;
        std::vector<remote_file> installed;
        std::vector<std::pair<std::string, std::string>> other_local_files;
        int beta;
        strings fetched;
        const char* count_line;
    } cases[] = {
        {"first plain record current, second missing",
         {plain_a, plain_b},
         {plain_a},
         {},
         0,
         {},
         "Everything appears to be up to date already."},
        {"only the first plain record", {plain_a, plain_b}, {}, {}, 0, {"client-2"}, "One file to update."},
        {"a new hash of the same size",
         {plain_a_new_hash, plain_b},
         {plain_a},
         {},
         0,
         {"client-2"},
         "One file to update."},
        {"beta mode: only the first beta record",
         {plain_a, beta_a, beta_b},
         {plain_a},
         {},
         1,
         {"client-beta-2"},
         "One file to update."},
        {"normal mode: never a beta record",
         {plain_a, beta_a, beta_b},
         {plain_a},
         {},
         0,
         {},
         "Everything appears to be up to date already."},
        {"beta mode, first plain and first beta",
         {beta_a, plain_a, beta_b, plain_b},
         {},
         {},
         1,
         {"client-beta-2", "client-2"},
         "2 files to update."},
        {"a local file of another size, anywhere, even beta in normal mode",
         {plain_a, plain_b, beta_a, beta_b},
         {plain_a},
         {{"client-1", "x"}, {"client-beta-1", "xxx"}},
         0,
         {"client-1", "client-beta-1"},
         "2 files to update."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log_capture log;
        update_server server;
        serve(server, c.remote);
        run_fixture f;
        f.installed(c.installed);
        for (const auto& file : c.other_local_files) {
            f.local_file(file.first, file.second);
        }
        beta_mode = c.beta;
        std::string console;
        EXPECT_EQ(f.run(console), 1);
        EXPECT_NE(console.find(std::string("\n") + c.count_line + "\n"), std::string::npos) << console;
        EXPECT_EQ(fetched_files(server, c.fetched.size()), c.fetched);
        for (const std::string& name : c.fetched) {
            for (const remote_file& r : c.remote) {
                if (r.name == name) {
                    EXPECT_EQ(read_file(f.destination + "/" + name), r.content()) << name;
                }
            }
        }
    }
    beta_mode = 0;
}

// The rule alone, one record at a time: what it decides, what it remembers, and what it asks.
TEST(RecordSelection, DecisionsForOneRecord) {
    using why = record_selection;
    const record_selection_state fresh;
    const record_selection_state plain_seen{false, true};
    const record_selection_state beta_seen{true, false};
    const record_selection_state both_seen{false, false};
    const std::string hash(64, 'a');
    constexpr int size = 1, needs = 2, both = size | needs;
    struct {
        const char* name;
        int64_t local_size;  // -1: no local file
        bool needs_update;
        bool beta_mode;
        record_selection_state before;
        why expected;
        record_selection_state after;
        int asked;  // the questions asked
    } cases[] = {
        {nullptr, 10, true, true, fresh, why::no_name, fresh, 0},
        {"../escape", 10, true, true, fresh, why::unsafe_name, fresh, 0},  // not a first record either
        {"lock.tmp", -1, true, true, fresh, why::unsafe_name, fresh, 0},
        {"client-2", 7, false, false, fresh, why::size_differs, plain_seen, size},
        {"client-2", 7, false, false, both_seen, why::size_differs, both_seen, size},  // whatever its place
        {"client-2-beta", 7, false, false, fresh, why::size_differs, beta_seen,
         size},  // even outside beta mode
        {"client-2", 10, false, false, fresh, why::up_to_date, plain_seen, both},
        {"client-2", -1, false, false, fresh, why::up_to_date, plain_seen, both},
        {"client-2", -1, true, false, fresh, why::first_plain, plain_seen, both},
        {"client-2", 10, true, true, beta_seen, why::first_plain, both_seen, both},
        {"client-2", -1, true, false, plain_seen, why::later_plain, plain_seen, both},
        {"client-2-beta", -1, true, true, fresh, why::first_beta, beta_seen, both},
        {"client-2-beta", -1, true, false, fresh, why::beta_mode_off, beta_seen, both},
        {"client-2-beta", -1, true, true, beta_seen, why::later_beta, beta_seen, both},
        {"client-2-Beta", -1, true, false, plain_seen, why::later_plain, plain_seen, both},  // case matters
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name != nullptr ? c.name : "(null)");
        manifest_entry record(c.name, hash.c_str(), 10);
        record_selection_state state = c.before;
        int asked = 0;
        record_decision d = decide_record(
            record, c.beta_mode, state,
            [&]() -> int64_t {
                asked |= size;
                return c.local_size;
            },
            [&]() {
                asked |= needs;
                return c.needs_update;
            });
        EXPECT_EQ(d.why, c.expected);
        bool taken = c.expected == why::size_differs || c.expected == why::first_plain ||
                     c.expected == why::first_beta;
        EXPECT_EQ(d.selected, taken);
        EXPECT_EQ(state.first_plain_pending, c.after.first_plain_pending);
        EXPECT_EQ(state.first_beta_pending, c.after.first_beta_pending);
        EXPECT_EQ(asked, c.asked);
    }
    manifest_entry escape("../escape", hash.c_str(), 10);
    record_selection_state state;
    EXPECT_EQ(decide_record(escape, false, state, nullptr, nullptr).verdict, manifest_name_parent_component);
}

TEST(UpdateRun, UnsafeRemoteNamesAreSkipped) {
    REQUIRE_SANDBOX();
    log_capture log;
    update_server server;
    // "../escape" would land beside the executables directory; the next plain record is the first.
    server.put_manifest(gzip_text(manifest_line("../escape", 3) + manifest_line("sub/../../x", 3) +
                                  manifest_line("lock.tmp", 3) + manifest_line("client", 3)));
    server.put_file("client", "nnn");
    server.start();
    run_fixture f;
    write_file(f.dir.file("escape"), "abcd");  // a size mismatch would select it
    std::string console;
    EXPECT_EQ(f.run(console), 1);
    const std::string skipped =
        "Skipping unsafe file name '../escape' in remote manifest, it has a '..' component.\n"
        "Skipping unsafe file name 'sub/../../x' in remote manifest, it has a '..' component.\n"
        "Skipping unsafe file name 'lock.tmp' in remote manifest, it names one of the launcher's own "
        "files.\n";
    EXPECT_EQ(console, "..\nUnable to load local manifest file '" + f.manifest + "', creating new.\n" +
                           skipped + "One file to update.\n");
    EXPECT_EQ(fetched_files(server, 1), strings{"client"});
    EXPECT_EQ(read_file(f.dir.file("escape")), "abcd");
    EXPECT_EQ(log.text(), skipped);
}

TEST(UpdateRun, CarriageReturnLineFeedManifest) {
    REQUIRE_SANDBOX();
    log_capture log;
    update_server server;
    std::string line = manifest_line("client", 3);
    server.put_manifest(gzip_text(line.substr(0, line.size() - 1) + "\r\n"));
    server.put_file("client", "nnn");
    server.start();
    run_fixture f;
    std::string console;
    EXPECT_EQ(f.run(console), 1);
    EXPECT_EQ(fetched_files(server, 1), strings{"client"});
    EXPECT_EQ(read_file(f.manifest), manifest_header + line);
}

TEST(UpdateRun, DamagedLocalManifestHealsWithNothingToFetch) {
    REQUIRE_SANDBOX();
    log_capture log;
    const std::vector<remote_file> files = {{"client-2", 5}, {"client-1", 3}};
    update_server server;
    serve(server, files);
    run_fixture f;
    f.installed(files);
    write_file(f.manifest, manifest_header + files[0].line() + "not a manifest line\n" + files[1].line());
    std::string console;
    EXPECT_EQ(f.run(console), 1);
    EXPECT_EQ(console, "..\nUnable to load local manifest file '" + f.manifest +
                           "', creating new.\n"
                           "Everything appears to be up to date already.\n");
    EXPECT_EQ(read_file(f.manifest), manifest_header + files[0].line());
    // The next run loads it again.
    EXPECT_EQ(f.run(console), 1);
    EXPECT_EQ(console, "..\nEverything appears to be up to date already.\n");
}

// --- Runs that stop early ---

TEST(UpdateRun, AbandonedRuns) {
    REQUIRE_SANDBOX();
    log_capture log;
    update_server server;
    serve(server, {{"client", 3}});
    struct {
        const char* name;
        std::string destination;  // relative to the fixture's directory; empty: the fixture's own
        std::string temporary;
        bool remove_manifest;
        std::string printed;
    } cases[] = {
        {"manifest missing on the server", "", "", true,
         "Error fetching update file 'manifest_linux32_executables.txt.gz' from remote server, aborting "
         "update.\n"},
        {"destination unusable", "plain/executables", "", false,
         "Unable to set download target directory, to '<destination>', aborting update.\n"},
        {"temporary file unusable", "", "plain/download.tmp", false,
         "Unable to access temporary download file '<temporary>', aborting update.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.remove_manifest) {
            unlink((server.docroot().path() + update_server::root_path + "/" + list).c_str());
        } else {
            server.put_manifest(gzip_text(manifest_line("client", 3)));
        }
        temp_directory dir;
        write_file(dir.file("plain"), "");
        const std::string destination = c.destination.empty() ? dir.file("exe") : dir.file(c.destination);
        const std::string temporary =
            c.temporary.empty() ? dir.file("exe/download.tmp") : dir.file(c.temporary);
        update_run_options options{nullptr, nullptr, nullptr, still_clock, nullptr};
        console_capture capture;
        int result = run_executable_updater(options, "127.0.0.1", update_server::root_path, list.c_str(),
                                            dir.file("exe/update_manifest.lst").c_str(), destination.c_str(),
                                            temporary.c_str());
        std::string console = capture.text();
        EXPECT_EQ(result, 0);
        std::string printed = c.printed;
        for (const auto& [mark, value] : {std::pair<std::string, std::string>{"<destination>", destination},
                                          {"<temporary>", temporary}}) {
            size_t at = printed.find(mark);
            if (at != std::string::npos) {
                printed.replace(at, mark.size(), value);
            }
        }
        EXPECT_EQ(console, (c.remove_manifest ? "" : "..\n") + printed);
        EXPECT_FALSE(file_exists(dir.file("exe/client")));
    }
}

// --- The worker entry ---

namespace {

struct release_record {
    std::atomic<int> calls{0};
    std::atomic<int> fd{-2};
    std::atomic<int> finished_at_release{-1};
};
release_record released;
std::atomic<int> shared_finished{0};

int record_release(int fd) {
    released.fd = fd;
    released.finished_at_release = shared_finished.load();
    released.calls++;
    return 1;
}

}  // namespace

TEST(UpdateRun, WorkerReleasesItsOwnLockBeforeItFinishes) {
    REQUIRE_SANDBOX();
    log_capture log(3);
    worker_home home;
    ASSERT_TRUE(home.set_up());
    const std::string& destination = home.destination;
    const std::string& manifest = home.manifest;

    // The manifest answer is held, so the test can change the shared descriptor while the run goes on.
    std::string body = gzip_text(manifest_line("client", 3));
    scripted_server server(
        script()
            .accept()
            .read_request()
            .hold()
            .send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body)
            .close()
            .accept()
            .read_request()
            .send("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nnnn")
            .close(),
        80);
    std::atomic<int> lock_fd{7};
    std::atomic<int> verbose{1};
    progress_recorder window;
    released.calls = 0;
    executable_updater_job job{&window,  "127.0.0.1", manifest.c_str(), destination.c_str(), beta_enabled,
                               &verbose, &lock_fd,    record_release,   &shared_finished, nullptr};
    shared_finished = 0;
    int started = 0;
    int finished_early = 0;
    std::string console;
    {
        console_capture capture;
        started = kest_thread_create("executable updater", executable_updater_thread, &job);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (started && server.requests().empty() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        finished_early = shared_finished.load();
        lock_fd = 12;  // a later run's descriptor: not the worker's to release
        server.release();
        while (started && shared_finished.load() == 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        console = capture.text();
    }
    ASSERT_EQ(started, 1);
    EXPECT_EQ(finished_early, 0);
    ASSERT_EQ(shared_finished.load(), 1) << console;
    EXPECT_NE(console.find("\nOne file to update.\n"), std::string::npos) << console;
    EXPECT_EQ(released.calls.load(), 1);
    EXPECT_EQ(released.fd.load(), 7);
    EXPECT_EQ(released.finished_at_release.load(), 0);
    EXPECT_EQ(lock_fd.load(), 12);
    EXPECT_EQ(read_file(destination + "/client"), "nnn");
    EXPECT_NE(log.text().find("Temporary file:    " + destination + "/download.tmp\n"), std::string::npos);
    EXPECT_EQ(read_file(manifest), manifest_header + manifest_line("client", 3));
    EXPECT_EQ(window.values, (std::vector<double>{0, 100}));
    ASSERT_TRUE(server.wait_finished());
    EXPECT_EQ(server.requests().at(0).substr(0, 70),
              "GET /downloads/tessar_v3/manifest_linux32_executables.txt.gz HTTP/1.1\r");
    EXPECT_EQ(server.requests().at(1).substr(0, 40), "GET /downloads/tessar_v3/client HTTP/1.1");
}

TEST(UpdateRun, ProgressPostedToTheMainThreadWhileBothThreadsLog) {
    REQUIRE_SANDBOX();
    log_capture log(3);
    worker_home home;
    ASSERT_TRUE(home.set_up());
    const std::string& destination = home.destination;
    const std::string& manifest = home.manifest;
    // Two seconds of download, so that progress arrives while the main thread is at work too.
    const remote_file client{"client", 4 * 1024 * 1024};
    update_server server;
    server.put_file(client.name, client.content());
    server.put_manifest(gzip_text(client.line()));
    server.start("limit_rate 2m;");

    std::atomic<int> lock_fd{7};
    std::atomic<int> verbose{0};
    posted_progress window;
    released.calls = 0;
    shared_finished = 0;
    executable_updater_job job{&window,  "127.0.0.1", manifest.c_str(), destination.c_str(), beta_enabled,
                               &verbose, &lock_fd,    record_release,   &shared_finished, nullptr};
    std::vector<double> shown;
    {
        console_capture capture;
        ASSERT_EQ(kest_thread_create("executable updater", executable_updater_thread, &job), 1);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (shared_finished.load() == 0 && std::chrono::steady_clock::now() < deadline) {
            for (double percent : window.take()) {
                shown.push_back(percent);
                debug_log_line(1, "Shown %.1f%%.", percent);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    ASSERT_EQ(shared_finished.load(), 1);
    for (double percent : window.take()) {
        shown.push_back(percent);
    }
    ASSERT_GE(shown.size(), 3u);
    EXPECT_TRUE(std::is_sorted(shown.begin(), shown.end()));
    EXPECT_EQ(shown.back(), 100);
    EXPECT_EQ(released.calls.load(), 1);
    EXPECT_TRUE(read_file(destination + "/client") == client.content());
    // Every line of the log whole: the worker's and the main thread's never interleave inside a line.
    std::string text = log.text();
    size_t shown_lines = 0;
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = text.substr(start, end - start);
        if (line.rfind("Shown ", 0) == 0) {
            ++shown_lines;
            EXPECT_EQ(line.back(), '.') << line;
        } else {
            EXPECT_EQ(line.find("Shown "), std::string::npos) << line;
        }
    }
    EXPECT_GE(shown_lines, 2u);
}

TEST(UpdateRun, WorkerFinishesWhenTheServerIsUnreachable) {
    log_capture log;
    worker_home home;
    ASSERT_TRUE(home.set_up());
    const std::string& destination = home.destination;
    const std::string& manifest = home.manifest;
    std::atomic<int> lock_fd{5};
    released.calls = 0;
    shared_finished = 0;
    executable_updater_job job{
        nullptr,  "no-such-host.invalid", manifest.c_str(), destination.c_str(), nullptr, nullptr,
        &lock_fd, record_release,         &shared_finished, nullptr};
    int result;
    std::string console;
    {
        console_capture capture;
        result = executable_updater_thread(&job);
        console = capture.text();
    }
    EXPECT_EQ(result, 0);
    EXPECT_EQ(console,
              "Error fetching update file 'manifest_linux32_executables.txt.gz' from remote server, aborting "
              "update.\n");
    EXPECT_EQ(shared_finished.load(), 1);
    EXPECT_EQ(released.calls.load(), 1);
    EXPECT_EQ(released.fd.load(), 5);
}
