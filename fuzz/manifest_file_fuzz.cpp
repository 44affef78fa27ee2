// A local manifest file as a damaged disk or another program may leave it: loaded through fget_line,
// saved, and loaded again. Whatever was accepted must come back the same, in the same order.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/debug_log.h"
#include "updater/file_manifest.h"

namespace {

void check(bool condition) {
    if (!condition) {
        abort();
    }
}

char save_directory[] = "/dev/shm/varnholt-manifest-fuzz-XXXXXX";
std::string save_path;

void remove_save_directory() {
    unlink(save_path.c_str());
    rmdir(save_directory);
}

std::vector<std::string> entries_of(const tal_file_manifest& manifest) {
    std::vector<std::string> entries;
    for (const manifest_entry* e = manifest.head; e != nullptr; e = e->next) {
        check(e->name != nullptr && e->name[0] != '\0' && e->hash != nullptr);
        check(manifest.find_entry(e->name) != nullptr);
        entries.push_back(std::string(e->hash) + "|" + std::to_string(e->size) + "|" + e->name);
    }
    return entries;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    debug_log_level = 0;  // syntax errors are expected; keep the run quiet
    check(mkdtemp(save_directory) != nullptr);
    save_path = std::string(save_directory) + "/update_manifest.lst";
    atexit(remove_save_directory);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int fd = memfd_create("manifest", MFD_CLOEXEC);
    check(fd >= 0);
    check(write(fd, data, size) == static_cast<ssize_t>(size));
    std::string path = "/proc/self/fd/" + std::to_string(fd);

    tal_file_manifest loaded;
    int count = loaded.load_file(path.c_str());
    close(fd);
    std::vector<std::string> entries = entries_of(loaded);
    check(count == -1 || count == static_cast<int>(entries.size()));

    check(loaded.save_file(save_path.c_str()) == 1);
    tal_file_manifest reloaded;
    check(reloaded.load_file(save_path.c_str()) == static_cast<int>(entries.size()));
    check(entries_of(reloaded) == entries);
    return 0;
}
