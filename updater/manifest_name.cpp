#include "updater/manifest_name.h"

#include <cstdio>
#include <cstring>

#include "updater/accepted_release.h"
#include "updater/download_resume.h"

namespace {

// The launcher's own files in the executables directory. A name that starts with one of them and a dot
// ("update_manifest.lst.", "accepted_release.txt.", "download_resume.txt.") is refused as well: those
// files are saved through temporaries named that way (see atomic_file.h).
const char* const reserved_names[] = {
    "update_manifest.lst",     "lock.tmp", "download.tmp", "xx-rw-test.qqq", accepted_release_file_name,
    download_resume_file_name,
};
const char* const reserved_prefixes[] = {"update_manifest.lst.", "accepted_release.txt.",
                                         "download_resume.txt."};

bool is_separator(char c) {
    return c == '/' || c == '\\';
}

bool is_control(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

bool is_reserved(const char* name) {
    while (*name == '/') {
        ++name;  // "/lock.tmp" is the same file as "lock.tmp"
    }
    for (const char* reserved : reserved_names) {
        if (strcmp(name, reserved) == 0) {
            return true;
        }
    }
    for (const char* prefix : reserved_prefixes) {
        if (strncmp(name, prefix, strlen(prefix)) == 0) {
            return true;
        }
    }
    return false;
}

int32_t decimal_width(int32_t value) {
    char digits[16];
    return snprintf(digits, sizeof digits, "%d", value);
}

}  // namespace

manifest_name_verdict check_manifest_name(const char* name, const char* hash, int32_t size) {
    if (name == nullptr || name[0] == '\0') {
        return manifest_name_empty;
    }
    if (name[0] == ' ') {
        return manifest_name_leading_blank;
    }
    size_t name_length = 0;
    bool has_dot_component = false;
    const char* component = name;
    for (const char* p = name;; ++p) {
        if (*p != '\0' && !is_separator(*p)) {
            if (is_control(static_cast<unsigned char>(*p))) {
                return manifest_name_control_byte;
            }
            continue;
        }
        size_t length = static_cast<size_t>(p - component);
        if (length == 2 && component[0] == '.' && component[1] == '.') {
            return manifest_name_parent_component;
        }
        has_dot_component = has_dot_component || (length == 1 && component[0] == '.');
        if (*p == '\0') {
            name_length = static_cast<size_t>(p - name);
            break;
        }
        component = p + 1;
    }
    if (has_dot_component) {
        return manifest_name_dot_component;
    }
    if (is_reserved(name)) {
        return manifest_name_reserved;
    }
    int32_t size_width = decimal_width(size);
    size_t line_length =
        (hash != nullptr ? strlen(hash) : 0) + 1 + (size_width < 10 ? 10 : size_width) + 1 + name_length;
    if (line_length > static_cast<size_t>(manifest_max_line_length)) {
        return manifest_name_line_too_long;
    }
    return manifest_name_safe;
}

int is_safe_manifest_name(const char* name, const char* hash, int32_t size) {
    return check_manifest_name(name, hash, size) == manifest_name_safe ? 1 : 0;
}

const char* manifest_name_verdict_text(manifest_name_verdict verdict) {
    switch (verdict) {
        case manifest_name_safe:
            return "it is safe";
        case manifest_name_empty:
            return "it is empty";
        case manifest_name_leading_blank:
            return "it begins with a space";
        case manifest_name_parent_component:
            return "it has a '..' component";
        case manifest_name_dot_component:
            return "it has a '.' component";
        case manifest_name_control_byte:
            return "it holds a control character";
        case manifest_name_reserved:
            return "it names one of the launcher's own files";
        case manifest_name_line_too_long:
            return "its manifest line would be too long";
    }
    return "it is not a valid name";
}

int is_beta_name(const char* name) {
    return name != nullptr && strstr(name, "beta") != nullptr;
}

void append_printable_manifest_name(bounded_string& dest, const char* name) {
    if (name == nullptr) {
        dest.append(name);
        return;
    }
    for (const char* p = name; *p != '\0'; ++p) {
        dest.append_char(is_control(static_cast<unsigned char>(*p)) ? '.' : *p);
    }
}
