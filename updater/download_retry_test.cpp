// The file-set updater against servers that break off, stall or answer wrongly in the middle of a file,
// against partial downloads kept from an earlier run (and a run killed in the middle of one), and against
// mirror hosts of which some are down.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "testing/digest.h"
#include "testing/log_capture.h"
#include "testing/sandbox.h"
#include "testing/scripted_server.h"
#include "testing/temp_directory.h"
#include "updater/download_resume.h"
#include "updater/filesystem_updater.h"
#include "updater/update_test_support.h"

namespace {

using script = scripted_server::script;
using strings = std::vector<std::string>;

const std::string client = "client";
const std::string failed = "Unable to update file 'client' - download failed.";

std::string content(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
    }
    return bytes;
}

const std::string body = content(1000);

std::string whole(const std::string& bytes = body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(bytes.size()) + "\r\n\r\n" + bytes;
}

std::string head(size_t length) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n";
}

std::string partial(size_t from, const std::string& range = "", const std::string& bytes = body) {
    return "HTTP/1.1 206 Partial Content\r\nContent-Range: " +
           (range.empty() ? "bytes " + std::to_string(from) + "-" + std::to_string(bytes.size() - 1) + "/" +
                                std::to_string(bytes.size())
                          : range) +
           "\r\nContent-Length: " + std::to_string(bytes.size() - from) + "\r\n\r\n" + bytes.substr(from);
}

const std::string not_found = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
const std::string busy = "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n";
const std::string range_not_satisfiable =
    "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */1000\r\nContent-Length: 0\r\n\r\n";

// How the server ends one attempt after its answer.
enum class ending { close, reset, stall };

struct attempt {
    std::string answer;
    ending end;
};

// A server that takes one connection per attempt, reads its request and answers it.
script attempts(const std::vector<attempt>& each) {
    script plan;
    for (const attempt& a : each) {
        plan.accept().read_request().send(a.answer);
        if (a.end == ending::close) {
            plan.close();
        } else if (a.end == ending::reset) {
            plan.sleep(50).reset();
        } else {
            plan.stall();
        }
    }
    return plan;
}

// The Range value of each request ("" without one).
strings ranges(const strings& requests) {
    strings found;
    for (const std::string& r : requests) {
        size_t at = r.find("\r\nRange: ");
        found.push_back(at == std::string::npos ? "" : r.substr(at + 9, r.find("\r\n", at + 2) - at - 9));
    }
    return found;
}

// An updater over <dir>/executables with short waits, recording what it reports.
struct retry_fixture {
    temp_directory dir;
    const std::string destination = dir.file("executables");
    const std::string temporary = dir.file("executables/download.tmp");
    const std::string record = dir.file("executables/download_resume.txt");
    tal_filesystem_updater updater;
    strings messages;
    std::vector<double> done;

    retry_fixture() {
        updater.callback_user = this;
        updater.message_callback = [](void* user, const char* text) {
            static_cast<retry_fixture*>(user)->messages.push_back(text);
        };
        updater.bytes_progress_callback = [](void* user, double bytes, double) {
            static_cast<retry_fixture*>(user)->done.push_back(bytes);
        };
        updater.clock_seconds = [] { return time_t{1000}; };
        updater.wait_ms = 100;
        updater.stall_window_ms = 300;
        updater.retry_backoff_ms = 1;
        mkdir(destination.c_str(), 0700);
    }

    // A partial download kept from an earlier run: `kept` in the temporary file, and its record.
    void keep(const std::string& kept, int64_t held, const std::string& hash,
              const std::string& name = client, int size = 1000) {
        write_file(temporary, kept);
        download_resume_record r;
        r.name.set(name.c_str());
        r.hash.set(hash.c_str());
        r.size = size;
        r.held = held;
        ASSERT_EQ(save_download_resume(record.c_str(), r), 1);
    }

    // Paths set, with a local manifest that does not exist yet.
    void configure(const std::string& executables) {
        EXPECT_EQ(updater.set_destination_path(executables.c_str()), 1);
        EXPECT_EQ(updater.set_temporary_file((executables + "/download.tmp").c_str()), 1);
        updater.load_manifest((executables + "/update_manifest.lst").c_str());
    }

    // update_files of `client` (1000 bytes, with `hash`) from `hosts`; 0 when the list was processed.
    int update(const std::string& hash, const char* hosts = "127.0.0.1", bool verify = false) {
        configure(destination);
        updater.verify_content_hash = verify;
        manifest_entry entry(client.c_str(), hash.c_str(), static_cast<int32_t>(body.size()));
        pointer_vector list;
        list.append(&entry);
        update_host_list host_list;
        EXPECT_EQ(host_list.parse(hosts), 1);
        return updater.update_files(host_list, update_server::root_path, list);
    }

    bool installed() const {
        std::string path = destination + "/" + client;
        return file_exists(path) && read_file(path) == body;
    }
    bool never_backwards() const {
        for (size_t i = 1; i < done.size(); ++i) {
            if (done[i] < done[i - 1]) {
                return false;
            }
        }
        return true;
    }
};

std::string retrying(int64_t byte) {
    return "Retrying 'client' from byte " + std::to_string(byte) + ".";
}

}  // namespace

TEST(DownloadRetry, WaitsDoubleOnlyAfterAttemptsWithoutProgress) {
    EXPECT_EQ(tal_filesystem_updater::default_retry_backoff_ms, 1000);
    EXPECT_EQ(tal_filesystem_updater::max_fruitless_retries, 3);
    const int64_t waits[] = {1000, 1000, 2000, 4000};
    for (int fruitless = 0; fruitless <= 3; ++fruitless) {
        EXPECT_EQ(tal_filesystem_updater::retry_wait_ms(1000, fruitless), waits[fruitless]) << fruitless;
    }
    EXPECT_EQ(tal_filesystem_updater::retry_wait_ms(10, 3), 40);
    EXPECT_EQ(tal_filesystem_updater().retry_backoff_ms, 1000);
}

// One scripted server per case, playing each attempt in turn; the same with and without SHA-256 checks.
// Whatever happens, the bar never goes back, and only a file that is whole is installed.
TEST(DownloadRetry, AnswersInTheMiddleOfAFile) {
    REQUIRE_SANDBOX();
    log_capture log;
    const std::string half = head(1000) + body.substr(0, 500);
    struct {
        const char* name;
        script plan;
        bool installed;
        strings messages;
        strings ranges;    // of the requests the server read, in order
        std::string kept;  // what the temporary file holds after a failure
    } cases[] = {
        {"reset at half, then a server that honours Range",
         attempts({{half, ending::reset}, {partial(500), ending::close}}),
         true,
         {retrying(500)},
         {"", "bytes=500-"},
         ""},
        {"reset at half, then a server that ignores Range",
         attempts({{half, ending::reset}, {whole(), ending::close}}),
         true,
         {retrying(500)},
         {"", "bytes=500-"},
         ""},
        {"a wrong Content-Range, then the whole file",
         attempts({{half, ending::reset},
                   {partial(400, "bytes 400-999/1000"), ending::close},
                   {whole(), ending::close}}),
         true,
         {retrying(500), retrying(0)},
         {"", "bytes=500-", ""},
         ""},
        {"a 416, then the whole file",
         attempts({{half, ending::reset}, {range_not_satisfiable, ending::close}, {whole(), ending::close}}),
         true,
         {retrying(500), retrying(0)},
         {"", "bytes=500-", ""},
         ""},
        {"a short body, then the rest",
         attempts({{"HTTP/1.1 200 OK\r\n\r\n" + body.substr(0, 500), ending::close},
                   {partial(500), ending::close}}),
         true,
         {retrying(500)},
         {"", "bytes=500-"},
         ""},
        {"closed early, then the rest",
         attempts({{half, ending::close}, {partial(500), ending::close}}),
         true,
         {retrying(500)},
         {"", "bytes=500-"},
         ""},
        {"a stall, then the rest",
         attempts({{half, ending::stall}, {partial(500), ending::close}}),
         true,
         {retrying(500)},
         {"", "bytes=500-"},
         ""},
        {"a 503, then the file",
         attempts({{busy, ending::close}, {whole(), ending::close}}),
         true,
         {retrying(0)},
         {"", ""},
         ""},
        {"a 404 is final", attempts({{not_found, ending::close}}), false, {failed}, {""}, ""},
        {"a body longer than the record is final",
         attempts({{whole(body + "x"), ending::close}}),
         false,
         {failed},
         {""},
         ""},
        {"stalls on every attempt",
         attempts({{"", ending::stall}, {"", ending::stall}, {"", ending::stall}, {"", ending::stall}}),
         false,
         {retrying(0), retrying(0), retrying(0), failed},
         {"", "", "", ""},
         ""},
        // Every attempt starts again from zero and breaks where the first did: no progress after the first.
        {"a server that starts again every time and breaks at half",
         attempts({{half, ending::reset},
                   {half, ending::reset},
                   {half, ending::reset},
                   {half, ending::reset},
                   {half, ending::reset}}),
         false,
         {retrying(500), retrying(500), retrying(500), retrying(500), failed},
         {"", "bytes=500-", "bytes=500-", "bytes=500-", "bytes=500-"},
         body.substr(0, 500)},
    };
    for (bool signed_run : {false, true}) {
        for (auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (signed_run ? ", signed" : ""));
            scripted_server server(c.plan, 80);
            retry_fixture f;
            EXPECT_EQ(f.update(signed_run ? sha256_hex(body) : std::string(20, 'a'), "127.0.0.1", signed_run),
                      0);
            EXPECT_EQ(f.installed(), c.installed);
            EXPECT_EQ(f.messages, c.messages);
            EXPECT_TRUE(f.never_backwards());
            ASSERT_TRUE(server.wait_finished());
            EXPECT_EQ(ranges(server.requests()), c.ranges);
            EXPECT_EQ(read_file(f.temporary), c.installed ? "" : c.kept);
            // The record stays only beside bytes worth continuing.
            EXPECT_EQ(file_exists(f.record), !c.kept.empty());
        }
    }
}

// A partial file kept with its record is continued at the next run; one that does not fit its record
// is discarded or cut back, and one whose kept part was changed is refused by its hash and then fetched
// whole, from its first byte. nginx honours Range, and logs it.
TEST(DownloadRetry, PartialDownloadsKeptFromAnEarlierRun) {
    REQUIRE_SANDBOX();
    update_server server;
    server.put_file(client, body);
    server.start();
    const std::string unsigned_hash(20, 'a');
    std::string tampered = body.substr(0, 500);
    tampered[100] ^= 1;
    const std::string get = "\"GET /downloads/tessar_v3/client HTTP/1.1\" ";
    struct {
        const char* name;
        std::string kept;
        int64_t held;
        std::string record_name;
        int record_size;
        bool signed_run;
        strings messages;
        std::string access_log;
    } cases[] = {
        {"as recorded",
         body.substr(0, 500),
         500,
         client,
         1000,
         false,
         {"Resuming 'client' from byte 500."},
         get + "206 500 range=bytes=500-\n"},
        {"as recorded, signed",
         body.substr(0, 500),
         500,
         client,
         1000,
         true,
         {"Resuming 'client' from byte 500."},
         get + "206 500 range=bytes=500-\n"},
        // Only the recorded length was known to be on disk.
        {"longer than recorded",
         body.substr(0, 700),
         500,
         client,
         1000,
         true,
         {"Resuming 'client' from byte 500."},
         get + "206 500 range=bytes=500-\n"},
        {"shorter than recorded", body.substr(0, 400), 500, client, 1000, true, {}, get + "200 1000\n"},
        {"recorded for another file", body.substr(0, 500), 500, "other", 1000, true, {}, get + "200 1000\n"},
        {"recorded for another size", body.substr(0, 500), 500, client, 999, true, {}, get + "200 1000\n"},
        {"kept part changed on disk, signed",
         tampered,
         500,
         client,
         1000,
         true,
         {"Resuming 'client' from byte 500.", retrying(0)},
         get + "206 500 range=bytes=500-\n" + get + "200 1000\n"},
    };
    size_t lines = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log_capture log;
        retry_fixture f;
        const std::string hash = c.signed_run ? sha256_hex(body) : unsigned_hash;
        f.keep(c.kept, c.held, hash, c.record_name, c.record_size);
        EXPECT_EQ(f.update(hash, "127.0.0.1", c.signed_run), 0);
        EXPECT_TRUE(f.installed());
        EXPECT_EQ(f.messages, c.messages);
        EXPECT_FALSE(file_exists(f.record));
        EXPECT_TRUE(f.never_backwards());
        lines += static_cast<size_t>(std::count(c.access_log.begin(), c.access_log.end(), '\n'));
        std::string log_lines = server.access_log(lines);
        EXPECT_EQ(log_lines.substr(log_lines.size() - c.access_log.size()), c.access_log);
    }
}

// A damaged record is no record: the partial file is emptied when the temporary file is set.
TEST(DownloadRetry, DamagedRecordDiscardsThePartialFile) {
    retry_fixture f;
    write_file(f.temporary, body.substr(0, 500));
    write_file(f.record, "varnholt download 1\nsize 1000\nheld 500\n");
    log_capture log;
    EXPECT_EQ(f.updater.set_temporary_file(f.temporary.c_str()), 1);
    EXPECT_EQ(read_file(f.temporary), "");
    EXPECT_FALSE(file_exists(f.record));
    EXPECT_EQ(log.text(), "Warning in read_download_resume(), '" + f.record + "' is damaged, ignoring it.\n");
}

// What a failed file leaves for the next run: the bytes that arrived, and a record that names them.
TEST(DownloadRetry, FailedFileLeavesItsRecord) {
    REQUIRE_SANDBOX();
    log_capture log;
    scripted_server server(attempts({{head(1000) + body.substr(0, 700), ending::reset}}), 80);
    retry_fixture f;
    f.updater.wait_ms = 50;
    f.updater.stall_window_ms = 100;  // the retries meet a server that no longer answers
    EXPECT_EQ(f.update(std::string(20, 'c')), 0);
    EXPECT_EQ(f.messages.back(), failed);
    EXPECT_EQ(read_file(f.temporary), body.substr(0, 700));
    download_resume_record r;
    ASSERT_EQ(read_download_resume(f.record.c_str(), r), 1);
    EXPECT_STREQ(r.name.c_str(), "client");
    EXPECT_STREQ(r.hash.c_str(), std::string(20, 'c').c_str());
    EXPECT_EQ(r.size, 1000);
    EXPECT_EQ(r.held, 700);
}

// A full disk gives back the partial file's room and its record: the saves that follow need it.
TEST(DownloadRetry, FullDiskKeepsNothing) {
    REQUIRE_SANDBOX();
    log_capture log;
    const std::string big = content(400 * 1024);
    scripted_server server(attempts({{whole(big), ending::close}}), 80);
    retry_fixture f;
    ASSERT_EQ(mount("tmpfs", f.destination.c_str(), "tmpfs", 0, "size=128k"), 0);
    f.configure(f.destination);
    manifest_entry entry(client.c_str(), "h", static_cast<int32_t>(big.size()));
    pointer_vector list;
    list.append(&entry);
    EXPECT_EQ(f.updater.update_files("127.0.0.1", update_server::root_path, list), 0);
    EXPECT_EQ(f.messages, strings{failed});
    EXPECT_EQ(read_file(f.temporary), "");
    EXPECT_FALSE(file_exists(f.record));
    umount2(f.destination.c_str(), MNT_DETACH);
}

// The downloads of a run stop at its time cap, whatever the budget of retries says.
TEST(DownloadRetry, RunTimeCapEndsTheDownloads) {
    REQUIRE_SANDBOX();
    log_capture log;
    scripted_server server(attempts({{head(1000), ending::stall}}), 80);
    retry_fixture f;
    f.updater.stall_window_ms = 60000;
    f.updater.run_time_allowance_ms = 300;  // with 1000 bytes at 4 KiB/s: 544 ms in all
    EXPECT_EQ(f.update(std::string(20, 'a')), 0);
    EXPECT_EQ(f.messages, strings{failed});
    EXPECT_NE(log.text().find("transfer took too long, giving up.  Keeping the partial file.\n"),
              std::string::npos)
        << log.text();
    EXPECT_NE(log.text().find(
                  "the time for this run's downloads is up; giving up '/downloads/tessar_v3/client'.\n"),
              std::string::npos)
        << log.text();
}

// A run killed outright (as by SIGKILL) in the middle of a file: the record it wrote last names only
// bytes that were synced to disk, and the next run continues from exactly there. The record is rewritten
// at every piece here, since the updater's clock moves eleven seconds on each reading.
TEST(DownloadRetry, RunKilledInTheMiddleContinuesFromTheRecordedLength) {
    REQUIRE_SANDBOX();
    const std::string big = content(300000);
    const std::string hash = sha256_hex(big);
    temp_directory dir;
    const std::string destination = dir.file("executables");
    const std::string temporary = destination + "/download.tmp";
    const std::string record = destination + "/download_resume.txt";
    mkdir(destination.c_str(), 0700);
    // The child forks while this process has no other thread (a thread sanitizer allows new threads in
    // the child only then), and starts once the server it downloads from listens.
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(go[1]);
        char byte;
        if (read(go[0], &byte, 1) != 1) {
            _exit(1);
        }
        tal_filesystem_updater u;
        u.clock_seconds = [] {
            static time_t now = 1000;
            return now += 11;
        };
        u.set_destination_path(destination.c_str());
        u.set_temporary_file(temporary.c_str());
        u.verify_content_hash = 1;
        manifest_entry entry(client.c_str(), hash.c_str(), static_cast<int32_t>(big.size()));
        pointer_vector list;
        list.append(&entry);
        u.update_files("127.0.0.1", update_server::root_path, list);
        _exit(0);
    }
    close(go[0]);
    // Whatever happens below, the child does not outlive the test.
    struct killed_at_end {
        pid_t pid;
        int status = 0;
        void kill_now() {
            if (pid > 0) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                pid = -1;
            }
        }
        ~killed_at_end() { kill_now(); }
    } running{child};
    {
        scripted_server first(attempts({{head(big.size()) + big.substr(0, 100000), ending::stall}}), 80);
        bool started = write(go[1], "g", 1) == 1;
        close(go[1]);
        ASSERT_TRUE(started);
        // Killed once the record says all the server sent is on disk; not before, never after a time.
        auto recorded = [&]() {
            download_resume_record r;
            return file_exists(record) && read_download_resume(record.c_str(), r) && r.held == 100000;
        };
        bool seen = false;
        for (int i = 0; i < 3000 && !(seen = recorded()); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        running.kill_now();
        ASSERT_TRUE(seen);
        EXPECT_TRUE(WIFSIGNALED(running.status));
    }
    EXPECT_GE(read_file(temporary).size(), 100000u);

    log_capture log;
    scripted_server second(attempts({{partial(100000, "", big), ending::close}}), 80);
    retry_fixture f;
    manifest_entry entry(client.c_str(), hash.c_str(), static_cast<int32_t>(big.size()));
    pointer_vector list;
    list.append(&entry);
    f.updater.verify_content_hash = 1;
    f.configure(destination);
    EXPECT_EQ(f.updater.update_files("127.0.0.1", update_server::root_path, list), 0);
    EXPECT_EQ(f.messages, strings{"Resuming 'client' from byte 100000."});
    EXPECT_TRUE(read_file(destination + "/client") == big);
    ASSERT_TRUE(second.wait_finished());
    EXPECT_EQ(ranges(second.requests()), strings{"bytes=100000-"});
    EXPECT_FALSE(file_exists(record));
}

// --- Mirrors ---

// The first host fails the way each case says; the second serves. The first is passed over for the rest
// of the run: the second file goes to the second host at once.
TEST(DownloadRetry, MirrorsTakeOverFromAHostThatCannotServe) {
    REQUIRE_SANDBOX();
    const std::string second_file = content(300);
    struct {
        const char* name;
        script first;  // on 127.0.0.2:80; empty: nothing listens there
        script second;
        strings messages;
        std::string passed_over;
        strings second_ranges;
    } cases[] = {
        {"refused",
         script(),
         attempts({{whole(), ending::close}, {whole(second_file), ending::close}}),
         {retrying(0)},
         "connection refused",
         {"", ""}},
        {"503",
         attempts({{busy, ending::close}}),
         attempts({{whole(), ending::close}, {whole(second_file), ending::close}}),
         {retrying(0)},
         "it answered 503",
         {"", ""}},
        // The partial file goes on from the next host.
        {"stalls at half",
         attempts({{head(1000) + body.substr(0, 500), ending::stall}}),
         attempts({{partial(500), ending::close}, {whole(second_file), ending::close}}),
         {retrying(500)},
         "it timed out",
         {"bytes=500-", ""}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<scripted_server> first;
        if (!c.first.steps().empty()) {
            first = std::make_unique<scripted_server>(c.first, 80, "127.0.0.2");
        }
        scripted_server second(c.second, 80, "127.0.0.1");
        log_capture log;
        retry_fixture f;
        f.configure(f.destination);
        manifest_entry one(client.c_str(), "h", 1000);
        manifest_entry two("second", "h", 300);
        pointer_vector list;
        list.append(&one);
        list.append(&two);
        update_host_list hosts;
        ASSERT_EQ(hosts.parse("127.0.0.2,127.0.0.1"), 1);
        EXPECT_EQ(f.updater.update_files(hosts, update_server::root_path, list), 0);
        EXPECT_EQ(f.messages, c.messages);
        EXPECT_TRUE(f.installed());
        EXPECT_EQ(read_file(f.destination + "/second"), second_file);
        EXPECT_TRUE(hosts.is_passed_over(0));
        ASSERT_TRUE(second.wait_finished());
        EXPECT_EQ(ranges(second.requests()), c.second_ranges);
        if (first != nullptr) {
            EXPECT_EQ(first->requests().size(), 1u);
        }
        EXPECT_NE(log.text().find("passing over update host '127.0.0.2' for the rest of this run: " +
                                  c.passed_over + ".\n"),
                  std::string::npos)
            << log.text();
    }
}

// With every host down the file fails as soon as the last one has refused too: no retries, no waits.
TEST(DownloadRetry, AllHostsDownFailsAtOnce) {
    REQUIRE_SANDBOX();
    log_capture log;
    retry_fixture f;
    f.updater.retry_backoff_ms = 60000;  // a retry would be seen
    EXPECT_EQ(f.update(std::string(20, 'a'), "127.0.0.2,127.0.0.3"), 0);
    EXPECT_EQ(f.messages, (strings{retrying(0), failed}));
    EXPECT_FALSE(f.installed());
    EXPECT_FALSE(file_exists(f.record));
}
