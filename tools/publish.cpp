#include "tools/publish.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "support/file_system.h"
#include "tools/publish_descriptor.h"
#include "tools/publish_first_records.h"
#include "tools/publish_manifest.h"
#include "tools/publish_names.h"
#include "tools/publish_report.h"
#include "tools/publish_signing.h"
#include "tools/publish_source.h"
#include "tools/publish_stage.h"
#include "updater/manifest_name.h"
#include "updater/release_signature.h"
#include "updater/update_run.h"

namespace {

// The launcher fetches the first record of each kind when it is out of date, and boot selection starts
// the greatest name: the records go greatest name first, compared byte by byte like strcmp.
void sort_greatest_first(std::vector<source_file>& files) {
    std::sort(files.begin(), files.end(), [](const source_file& a, const source_file& b) {
        return strcmp(a.name.c_str(), b.name.c_str()) > 0;
    });
}

std::string without_trailing_slashes(const char* path) {
    std::string text = path;
    while (text.size() > 1 && text.back() == '/') {
        text.pop_back();
    }
    return text == "/" ? "" : text;
}

directory_identity identity_of(const struct stat& status) {
    return directory_identity{status.st_dev, status.st_ino};
}

// Makes the renames of the published files durable before the manifest names them.
void sync_directories(const std::vector<std::unique_ptr<staged_copy>>& copies) {
    std::set<std::string> directories;
    for (const auto& copy : copies) {
        directories.insert(copy->target().substr(0, copy->target().rfind('/')));
    }
    for (const std::string& directory : directories) {
        int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            fsync(fd);
            close(fd);
        }
    }
}

// Creates and locks the publication directory into `lock`, so that two publications never mix.
int open_publication_directory(const std::string& directory, owned_descriptor& lock) {
    bounded_string failed;
    if (!kest_recursive_mkdir((directory + "/").c_str(), 0755, &failed)) {
        publish_report("cannot create directory '%s': %s", failed.c_str(), strerror(errno));
        return 0;
    }
    lock.fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (lock.fd < 0) {
        publish_report("cannot open output directory '%s': %s", directory.c_str(), strerror(errno));
        return 0;
    }
    if (flock(lock.fd, LOCK_EX | LOCK_NB) != 0) {
        publish_report(
            "cannot lock output directory '%s': %s", directory.c_str(),
            errno == EWOULDBLOCK ? "another varnholt-publish is publishing there" : strerror(errno));
        return 0;
    }
    return 1;
}

int stage_all(const char* source, const std::string& publication, const std::vector<source_file>& files,
              std::vector<std::unique_ptr<staged_copy>>& copies) {
    for (const source_file& file : files) {
        copies.push_back(std::make_unique<staged_copy>());
        if (!copies.back()->stage(source, publication, file.name)) {
            return 0;
        }
    }
    return 1;
}

void print_summary(const std::string& publication, const std::vector<published_record>& records) {
    long long bytes = 0;
    const char* first_plain = nullptr;
    const char* first_beta = nullptr;
    for (const published_record& record : records) {
        bytes += record.size;
        const char*& first = is_beta_name(record.name.c_str()) ? first_beta : first_plain;
        if (first == nullptr) {
            first = record.name.c_str();
        }
    }
    printf("Published %zu %s (%lld bytes) to %s\n", records.size(), records.size() == 1 ? "file" : "files",
           bytes, publication.c_str());
    // A new installation fetches only the first record of each kind: the operator should see which.
    if (first_plain != nullptr) {
        printf("First plain record: '%s'\n", printable_name(first_plain).c_str());
    }
    if (first_beta != nullptr) {
        printf("First beta record: '%s'\n", printable_name(first_beta).c_str());
    }
}

// What signing needs, read before anything is written: the key, and the release to follow.
struct signing_plan {
    signing_key key;
    int64_t release = 0;
    int64_t expires = 0;
};

// The key comes first, before anything is read or written; the release once the output is locked.
int load_key(const publish_signing_options& options, signing_plan& plan) {
    if (options.key_path == nullptr) {
        return 1;
    }
    plan.key = load_signing_key(options.key_path);
    return plan.key ? 1 : 0;
}

int plan_release(const publish_signing_options& options, const std::string& signature_path,
                 signing_plan& plan) {
    if (!plan.key) {
        struct stat status;
        if (lstat(signature_path.c_str(), &status) == 0) {
            publish_report(
                "warning: '%s' is the signature of an earlier publication and does not match this one: "
                "launchers built with keys refuse this publication until it is published with --key",
                signature_path.c_str());
        }
        return 1;
    }
    int64_t previous = published_release(signature_path);
    if (previous < 0) {
        return 0;
    }
    int64_t now = static_cast<int64_t>(time(nullptr));
    plan.release = next_release(previous, now);
    plan.expires = now + static_cast<int64_t>(options.days) * 86400;
    return 1;
}

void print_signature_summary(const signing_plan& plan) {
    if (!plan.key) {
        return;
    }
    bounded_string expires;
    format_utc_time(plan.expires, expires);
    printf("Signed release %lld with key %s, valid until %s\n", static_cast<long long>(plan.release),
           signing_key_id(plan.key.get()).c_str(), expires.c_str());
}

int publish(const char* source, const char* output, const publish_signing_options& signing) {
    std::string publication = without_trailing_slashes(output) + update_download_root;
    std::string manifest_path = publication + "/" + update_remote_manifest_list;
    std::string signature_path = manifest_path + release_signature_suffix;
    signing_plan plan;
    if (!load_key(signing, plan)) {
        return 0;
    }
    struct stat source_status;
    bool found = stat(source, &source_status) == 0;
    if (!found || !S_ISDIR(source_status.st_mode)) {
        int cause = found ? ENOTDIR : errno;
        publish_report("cannot read source directory '%s': %s", source, strerror(cause));
        return 0;
    }
    // The output may already exist inside the source (publish . ./out): the walk must not enter it.
    std::vector<directory_identity> excluded;
    struct stat status;
    if (stat(output, &status) == 0) {
        if (status.st_dev == source_status.st_dev && status.st_ino == source_status.st_ino) {
            publish_report("SOURCE_DIR and OUTPUT_DIR are the same directory");
            return 0;
        }
        excluded.push_back(identity_of(status));
        if (stat(publication.c_str(), &status) == 0) {
            excluded.push_back(identity_of(status));
        }
    }
    std::vector<source_file> files;
    if (!collect_source_files(source, excluded, files)) {
        return 0;
    }
    if (files.empty()) {
        publish_report("no files to publish in '%s'", source);
        return 0;
    }
    if (report_unpublishable_files(files) > 0) {
        return 0;
    }
    sort_greatest_first(files);
    if (report_unbootable_first_records(source, files) > 0) {
        return 0;
    }
    owned_descriptor lock;  // holds the lock until the publication ends
    if (!open_publication_directory(publication, lock)) {
        return 0;
    }
    if (!plan_release(signing, signature_path, plan)) {
        return 0;
    }
    std::vector<std::unique_ptr<staged_copy>> copies;
    if (!stage_all(source, publication, files, copies)) {
        return 0;
    }
    std::vector<published_record> records;
    for (const auto& copy : copies) {
        records.push_back(published_record{copy->name(), copy->hash(), copy->size()});
    }
    // Every file is whole beside its target now; from here on only renames remain.
    for (const auto& copy : copies) {
        if (!copy->commit()) {
            publish_report("the publication is incomplete: clients still get the old manifest");
            return -1;
        }
    }
    sync_directories(copies);
    std::string manifest;
    if (!write_remote_manifest(manifest_path, records, manifest)) {
        publish_report("the publication is incomplete: clients still get the old manifest");
        return -1;
    }
    if (plan.key &&
        !write_release_signature(signature_path, plan.key.get(), plan.release, plan.expires, manifest)) {
        publish_report("the publication is incomplete: launchers built with keys refuse the new manifest");
        return -1;
    }
    print_summary(publication, records);
    print_signature_summary(plan);
    return 1;
}

}  // namespace

int publish_client_files(const char* source, const char* output, const publish_signing_options& signing) {
    int result = publish(source, output, signing);
    if (result == 0) {
        publish_report("nothing was published");
    }
    return result == 1 ? 0 : 1;
}
