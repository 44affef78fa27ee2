// Downloads one file in file mode, as the file-set updater does, and prints the result, the wall time
// and the peak resident memory of the process:
//   http_download_bench <port> <path> <destination>   (from 127.0.0.1)
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "http/http_downloader.h"

namespace {

void count_progress(void* calls, int, int) {
    ++*static_cast<long*>(calls);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s <port> <path> <destination>\n", argv[0]);
        return 2;
    }
    long progress_calls = 0;
    auto start = std::chrono::steady_clock::now();
    int ok = 0;
    {
        kest_http_downloader downloader;
        downloader.progress_callback = count_progress;
        downloader.user_data = &progress_calls;
        downloader.set_connection("127.0.0.1", atoi(argv[1]), 0);
        ok = downloader.download("127.0.0.1", argv[2], argv[3]);
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    printf("result %d seconds %.3f peak_rss_kib %ld progress_calls %ld\n", ok, seconds, usage.ru_maxrss,
           progress_calls);
    return ok ? 0 : 1;
}
