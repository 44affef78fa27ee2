// The launcher against a real update server: varnholt-publish writes the publication, nginx serves it on
// 127.0.0.1:80 with the operators' sample site, and the real program (built for that host) updates a
// temporary HOME on a virtual display and boots the client it installed (the boot argv reporter).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/launcher_program_fixture.h"
#include "app/publication_fixture.h"
#include "testing/nginx_server.h"
#include "testing/process.h"
#include "testing/temp_directory.h"

namespace {

const std::string client_1 = "tessar_v3_client_0001";
const std::string client_2 = "tessar_v3_client_0002";
// Sorts above the plain builds, so that beta test mode boots it.
const std::string beta_3 = "tessar_v3_client_0003_beta";
const std::string manifest_name = "manifest_linux32_executables.txt.gz";
const std::string up_to_date = "Everything appears to be up to date already.\n";
const std::string fetch_failed =
    "Error fetching update file 'manifest_linux32_executables.txt.gz' from remote server, aborting update.\n";

class EndToEnd : public launcher_program_fixture {
  protected:
    void SetUp() override {
        launcher_program_fixture::SetUp();
        if (IsSkipped()) {
            return;
        }
        start_display(640, 480);
    }
    void TearDown() override {
        launcher_program_fixture::TearDown();
        nginx_.reset();
    }

    // Publishes exactly these client images into the docroot, as an operator would.
    void publish(const std::vector<client_image>& images) { publish_images(images, source(), docroot()); }
    std::string published(const std::string& name) const {
        return docroot() + "/downloads/tessar_v3/" + name;
    }

    // nginx on port 80 with the sample site's locations, after `directives` of the test's own.
    void serve(const std::string& directives = "") {
        nginx_.reset();
        requests_seen_ = 0;
        nginx_ = std::make_unique<nginx_server>(
            docroot(), 80, directives + "\n" + nginx_site_locations(read_file(VARNHOLT_NGINX_SAMPLE)));
    }
    // The files asked for since the last call, each with the status of its answer ("name 200").
    std::vector<std::string> new_requests() {
        std::vector<std::string> requests;
        std::string log = nginx_ != nullptr ? nginx_->access_log() : "";
        const std::string prefix = "\"GET /downloads/tessar_v3/";
        for (size_t line = 0, end = log.find('\n'); end != std::string::npos;
             line = end + 1, end = log.find('\n', line)) {
            std::string text = log.substr(line, end - line);
            if (line < requests_seen_) {
                continue;
            }
            size_t name_end = text.find(" HTTP/1.1\" ");
            if (text.rfind(prefix, 0) != 0 || name_end == std::string::npos) {
                requests.push_back(text);
                continue;
            }
            std::string name = text.substr(prefix.size(), name_end - prefix.size());
            requests.push_back(name + " " + text.substr(name_end + 11, 3));
        }
        requests_seen_ = log.size();
        return requests;
    }

    // Runs the launcher to its end; the client it booted reports afresh. A booted client never holds the
    // updater lock: its descriptor is closed on exec.
    process_result run(const std::vector<std::string>& arguments = {}) {
        unlink(report_path().c_str());
        start_launcher(arguments);
        process_result result = wait_for_exit();
        EXPECT_EQ(result.exit_status, 0) << log();
        expect_no_inherited_lock();
        return result;
    }
    void expect_no_inherited_lock() {
        if (file_exists(report_path())) {
            EXPECT_NE(read_file(report_path()).find("\nlock_tmp_descriptors=0\n"), std::string::npos)
                << read_file(report_path());
        }
    }

    std::string installed(const std::string& name) const { return executables_dir() + "/" + name; }
    std::string local_manifest() const { return read_file(installed("update_manifest.lst")); }
    // The local manifest's lines after its comment block and empty line.
    std::string local_records() const {
        std::string text = local_manifest();
        size_t blank = text.find("\n\n");
        return blank == std::string::npos ? "" : text.substr(blank + 2);
    }
    std::string crash_detect_file() const { return config_dir() + "/bootname.txt"; }
    std::string beta_setting() const {
        std::string config = read_file(config_dir() + "/launcher.cfg");
        size_t at = config.find("<beta_test_enable>");
        return at == std::string::npos ? "none" : config.substr(at + 18, 1);
    }
    // The local manifest's line for a file as published: SHA-256, size and name.
    std::string manifest_line_for(const std::string& name) const {
        return manifest_line_of(published(name), name);
    }

    std::string source() const { return work_.file("source"); }
    std::string docroot() const { return work_.file("docroot"); }

    temp_directory work_;
    std::unique_ptr<nginx_server> nginx_;
    size_t requests_seen_ = 0;
};

}  // namespace

TEST_F(EndToEnd, FirstStartInstallsAndBootsTheClientLaterStartsOnlyCheck) {
    publish({{client_1, 0}});
    serve();
    ASSERT_FALSE(file_exists(config_dir()));

    process_result first = run();
    EXPECT_NE(first.out.find("One file to update.\n"), std::string::npos) << first.out;
    EXPECT_EQ(new_requests(), (std::vector<std::string>{manifest_name + " 200", client_1 + " 200"}));
    EXPECT_EQ(booted_argv(), booted_as(client_1));
    EXPECT_EQ(read_file(crash_detect_file()), client_1 + "\n");
    EXPECT_TRUE(read_file(installed(client_1)) == client_program());
    EXPECT_EQ(local_records(), manifest_line_for(client_1));
    EXPECT_EQ(beta_setting(), "0");

    // What a manifest save killed before its rename leaves, and the temporary of a launcher still running
    // (this process stands in for it): only the first is removed, though the run saves nothing.
    pid_t ended = fork();
    if (ended == 0) {
        _exit(0);
    }
    ASSERT_EQ(waitpid(ended, nullptr, 0), ended);
    const std::string stale = installed("update_manifest.lst." + std::to_string(ended) + "-0.new");
    const std::string running = installed("update_manifest.lst." + std::to_string(getpid()) + "-0.new");
    write_file(stale, "# cut short\n");
    write_file(running, "# being written\n");

    process_result second = run();
    EXPECT_NE(second.out.find(up_to_date), std::string::npos) << second.out;
    EXPECT_EQ(new_requests(), std::vector<std::string>{manifest_name + " 200"});
    EXPECT_EQ(booted_argv(), booted_as(client_1));
    EXPECT_FALSE(file_exists(stale));
    EXPECT_TRUE(file_exists(running));
}

TEST_F(EndToEnd, NewerClientIsFetchedAndBootedTheOlderStaysAsFallback) {
    publish({{client_1, 0}});
    serve();
    run();
    EXPECT_EQ(booted_argv(), booted_as(client_1));
    new_requests();

    // A newer build beside the old one: only the first record is fetched.
    publish({{client_1, 0}, {client_2, 100}});
    process_result newer = run();
    EXPECT_NE(newer.out.find("One file to update.\n"), std::string::npos) << newer.out;
    EXPECT_EQ(new_requests(), (std::vector<std::string>{manifest_name + " 200", client_2 + " 200"}));
    EXPECT_EQ(booted_argv(), booted_as(client_2));
    std::string manifest = local_manifest();
    EXPECT_NE(manifest.find(manifest_line_for(client_2)), std::string::npos) << manifest;
    EXPECT_NE(manifest.find(manifest_line_for(client_1)), std::string::npos) << manifest;
    EXPECT_TRUE(read_file(installed(client_1)) == client_program());

    // The reporter never clears the crash-detect file, as a client that crashed would not: the newer
    // image counts as failed and the older one is booted.
    EXPECT_EQ(read_file(crash_detect_file()), client_2 + "\n");
    process_result fallback = run();
    EXPECT_NE(fallback.out.find(up_to_date), std::string::npos) << fallback.out;
    EXPECT_EQ(new_requests(), std::vector<std::string>{manifest_name + " 200"});
    EXPECT_EQ(booted_argv(), booted_as(client_1));
    EXPECT_NE(
        log().find("Previous boot of image '" + client_2 + "' failed.\nSkipping, will try older images.\n"),
        std::string::npos)
        << log();
    EXPECT_EQ(read_file(crash_detect_file()), client_1 + "\n");
}

TEST_F(EndToEnd, BetaModeFetchesAndBootsTheBetaBuildUntilSwitchedBack) {
    publish({{client_2, 0}, {beta_3, 50}});
    serve();

    process_result beta = run({"-b"});
    EXPECT_NE(beta.out.find("2 files to update.\n"), std::string::npos) << beta.out;
    EXPECT_EQ(new_requests(),
              (std::vector<std::string>{manifest_name + " 200", beta_3 + " 200", client_2 + " 200"}));
    EXPECT_EQ(booted_argv(), booted_as(beta_3));
    EXPECT_EQ(beta_setting(), "1");

    process_result plain = run({"-u"});
    EXPECT_NE(plain.out.find(up_to_date), std::string::npos) << plain.out;
    EXPECT_EQ(new_requests(), std::vector<std::string>{manifest_name + " 200"});
    EXPECT_EQ(booted_argv(), booted_as(client_2));
    EXPECT_EQ(beta_setting(), "0");
    EXPECT_TRUE(file_exists(installed(beta_3)));
}

TEST_F(EndToEnd, InstalledClientBootsUndamagedWhateverTheServerAnswers) {
    publish({{client_1, 0}});
    serve();
    run();
    const std::string manifest = local_manifest();
    ASSERT_NE(manifest.find(client_1), std::string::npos);

    const std::string cut_short = "Unable to update file '" + client_2 + "' - download failed.\n";
    struct server_case {
        const char* what;
        std::function<void()> prepare;
        std::string expected_line;
    } cases[] = {
        {"a newer client cut short on the server",
         [&] {
             publish({{client_1, 0}, {client_2, 0}});
             ASSERT_EQ(truncate(published(client_2).c_str(), 1000), 0);
         },
         cut_short},
        {"a manifest that is not gzip",
         [&] {
             publish({{client_1, 0}});
             write_file(published(manifest_name), "not a gzip stream\n");
         },
         fetch_failed},
        {"no manifest (404)",
         [&] {
             publish({{client_1, 0}});
             ASSERT_EQ(unlink(published(manifest_name).c_str()), 0);
         },
         fetch_failed},
        {"no server", [&] { nginx_.reset(); }, fetch_failed},
    };
    for (const server_case& c : cases) {
        SCOPED_TRACE(c.what);
        c.prepare();
        process_result result = run();
        EXPECT_NE(result.out.find(c.expected_line), std::string::npos) << result.out;
        EXPECT_EQ(booted_argv(), booted_as(client_1));
        EXPECT_EQ(local_manifest(), manifest);
        EXPECT_TRUE(read_file(installed(client_1)) == client_program());
        EXPECT_FALSE(file_exists(installed(client_2)));
    }
}

TEST_F(EndToEnd, FullDiskDuringADownloadKeepsThePreviousClientBootable) {
    // The launcher's directory on a small file system of its own: room for one client, not for the next.
    ASSERT_EQ(mkdir(config_dir().c_str(), 0700), 0);
    ASSERT_EQ(mount("tmpfs", config_dir().c_str(), "tmpfs", 0, "size=256k,mode=0700"), 0) << strerror(errno);
    struct unmounted_at_end {
        std::string path;
        ~unmounted_at_end() { umount(path.c_str()); }
    } file_system{config_dir()};
    publish({{client_1, 0}});
    serve();
    run();
    ASSERT_EQ(booted_argv(), booted_as(client_1));
    const std::string manifest = local_manifest();

    publish({{client_1, 0}, {client_2, 1 << 20}});
    process_result full = run();
    EXPECT_NE(full.out.find("Unable to update file '" + client_2 + "' - download failed.\n"),
              std::string::npos)
        << full.out;
    EXPECT_EQ(booted_argv(), booted_as(client_1));
    EXPECT_EQ(local_manifest(), manifest);
    EXPECT_TRUE(read_file(installed(client_1)) == client_program());
    EXPECT_FALSE(file_exists(installed(client_2)));
}

TEST_F(EndToEnd, ReadOnlyConfigDirectoryBootsTheInstalledClientWithoutUpdating) {
    publish({{client_1, 0}});
    serve();
    run();
    ASSERT_EQ(booted_argv(), booted_as(client_1));
    write_file(crash_detect_file(), "");  // as a client that came up properly leaves it
    const std::string manifest = local_manifest();
    publish({{client_1, 0}, {client_2, 0}});
    new_requests();
    // A read-only bind mount over the launcher's directory, in this binary's private mount namespace.
    ASSERT_EQ(mount(config_dir().c_str(), config_dir().c_str(), nullptr, MS_BIND, nullptr), 0)
        << strerror(errno);
    struct unmounted_at_end {
        std::string path;
        ~unmounted_at_end() {
            umount2(path.c_str(), MNT_DETACH);
            remove_tree("/tmp/Varnholt");  // where a launcher that passed the directory over would go
        }
    } read_only{config_dir()};
    ASSERT_EQ(mount(nullptr, config_dir().c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr), 0)
        << strerror(errno);

    process_result result = run();

    EXPECT_EQ(booted_argv(), booted_as(client_1)) << log();
    EXPECT_EQ(result.out, "") << "no update run";
    EXPECT_EQ(new_requests(), std::vector<std::string>{});
    EXPECT_NE(log().find("Warning in take_updater_lock(), config directory '" + config_dir() +
                         "' is read-only.  Skipping the update.\n"),
              std::string::npos)
        << log();
    EXPECT_EQ(local_manifest(), manifest);
    EXPECT_FALSE(file_exists(installed(client_2)));
}

TEST_F(EndToEnd, OfTwoLaunchersOnlyOneUpdatesTheOtherGivesUp) {
    // The first launcher's download (four seconds of it at this rate) is held, with nginx paused, until
    // the second launcher has given up waiting for the lock.
    publish({{client_1, 400 * 1024}});
    serve("limit_rate 100k;");
    start_launcher();
    ASSERT_TRUE(wait_until([&] { return file_exists(installed("download.tmp")); })) << log();
    nginx_->pause();
    auto started = std::chrono::steady_clock::now();
    std::string second_report = home_.file("second-report.txt");
    process_result second = start_launcher_process({}, second_report)->wait();
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    nginx_->resume();

    EXPECT_EQ(second.exit_status, 0);
    EXPECT_EQ(second.out, "");  // no update run of its own
    EXPECT_GE(waited, 3.0);
    EXPECT_NE(log().find("Sorry, it looks like there's another version of the launcher downloading\n"),
              std::string::npos)
        << log();
    EXPECT_EQ(booted_argv(second_report), "");

    process_result first = wait_for_exit();
    EXPECT_EQ(first.exit_status, 0) << log();
    EXPECT_NE(first.out.find("One file to update.\n"), std::string::npos) << first.out;
    EXPECT_EQ(booted_argv(), booted_as(client_1));
    expect_no_inherited_lock();
    EXPECT_EQ(new_requests(), (std::vector<std::string>{manifest_name + " 200", client_1 + " 200"}));
}

namespace {

// The process that holds the updater lock on `path` (a launcher in its update run), or -1.
pid_t lock_holder(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    struct flock query {};
    query.l_type = F_WRLCK;
    query.l_whence = SEEK_SET;
    int got = fcntl(fd, F_GETLK, &query);
    close(fd);
    return got == 0 && query.l_type != F_UNLCK ? query.l_pid : -1;
}

// The bytes the record beside the partial download says are on disk, or -1 without a record.
long long recorded_bytes(const std::string& record) {
    if (!file_exists(record)) {
        return -1;
    }
    std::string text = read_file(record);
    size_t at = text.find("\nheld ");
    return at == std::string::npos ? -1 : atoll(text.c_str() + at + 6);
}

}  // namespace

// The launcher killed outright (SIGKILL) while it fetches a large client from a slow server, and started
// again: it continues the file from the length its record says was on disk, with one Range request for
// exactly the rest, and installs and boots a file identical to the published one.
TEST_F(EndToEnd, KilledInTheMiddleOfADownloadItContinuesAtTheNextStart) {
    publish({{client_1, 4 << 20}});
    serve("limit_rate 200k;");
    const std::string record = installed("download_resume.txt");
    start_launcher();
    // The record is brought up to date about every ten seconds; kill once it holds a good part.
    ASSERT_TRUE(wait_until([&] { return recorded_bytes(record) >= 1000000; }, 60000)) << log();
    pid_t launcher = lock_holder(installed("lock.tmp"));
    ASSERT_GT(launcher, 0);
    ASSERT_EQ(kill(launcher, SIGKILL), 0);
    process_result killed = wait_for_exit();
    EXPECT_EQ(killed.signal, SIGKILL);
    const long long held = recorded_bytes(record);
    EXPECT_GE(static_cast<long long>(read_file(installed("download.tmp")).size()), held);
    EXPECT_FALSE(file_exists(installed(client_1)));

    serve();  // at full speed now; its log starts empty
    process_result second = run();
    const std::string size = std::to_string(read_file(published(client_1)).size());
    EXPECT_NE(second.out.find("Resuming '" + client_1 + "' from byte " + std::to_string(held) + ".\n"),
              std::string::npos)
        << second.out;
    EXPECT_EQ(nginx_->access_log(2), "\"GET /downloads/tessar_v3/" + manifest_name + " HTTP/1.1\" 200 " +
                                         std::to_string(read_file(published(manifest_name)).size()) +
                                         "\n\"GET /downloads/tessar_v3/" + client_1 + " HTTP/1.1\" 206 " +
                                         std::to_string(std::stoll(size) - held) +
                                         " range=bytes=" + std::to_string(held) + "-\n");
    EXPECT_TRUE(read_file(installed(client_1)) == read_file(published(client_1)));
    EXPECT_EQ(booted_argv(), booted_as(client_1));
    EXPECT_EQ(local_records(), manifest_line_for(client_1));
    EXPECT_FALSE(file_exists(record));
}
