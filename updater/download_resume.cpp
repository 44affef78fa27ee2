// The record's text:
//
//   varnholt download 1
//   size <decimal>
//   held <decimal>
//   hash <hash text>
//   name <name, to the end of the line>
#include "updater/download_resume.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "support/atomic_file.h"
#include "support/debug_log.h"

const char download_resume_file_name[] = "download_resume.txt";

namespace {

const char first_line[] = "varnholt download 1";
// The longest record: a manifest line is at most 1022 bytes, the keys and numbers add little.
constexpr size_t max_record_bytes = 2048;

// The next line of *text without its line feed, moving *text past it; null when no line feed ends it.
const char* take_line(char** text) {
    char* line = *text;
    char* end = strchr(line, '\n');
    if (end == nullptr) {
        return nullptr;
    }
    *end = '\0';
    *text = end + 1;
    return line;
}

// What follows `key` and one space on the next line, or null when the line is not that key's.
const char* take_value(char** text, const char* key) {
    const char* line = take_line(text);
    size_t key_length = strlen(key);
    if (line == nullptr || strncmp(line, key, key_length) != 0 || line[key_length] != ' ') {
        return nullptr;
    }
    return line + key_length + 1;
}

// A decimal count of at most 18 digits, nothing else.
bool read_count(const char* text, int64_t* value) {
    if (text == nullptr || *text == '\0' || strlen(text) > 18) {
        return false;
    }
    int64_t v = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return false;
        }
        v = v * 10 + (*p - '0');
    }
    *value = v;
    return true;
}

}  // namespace

void append_download_resume_path(bounded_string& path, const char* temporary_file) {
    const char* slash = temporary_file != nullptr ? strrchr(temporary_file, '/') : nullptr;
    if (slash != nullptr) {
        for (const char* p = temporary_file; p <= slash; ++p) {
            path.append_char(*p);
        }
    }
    path.append(download_resume_file_name);
}

int read_download_resume(const char* path, download_resume_record& record) {
    FILE* file = fopen(path, "rb");
    if (file == nullptr) {
        if (errno != ENOENT) {
            debug_log_line(1, "Warning in read_download_resume(), unable to read '%s': %s.", path,
                           strerror(errno));
        }
        return 0;
    }
    char text[max_record_bytes + 1];
    size_t n = fread(text, 1, sizeof text - 1, file);
    fclose(file);
    text[n] = '\0';
    // A NUL byte ends the text early, so the lines then fall short of what was read.
    char* p = text;
    const char* version = take_line(&p);
    int64_t size = -1;
    int64_t held = -1;
    bool ok = n < max_record_bytes && version != nullptr && strcmp(version, first_line) == 0 &&
              read_count(take_value(&p, "size"), &size) && read_count(take_value(&p, "held"), &held);
    const char* hash = ok ? take_value(&p, "hash") : nullptr;
    const char* name = hash != nullptr ? take_value(&p, "name") : nullptr;
    ok = name != nullptr && name[0] != '\0' && size <= INT32_MAX && held <= size &&
         static_cast<size_t>(p - text) == n;
    if (!ok) {
        debug_log_line(1, "Warning in read_download_resume(), '%s' is damaged, ignoring it.", path);
        return 0;
    }
    record.name.set(name);
    record.hash.set(hash);
    record.size = static_cast<int32_t>(size);
    record.held = held;
    return 1;
}

int save_download_resume(const char* path, const download_resume_record& record) {
    kest_atomic_file file(path);
    if (file.stream() == nullptr ||
        fprintf(file.stream(), "%s\nsize %d\nheld %lld\nhash %s\nname %s\n", first_line, record.size,
                static_cast<long long>(record.held), record.hash.c_str(), record.name.c_str()) < 0 ||
        !file.commit()) {
        debug_log_line(1, "Warning in save_download_resume(), unable to save '%s': %s.", path,
                       strerror(errno));
        return 0;
    }
    return 1;
}

int remove_download_resume(const char* path) {
    if (unlink(path) != 0 && errno != ENOENT) {
        debug_log_line(1, "Warning in remove_download_resume(), unable to remove '%s': %s.", path,
                       strerror(errno));
        return 0;
    }
    return 1;
}
