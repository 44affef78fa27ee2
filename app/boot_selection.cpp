#include "app/boot_selection.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/launcher_config.h"
#include "app/launcher_state.h"
#include "support/bounded_string.h"
#include "support/debug_log.h"
#include "support/file_system.h"
#include "updater/manifest_name.h"

tal_file_manifest boot_manifest;
pointer_vector boot_list;

namespace {

constexpr int crash_detect_line_size = 1024;

int greatest_name_first(const void* a, const void* b) {
    return strcmp(static_cast<const char*>(b), static_cast<const char*>(a));
}

void report_exec_failure(const char* what, int result, int error, const char* path) {
    bounded_string message;
    message.append_printf("Error in kest_boot_exec(), %s failed.  Return code %d, error code %d.", what,
                          result, error);
    message.append(" Filename: ");
    message.append(path);
    debug_log_report(message.c_str(), REPORT_FAILURE);
}

// Names the manifest may hold but the launcher must never execute: those that would leave the
// executables directory or name the launcher's own files in it.
bool is_bootable_name(const manifest_entry& entry) {
    manifest_name_verdict verdict = check_manifest_name(entry.name, entry.hash, entry.size);
    if (verdict == manifest_name_safe) {
        return true;
    }
    bounded_string name;
    append_printable_manifest_name(name, entry.name);
    debug_log_at(1, "Skipping unsafe executable filename '%s', %s.\n", name.c_str(),
                 manifest_name_verdict_text(verdict));
    return false;
}

void read_previous_image_name(bounded_string& previous) {
    FILE* file = fopen(crash_detect_path.c_str(), "rb");
    if (file == nullptr) {
        return;
    }
    char line[crash_detect_line_size];
    if (fget_line(file, line, sizeof line) > 0) {
        previous.append(line);
    }
    fclose(file);
}

}  // namespace

void build_boot_list() {
    if (boot_manifest.load_file(local_manifest_path.c_str()) < 0 && boot_manifest.head != nullptr) {
        // One damaged line must not keep the game from starting: the update run rewrites the manifest.
        debug_log_at(1,
                     "Warning in build_boot_list(), manifest file '%s' is damaged, using the entries before "
                     "the damage.\n",
                     local_manifest_path.c_str());
    }
    if (boot_manifest.head == nullptr) {
        return;
    }
    if (boot_manifest.remove_missing_files(executables_dir.c_str()) == 0) {
        return;
    }
    pointer_heap heap(greatest_name_first);
    int beta = get_beta_test_enable();
    for (manifest_entry* entry = boot_manifest.head; entry != nullptr; entry = entry->next) {
        if (entry->name == nullptr || !is_bootable_name(*entry)) {
            continue;
        }
        if (beta == 0 && is_beta_name(entry->name)) {
            continue;
        }
        heap.push(entry->name);
    }
    for (void* name = heap.pop(); name != nullptr; name = heap.pop()) {
        boot_list.append(name);
    }
}

void boot_selected_image() {
    build_boot_list();
    bounded_string previous;
    read_previous_image_name(previous);

    if (boot_list.count == 0) {
        debug_log_at(1, "\n");
        debug_log_at(1, "Sorry, no executables found - cannot start game.\n");
        debug_log_at(1, "This launcher will attempt to download one if you restart it.\n");
        debug_log_at(1, "If this message continues to occur, please notify the game admin.\n");
        debug_log_at(1, "\n");
    }
    debug_log_at(3, "Loaded %d entries from current manifest file '%s'.\n", static_cast<int>(boot_list.count),
                 local_manifest_path.c_str());
    for (int32_t i = 0; i < boot_list.count; ++i) {
        debug_log_at(2, "Got executable filename '%s'.\n", static_cast<const char*>(boot_list.items[i]));
    }

    for (int32_t i = 0; i < boot_list.count; ++i) {
        char* name = static_cast<char*>(boot_list.items[i]);
        if (strcmp(name, previous.c_str()) == 0) {
            debug_log_at(1, "Previous boot of image '%s' failed.\n", name);
            if (boot_list.count > 1) {
                debug_log_at(1, "Skipping, will try older images.\n");
                continue;
            }
            debug_log_at(1, "No other images, retrying.\n");
        }
        write_crash_detect_file(name);

        bounded_string path;
        path.append(executables_dir.c_str());
        path.append("/");
        path.append(name);
        debug_log_at(3, "Trying executable '%s'.\n", path.c_str());
        if (path.is_cut()) {
            // The cut path names some other file; executing it is never right.
            debug_log_at(1, "Error in boot_selected_image(), path of image '%s' is too long.\n", name);
        } else {
            char* argv[] = {name, const_cast<char*>("-l"), const_cast<char*>(launcher_version_string),
                            nullptr};
            kest_boot_exec(path.c_str(), argv);
        }
        debug_log_at(1, "Boot exec for filename '%s' failed.\n", path.c_str());
        debug_log_at(1, "Trying next in line.\n");
    }

    debug_log_at(1, "Sorry, no valid executables found - cannot start game.\n");
    debug_log_at(1, "If this message continues to occur, please notify the game admin.\n");
}

void kest_boot_exec(const char* path, char* const argv[]) {
    int result = chmod(path, 0700);
    if (result < 0) {
        report_exec_failure("chmod", result, errno, path);
        // On a read-only file system an image that is executable already still boots.
        if (access(path, X_OK) != 0) {
            return;
        }
    }
    bounded_string message("kest_boot_exec() - trying to boot image '");
    message.append(path);
    message.append("'");
    debug_log_report(message.c_str(), REPORT_VERBOSE);
    // Buffered output would be lost with the process image.
    fflush(nullptr);
    result = execv(path, argv);
    report_exec_failure("exec", result, errno, path);
    fflush(nullptr);
}

int write_crash_detect_file(const char* name) {
    FILE* file = fopen(crash_detect_path.c_str(), "wb");
    if (file == nullptr) {
        debug_log_at(1, "write_crash_detect_file(), unable to open file '%s' for writing.\n",
                     crash_detect_path.c_str());
        return 0;
    }
    bool written = fputs(name, file) >= 0 && fputs("\n", file) >= 0;
    written = fclose(file) == 0 && written;
    if (!written) {
        debug_log_at(1, "write_crash_detect_file(), unable to write file '%s'.\n", crash_detect_path.c_str());
    }
    return written ? 1 : 0;
}
