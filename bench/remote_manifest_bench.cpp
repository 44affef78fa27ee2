// Fetches, inflates and parses one remote manifest as the update run does, and prints the record count,
// the wall time and the peak resident memory of the process:
//   remote_manifest_bench <path>   (from port 80 of 127.0.0.1)
#include <sys/resource.h>

#include <chrono>
#include <cstdio>

#include "updater/remote_manifest_fetch.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s <path>\n", argv[0]);
        return 2;
    }
    auto start = std::chrono::steady_clock::now();
    int records = 0;
    {
        http_fetch_remote_manifest_data fetcher;
        records = fetcher.fetch_manifest("127.0.0.1", argv[1]);
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    printf("records %d seconds %.3f peak_rss_kib %ld\n", records, seconds, usage.ru_maxrss);
    return records >= 0 ? 0 : 1;
}
