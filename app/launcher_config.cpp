#include "app/launcher_config.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/launcher_state.h"
#include "support/atomic_file.h"
#include "support/bounded_string.h"
#include "support/config_directory.h"
#include "support/debug_log.h"
#include "support/file_system.h"
#include "support/text_utils.h"
#include "support/xml_reader.h"
#include "support/xml_writer.h"

std::atomic<int> beta_test_enable{0};
char* stored_launcher_version = nullptr;

namespace {

constexpr int text_size = 1000;

void build_config_path(bounded_string& path, const char* directory) {
    path.append(directory);
    path.append("/launcher.cfg");
}

// One element that holds text: "<name>text</name>" on a line of its own.
void write_text_element(kest_xml_writer& writer, const char* name, const char* text) {
    writer.write_tag(name, 0, nullptr);
    writer.write_string(text);
    writer.end_tag(nullptr, 0);
}

// The file a save replaces: the settings file itself, or the file it names when it is a symbolic link
// (a player who keeps it with other settings elsewhere keeps the link). 0 when there is none that can be
// replaced, after logging why; the link is then left as it is.
int find_file_to_replace(const char* path, bounded_string& target) {
    if (!kest_resolve_symbolic_links(path, target)) {
        char cause[256];
        debug_log_at(1, "Unable to save system config - cannot open config file '%s'.\n", path);
        debug_log_at(1, "Error in save_system_config_file(), cannot follow the symbolic link '%s': %s.\n",
                     path, strerror_r(errno, cause, sizeof cause));
        return 0;
    }
    if (strcmp(target.c_str(), path) == 0) {
        return 1;
    }
    struct stat status;
    if (lstat(target.c_str(), &status) != 0) {
        debug_log_at(1, "save_system_config_file(), '%s' links to '%s', which does not exist: creating it.\n",
                     path, target.c_str());
        return 1;
    }
    if (!S_ISREG(status.st_mode)) {
        debug_log_at(1, "Unable to save system config - cannot open config file '%s'.\n", path);
        debug_log_at(1,
                     "Error in save_system_config_file(), '%s' links to '%s', which is not a regular file.\n",
                     path, target.c_str());
        return 0;
    }
    return 1;
}

}  // namespace

void read_launcher_config(kest_xml_reader& reader) {
    char tag[text_size];
    while (reader.read_tag(tag, sizeof tag)) {
        if (word_equal(tag, "launcher_version")) {
            char text[text_size];
            if (reader.read_data(text, sizeof text)) {
                free(stored_launcher_version);
                stored_launcher_version = strdup(text);
            }
        } else if (word_equal(tag, "beta_test_enable")) {
            int32_t value = 0;
            if (reader.read_data(&value)) {
                beta_test_enable = value;
            }
        } else {
            reader.skip_data();
        }
    }
}

void read_system_config(FILE* file) {
    char line[text_size] = "";
    fget_line(file, line, sizeof line);
    kest_xml_file_reader reader(file);
    if (!kest_xml_reader::check_xml_header_string(line)) {
        debug_log_at(1, "Warning in load_system_config_file() - bad XML header, bailing.\n");
        return;
    }
    char tag[text_size];
    while (reader.read_tag(tag, sizeof tag)) {
        if (word_equal(tag, "launcher_config")) {
            read_launcher_config(reader);
        } else {
            debug_log_at(1, "load_system_config_file() got unknown tag '%s'\n", tag);
            reader.skip_data();
        }
    }
}

void load_system_config_file() {
    const char* directory = get_config_directory();
    if (directory == nullptr) {
        debug_log_at(1, "Unable to load system config - no config file directory.\n");
        return;
    }
    bounded_string path;
    build_config_path(path, directory);
    debug_log_at(3, "load_system_config_file() - using core config file name '%s'.\n", path.c_str());
    // A save cut short by a kill or a power cut leaves its temporary beside the file it was to replace.
    bounded_string target;
    if (kest_resolve_symbolic_links(path.c_str(), target)) {
        kest_remove_stale_temporaries(target.c_str());
    }
    // The version is the one of this file: a file without one is rewritten.
    free(stored_launcher_version);
    stored_launcher_version = nullptr;

    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        debug_log_at(1, "Unable to load system config - cannot open config file '%s'.\n", path.c_str());
    } else {
        read_system_config(file);
        fclose(file);
    }

    if (stored_launcher_version != nullptr && strcmp(stored_launcher_version, launcher_version_string) == 0) {
        return;
    }
    save_system_config_file();
}

int save_system_config_file() {
    const char* directory = get_config_directory();
    if (directory == nullptr) {
        debug_log_at(1, "Unable to save system config - no config file directory.\n");
        return 0;
    }
    bounded_string path;
    build_config_path(path, directory);
    bounded_string target;
    if (!find_file_to_replace(path.c_str(), target)) {
        return 0;
    }
    kest_atomic_file file(target.c_str());
    if (file.stream() == nullptr) {
        debug_log_at(1, "Unable to save system config - cannot open config file '%s'.\n", path.c_str());
        return 0;
    }
    kest_xml_file_writer writer(file.stream());
    if (writer.write_header() <= 0) {
        debug_log_at(1, "Error in save_system_config_file(), unable to write to system config file '%s'.\n",
                     path.c_str());
        return 0;
    }
    debug_log_at(3, "Saving system config to file '%s'.\n", path.c_str());
    writer.write_tag("launcher_config", 1, nullptr);
    write_text_element(writer, "launcher_version", launcher_version_string);
    char value[100];
    snprintf(value, sizeof value, "%d", beta_test_enable.load());
    write_text_element(writer, "beta_test_enable", value);
    writer.end_tag(nullptr, 1);
    writer.write_newline();
    int saved = file.commit();
    if (!saved) {
        debug_log_at(1, "Error in save_system_config_file(), unable to write to system config file '%s'.\n",
                     path.c_str());
    }
    fflush(nullptr);
    return saved;
}

int get_beta_test_enable() {
    return beta_test_enable;
}

void set_beta_test_enable(int value) {
    if (beta_test_enable.exchange(value) != value) {
        save_system_config_file();
    }
}
