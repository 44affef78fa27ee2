// Boot selection: after the update run, the launcher replaces its own process with the greatest-named
// client image of the local manifest that exists, recording each attempt in the crash-detect file so that
// an image whose boot failed last time is passed over while others remain. Main thread only.
#pragma once

#include "updater/file_manifest.h"
#include "updater/pointer_containers.h"

// The local manifest as boot selection read it; its entries own the names in boot_list.
extern tal_file_manifest boot_manifest;
// The candidate names in boot order, greatest first. Filled once by build_boot_list().
extern pointer_vector boot_list;

// Loads the local manifest and fills boot_list with the names of the images that exist (those with
// "beta" in their name only in beta test mode), leaving out, with a log line, names that are not safe
// to turn into a path.
void build_boot_list();

// Tries the candidates in turn; returns only when none could be started.
void boot_selected_image();

// Makes `path` executable for its owner only and execv()s it with `argv`. Returns only on failure.
void kest_boot_exec(const char* path, char* const argv[]);

// Replaces the crash-detect file with `name` and a line feed. 1 on success; a failure is logged.
int write_crash_detect_file(const char* name);
