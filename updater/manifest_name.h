// Which manifest names the launcher may turn into a path. Every path is built as the executables
// directory, "/" and the name, and the launcher writes, renames and executes what it names; so a name
// must stay inside that directory, must not name the launcher's own files there, and its manifest line
// must come back whole when the local manifest is read again.
#pragma once

#include <cstdint>

#include "support/bounded_string.h"

enum manifest_name_verdict {
    manifest_name_safe = 0,
    manifest_name_empty,             // null or ""
    manifest_name_leading_blank,     // a leading space: the manifest reader skips it
    manifest_name_parent_component,  // a ".." component ('/' and '\' both separate components)
    manifest_name_dot_component,     // a "." component
    manifest_name_control_byte,      // a byte below 0x20, or 0x7F
    manifest_name_reserved,          // the local manifest, lock.tmp, download.tmp, download_resume.txt, ...
    manifest_name_line_too_long,     // its line "%s %10d %s" would not be read back whole
};

// The longest manifest line (without its line feed) that the local manifest reader takes whole.
constexpr int32_t manifest_max_line_length = 1022;

// Checks the name of a manifest record that has `hash` and `size` (the line length depends on both; a
// null hash counts as empty). Leading '/' is allowed: it only doubles the separator after the directory.
manifest_name_verdict check_manifest_name(const char* name, const char* hash, int32_t size);

// 1 when check_manifest_name() finds the name safe, else 0.
int is_safe_manifest_name(const char* name, const char* hash, int32_t size);

// Why a name was refused, as the end of a sentence ("it has a '..' component").
const char* manifest_name_verdict_text(manifest_name_verdict verdict);

// 1 when `name` is a beta test build's: it contains "beta" (letter case matters). Such names are fetched
// and booted only in beta test mode.
int is_beta_name(const char* name);

// Appends `name` for a log line: control bytes become '.', so a hostile name cannot forge log lines.
void append_printable_manifest_name(bounded_string& dest, const char* name);
