// Downloads one file in file mode, as the file-set updater does, and prints the result, the wall time
// and the peak resident memory of the process; with "sha256" the body is hashed while it arrives, as a
// launcher built with keys does, and the digest is printed too:
//   http_download_bench <port> <path> <destination> [sha256]   (from 127.0.0.1)
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "http/http_downloader.h"
#include "net/ssl_startup.h"

namespace {

void count_progress(void* calls, int, int) {
    ++*static_cast<long*>(calls);
}

}  // namespace

int main(int argc, char** argv) {
    bool hash = argc == 5 && strcmp(argv[4], "sha256") == 0;
    if (argc != 4 && !hash) {
        fprintf(stderr, "usage: %s <port> <path> <destination> [sha256]\n", argv[0]);
        return 2;
    }
    // As the launcher's start-up does, so that the TLS library's own memory counts in both runs alike.
    if (!kest_ssl_startup()) {
        return 1;
    }
    long progress_calls = 0;
    // As the file-set updater hashes a client file; made only when asked for, so that the plain run's
    // memory is what it was.
    std::unique_ptr<sha256_hasher> hasher;
    if (hash) {
        hasher.reset(new sha256_hasher(sha256_hasher::mode::on_own_thread));
    }
    char hex[sha256_hex_length + 1] = "-";
    auto start = std::chrono::steady_clock::now();
    int ok = 0;
    {
        kest_http_downloader downloader;
        downloader.progress_callback = count_progress;
        downloader.user_data = &progress_calls;
        downloader.body_hasher = hasher.get();
        downloader.set_connection("127.0.0.1", atoi(argv[1]), 0);
        ok = downloader.download("127.0.0.1", argv[2], argv[3]);
        if (hasher && !hasher->finish_hex(hex)) {
            ok = 0;
        }
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    printf("result %d seconds %.3f peak_rss_kib %ld progress_calls %ld sha256 %s\n", ok, seconds, usage.ru_maxrss,
           progress_calls, hex);
    return ok ? 0 : 1;
}
