#include "support/config_directory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "support/bounded_string.h"
#include "support/debug_log.h"
#include "support/file_system.h"

namespace {

char* config_directory = nullptr;
int config_directory_read_only = 0;

// The launcher later runs programs from this directory, so nobody else may control it: an existing
// candidate (or a link standing in its place) must belong to this user and be writeable by nobody else.
bool is_controlled_by_others(const char* path) {
    struct stat link_status;
    if (lstat(path, &link_status) != 0) {
        return false;  // does not exist yet: it is created with mode 0700
    }
    if (link_status.st_uid != geteuid()) {
        return true;
    }
    struct stat status;
    if (stat(path, &status) != 0) {
        return false;  // a dangling link of our own: creating the directory fails later
    }
    return S_ISDIR(status.st_mode) && (status.st_uid != geteuid() || (status.st_mode & (S_IWGRP | S_IWOTH)));
}

// An existing directory of ours with the executables directory in it: an installation that can be
// booted as it is, even where nothing can be written.
bool holds_installation(const char* path) {
    bounded_string executables(path);
    executables.append("/executables");
    struct stat status;
    return !executables.is_cut() && stat(path, &status) == 0 && S_ISDIR(status.st_mode) &&
           stat(executables.c_str(), &status) == 0 && S_ISDIR(status.st_mode) &&
           !is_controlled_by_others(executables.c_str());
}

enum class candidate_verdict { unusable, writeable, read_only };

// `installed_may_be_read_only`: a read-only home directory (a read-only mount, an account locked down by
// its administrator) that holds an installation is used as it is, without updates, rather than passed
// over for a directory with nothing to boot.
candidate_verdict check_config_directory(const char* path, bool installed_may_be_read_only) {
    bounded_string text("Checking config directory: ");
    text.append(path);
    candidate_verdict verdict = candidate_verdict::unusable;
    if (is_controlled_by_others(path)) {
        bounded_string warning("Warning in check_config_directory(), '");
        warning.append(path);
        warning.append("' belongs to another user or others may write to it - not using it.");
        debug_log_report(warning.c_str(), REPORT_SUSPECT_DATA);
    } else if (kest_create_and_check_writeable_directory(path, 0700, nullptr)) {
        verdict = candidate_verdict::writeable;
    } else if (installed_may_be_read_only && holds_installation(path)) {
        bounded_string warning("Warning in check_config_directory(), '");
        warning.append(path);
        warning.append("' is read-only - using the installation in it without updating it.");
        debug_log_report(warning.c_str(), REPORT_FAILURE);
        verdict = candidate_verdict::read_only;
    }
    if (verdict == candidate_verdict::unusable) {
        text.append(" [FAIL]");
    } else if (verdict == candidate_verdict::read_only) {
        text.append(" [READ-ONLY]");
    }
    debug_log_report(text.c_str(), REPORT_VERBOSE);
    return verdict;
}

}  // namespace

int kest_client_set_up_config_directory(const char* base_name) {
    if (base_name == nullptr) {
        return 0;
    }
    if (config_directory != nullptr) {
        debug_log_report(
            "Error in kest_client_set_up_config_directory(), attempt to change config directory path after "
            "initial configuration.",
            REPORT_MISUSE);
        bounded_string text("Old path '");
        text.append(config_directory);
        text.append("', new base name '");
        text.append(base_name);
        text.append("'");
        debug_log_report(text.c_str(), REPORT_VERBOSE);
    }
    const char* home = getenv("HOME");
    if (home == nullptr) {
        debug_log_report(
            "Error in kest_client_set_up_config_directory(), unable to fetch home directory - please set HOME "
            "environment variable and restart.",
            REPORT_MISUSE);
        return 0;
    }

    bounded_string candidates[4];
    candidates[0].append(home);
    candidates[0].append("/.");
    candidates[0].append(base_name);
    candidates[1].append(".");
    candidates[1].append(base_name);
    candidates[2].append("/tmp/");
    candidates[2].append(base_name);
    candidates[3].append(base_name);

    for (const bounded_string& candidate : candidates) {
        bool in_home = &candidate == &candidates[0];
        candidate_verdict verdict = check_config_directory(candidate.c_str(), in_home);
        if (verdict == candidate_verdict::unusable) {
            continue;
        }
        // An earlier choice is replaced but not freed: paths built from it may still point into it.
        config_directory = strdup(candidate.c_str());
        config_directory_read_only = verdict == candidate_verdict::read_only ? 1 : 0;
        bounded_string text("kest_client_set_up_config_directory() - got final config directory '");
        text.append(config_directory);
        text.append("'");
        debug_log_report(text.c_str(), REPORT_VERBOSE);
        return 1;
    }
    debug_log_report("kest_client_set_up_config_directory() - Giving up.  Cannot create config directory.",
                     REPORT_SEVERE);
    return 0;
}

const char* get_config_directory() { return config_directory; }

int config_directory_is_read_only() {
    return config_directory_read_only;
}

void kest_client_forget_config_directory() {
    free(config_directory);
    config_directory = nullptr;
    config_directory_read_only = 0;
}
