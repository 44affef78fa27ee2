// Downloads one file the way a launcher's update run does, through the file-set updater (retries,
// continuing a partial file, its record), and prints the result, the wall time, the peak resident memory
// and what the updater said; with a SHA-256 the file is checked against it, as launchers built with keys
// do:
//   file_update_bench <port> <name> <size> <executables directory> [sha256]     (from 127.0.0.1)
// The file is asked for as /downloads/tessar_v3/<name>.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "updater/filesystem_updater.h"
#include "updater/update_run.h"

namespace {

struct said {
    int retries = 0;
    std::string last;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5 && argc != 6) {
        fprintf(stderr, "usage: %s <port> <name> <size> <executables directory> [sha256]\n", argv[0]);
        return 2;
    }
    const std::string directory = argv[4];
    // Without a SHA-256 to check, a stand-in of its length for the local manifest.
    const std::string hash = argc == 6 ? argv[5] : std::string(64, '0');
    said messages;
    tal_filesystem_updater updater;
    updater.port = atoi(argv[1]);
    updater.verify_content_hash = argc == 6;
    updater.callback_user = &messages;
    updater.message_callback = [](void* user, const char* text) {
        said* s = static_cast<said*>(user);
        s->retries += std::string(text).rfind("Retrying", 0) == 0 ? 1 : 0;
        s->last = text;
    };
    auto start = std::chrono::steady_clock::now();
    int ok = updater.set_destination_path(directory.c_str()) &&
             updater.set_temporary_file((directory + "/download.tmp").c_str());
    updater.load_manifest((directory + "/update_manifest.lst").c_str());
    manifest_entry entry(argv[2], hash.c_str(), static_cast<int32_t>(atoll(argv[3])));
    pointer_vector list;
    list.append(&entry);
    ok = ok && updater.update_files("127.0.0.1", update_download_root, list) == 0 &&
         updater.manifest.find_entry(argv[2]) != nullptr;
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    printf("result %d seconds %.3f peak_rss_kib %ld retries %d last '%s'\n", ok, seconds, usage.ru_maxrss,
           messages.retries, messages.last.c_str());
    return ok ? 0 : 1;
}
