// The launcher's one lasting setting, beta test mode, kept in <config directory>/launcher.cfg together
// with the version of the launcher that wrote the file, so that a new version rewrites it once.
#pragma once

#include <atomic>
#include <cstdio>

class kest_xml_reader;

// 0 is off, any other value on. Written on the main thread, read by the update worker as well.
extern std::atomic<int> beta_test_enable;
// The launcher_version text of the file loaded last (a heap copy), or null when it had none.
extern char* stored_launcher_version;

// Reads launcher.cfg into beta_test_enable and stored_launcher_version, then saves the file unless it
// was written by this launcher version.
void load_system_config_file();

// Replaces launcher.cfg as a whole with this version and beta_test_enable. 1 when the file was written;
// 0 after logging why not, and the old file is then left as it was.
int save_system_config_file();

int get_beta_test_enable();
// Saves the file when the value changes.
void set_beta_test_enable(int value);

// Reads a settings file from its first byte: the declaration line, then launcher_config elements (other
// elements are skipped). Sets beta_test_enable and stored_launcher_version as they are found.
void read_system_config(FILE* file);

// The children of a launcher_config element whose opening tag `reader` has just read.
void read_launcher_config(kest_xml_reader& reader);
