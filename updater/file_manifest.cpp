#include "updater/file_manifest.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

#include "support/atomic_file.h"
#include "support/bounded_string.h"
#include "support/debug_log.h"
#include "support/file_system.h"
#include "support/text_utils.h"

namespace {

// fget_line() returns this buffer's size for a line it had to cut (and for one of exactly 1023 bytes).
constexpr int line_buffer_size = 1024;
constexpr int hash_check_length = 10;
constexpr size_t short_hash_length = 19;

const char manifest_header[] =
    "# This is an automatically generated file - do not modify\n"
    "# It contains a list of the files currently managed by the\n"
    "# updater.  Changing or deleting it may cause your next\n"
    "# update to download far more things than it needs.\n"
    "\n";

const char* text_or_empty(const char* text) {
    return text != nullptr ? text : "";
}

uint32_t hash_entry(const void* thing) {
    return hash_string(text_or_empty(static_cast<const manifest_entry*>(thing)->name));
}

uint32_t hash_name(const void* key) {
    return hash_string(static_cast<const char*>(key));
}

int entry_has_name(const void* thing, const void* key) {
    const char* name = static_cast<const manifest_entry*>(thing)->name;
    return name != nullptr && strcmp(name, static_cast<const char*>(key)) == 0;
}

bool is_hash_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

int syntax_error(const char* label, const char* what, const char* line) {
    bounded_string message("Syntax error in ");
    message.append(label);
    message.append(" - ");
    message.append(what);
    message.append(" for line:");
    debug_log_line(1, "%s", message.c_str());
    debug_log_line(1, "%s", line);
    return 0;
}

}  // namespace

manifest_entry::manifest_entry(const char* name, const char* hash, int32_t size)
    : name(name != nullptr ? strdup(name) : nullptr),
      hash(hash != nullptr ? strdup(hash) : nullptr),
      size(size) {}

manifest_entry::~manifest_entry() {
    free(name);
    free(hash);
}

int parse_manifest_line(const char* label, const char* line, manifest_entry** out) {
    *out = nullptr;
    if (line == nullptr) {
        return 1;
    }
    const char* p = line;
    while (*p == ' ' || *p == '\t') {
        ++p;
    }
    if (*p == '\0' || *p == '#') {
        return 1;
    }
    for (int i = 0; i < hash_check_length; ++i) {
        if (!is_hash_digit(p[i])) {
            return syntax_error(label, "bad or missing hash field", line);
        }
    }
    size_t hash_length = 0;
    while (!is_word_end(p[hash_length])) {
        ++hash_length;
    }
    const char* size_word = next_arg(p);
    int32_t size = 0;
    if (size_word == nullptr || !parse_int(size_word, &size)) {
        return syntax_error(label, "bad or missing file size", line);
    }
    const char* name = next_arg(size_word);
    if (name == nullptr) {
        return syntax_error(label, "missing file name", line);
    }
    char* hash = strndup(p, hash_length);
    *out = new manifest_entry(name, hash, size);
    free(hash);
    return 1;
}

tal_file_manifest::tal_file_manifest() : index(hash_entry, hash_name, entry_has_name) {}

tal_file_manifest::~tal_file_manifest() {
    while (head != nullptr) {
        manifest_entry* next = head->next;
        delete head;
        head = next;
    }
}

int tal_file_manifest::load_file(const char* path) {
    FILE* file = fopen(path, "rb");
    if (file == nullptr) {
        return -1;
    }
    // New entries go after any already held, so nothing held before is lost.
    manifest_entry** tail = &head;
    while (*tail != nullptr) {
        tail = &(*tail)->next;
    }
    int count = 0;
    char line[line_buffer_size];
    for (int length = fget_line(file, line, sizeof line); length > 0;
         length = fget_line(file, line, sizeof line)) {
        // The rest of a cut line would come back as lines of its own, one of them a forged entry.
        if (length == line_buffer_size) {
            syntax_error("file manifest", "line too long", line);
            fclose(file);
            return -1;
        }
        manifest_entry* entry = nullptr;
        if (!parse_manifest_line("file manifest", line, &entry)) {
            fclose(file);
            return -1;
        }
        if (entry == nullptr) {
            continue;
        }
        *tail = entry;
        tail = &entry->next;
        index.add(entry);
        ++count;
    }
    fclose(file);
    return count;
}

int tal_file_manifest::save_file(const char* path) {
    kest_atomic_file out(path);
    FILE* file = out.stream();
    if (file == nullptr) {
        debug_log_line(1, "Error in tal_file_manifest::save_file() - unable to save file '%s'.", path);
        return 0;
    }
    bool written = fputs(manifest_header, file) >= 0;
    for (const manifest_entry* entry = head; entry != nullptr; entry = entry->next) {
        const char* hash = text_or_empty(entry->hash);
        size_t hash_length = strlen(hash);
        if (hash_length <= short_hash_length) {
            debug_log_at(1, "Error in tal_file_manifest::save_file(), file '%s' had short hash len of %d.\n",
                         text_or_empty(entry->name), static_cast<int>(hash_length));
        }
        written =
            fprintf(file, "%s %10d %s\n", hash, entry->size, text_or_empty(entry->name)) >= 0 && written;
    }
    if (!written || !out.commit()) {
        debug_log_line(1, "Error in tal_file_manifest::save_file() - unable to write file '%s'.", path);
        return 0;
    }
    return 1;
}

manifest_entry* tal_file_manifest::find_entry(const char* name) const {
    if (name == nullptr) {
        return nullptr;
    }
    return static_cast<manifest_entry*>(index.find(name));
}

void tal_file_manifest::add_or_update(const manifest_entry& source) {
    if (source.name == nullptr) {
        return;
    }
    manifest_entry* entry = find_entry(source.name);
    if (entry == nullptr) {
        entry = new manifest_entry(source.name, source.hash, source.size);
        entry->next = head;
        head = entry;
        index.add(entry);
        return;
    }
    // Copy before freeing: the source may be this very entry.
    char* hash = source.hash != nullptr ? strdup(source.hash) : nullptr;
    free(entry->hash);
    entry->hash = hash;
    entry->size = source.size;
}

int tal_file_manifest::remove_missing_files(const char* directory) {
    int kept = 0;
    manifest_entry** link = &head;
    while (*link != nullptr) {
        manifest_entry* entry = *link;
        bounded_string path;
        if (directory != nullptr && directory[0] != '\0') {
            path.append(directory);
            path.append("/");
        }
        path.append(entry->name);
        struct stat status;
        // A cut path names some other file; the entry's own cannot be found.
        if (path.is_cut() || stat(path.c_str(), &status) != 0) {
            *link = entry->next;
            index.remove(entry);
            delete entry;
            continue;
        }
        ++kept;
        link = &entry->next;
    }
    return kept;
}
