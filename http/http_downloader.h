// Fetches one resource with a single HTTP GET over one connection, into a file (file mode) or piece by
// piece through a data callback (data-callback mode). Blocks the calling thread for the whole transfer;
// every callback runs on that thread. The outgoing queue uses the process-wide buffer pool, so
// downloads must not run on two threads at once.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>

#include "http/http_data_processor.h"
#include "net/tcp_socket.h"
#include "support/bounded_string.h"
#include "support/sha256_hasher.h"

class kest_http_downloader {
  public:
    // Receives the body; non-zero to go on, 0 to abandon the download.
    using data_callback_type = int (*)(void* user_data, const char* bytes, int length);
    // Told (0, total) before the first piece and (received, total) after each; total is -1 without an
    // announced length. A file that is continued counts its kept bytes too (see body_offset).
    using progress_callback_type = void (*)(void* user_data, int received, int total);

    // Why the last download() failed.
    enum failure_kind : int32_t {
        failure_none = 0,
        failure_unresolved,  // the host's name was never resolved (set_connection failed)
        failure_connect,     // refused, unreachable, timed out or TLS failed: see connect_error
        failure_request,     // the request could not be started or written
        failure_status,      // a status other than 200 (or a 206 that continues the file): see status
        failure_range,       // a 206 or 416 that does not continue the partial file from resume_from
        failure_broken,      // reset, closed before the response was complete, or not HTTP
        failure_timeout,     // stalled, or past the time limit
        failure_too_long,    // more body than max_body_bytes
        failure_local,       // the destination could not be opened, written or closed
        failure_refused,     // the data callback refused a piece
    };

    static constexpr int default_wait_ms = 5000;
    static constexpr int default_stall_window_ms = 60000;
    static constexpr int default_stall_min_bytes = 1024;
    // A fetch of a known size is allowed this much time for connecting and the start of the answer, plus
    // its size at this rate (see time_limit_for).
    static constexpr int64_t time_limit_allowance_ms = 60000;
    static constexpr int64_t time_limit_floor_bytes_per_second = 4096;

    // The time limit of a fetch of `expected_bytes`: `allowance_ms` plus the time those bytes take at
    // the floor rate.
    static int64_t time_limit_for(int64_t expected_bytes, int64_t allowance_ms = time_limit_allowance_ms);

    // Set the callbacks and user_data directly after construction, then call set_connection and one
    // download.
    kest_http_downloader();
    // The socket's destruction closes a connection that is still open (and logs that it was).
    ~kest_http_downloader() = default;
    kest_http_downloader(const kest_http_downloader&) = delete;
    kest_http_downloader& operator=(const kest_http_downloader&) = delete;

    // 1 if `host` was resolved into address; 0 otherwise, and download will then refuse to connect.
    int set_connection(const char* host, int port, int use_tls);
    // Data-callback form: GET `path` with "Host: <host>" from the address of set_connection. 1 when a
    // complete 200 response was received, else 0.
    int download(const char* host, const char* path);
    // File form: the body goes to `destination`, opened only when a 200 header block arrives (or a 206
    // that continues it, see resume_from). After a broken, cut short or stalled transfer the file is
    // deleted unless keep_partial_file is set; the file is closed before this returns.
    int download(const char* host, const char* path, const char* destination);

    // File form, while the body arrives (from the progress callback): writes out what stdio holds of it
    // and syncs the file to disk. The file's length known to be on disk, or -1 when that failed or no file
    // is open.
    int64_t sync_output_file();

    // The processor's callbacks; `downloader` is this object.
    static int callback_message_received(kest_http_data_processor_oline* processor, void* downloader);
    static int callback_content_data_received(kest_http_data_processor_oline* processor, void* downloader,
                                              const char* bytes, int length);
    static int callback_message_complete(kest_http_data_processor_oline* processor, void* downloader);
    static void callback_close_connection(kest_http_data_processor_oline* processor, void* downloader);
    static int callback_content_body_get_tx_data(kest_http_data_processor_oline* processor, void* downloader,
                                                 char* buffer, int size);

    int32_t use_tls;
    // With use_tls: the context that verifies the server's certificate for the host name download() is
    // given (kest_ssl_create_verifying_context; not owned). Null: the process context, which checks none.
    ssl_ctx_st* tls_context;
    int32_t port;
    sockaddr_in address;
    bounded_string destination;
    FILE* output_file;
    int32_t total;
    int32_t received;
    kest_tcp_socket socket;
    data_callback_type data_callback;
    progress_callback_type progress_callback;
    void* user_data;

    // Time limit of each connect, read and write. A transfer that delivers fewer than stall_min_bytes of
    // body within any stall_window_ms is given up (request, header and chunk framing bytes do not count).
    // Tests shorten these.
    int32_t wait_ms;
    int32_t stall_window_ms;
    int32_t stall_min_bytes;
    // The whole download, connect included, may take at most this long, or it is given up like a stalled
    // one. Negative: no limit.
    int64_t time_limit_ms;
    // The most body bytes accepted; a piece that would pass it abandons the download. Negative: no limit.
    int64_t max_body_bytes;
    // When set, every body byte accepted is also given to this hasher, in order; the caller owns it and
    // reads the digest after the download. A 200 answer to a request for the rest of a file restarts it.
    sha256_hasher* body_hasher;

    // File form. With resume_from above 0, the destination holds exactly the first resume_from bytes of a
    // resource of resource_size bytes, and the request asks for the rest ("Range: bytes=N-"). Only a 206
    // whose Content-Range is exactly "bytes N-(resource_size - 1)/resource_size", with no other length,
    // continues the file; a 200 writes it again from the start; anything else fails (failure_range for
    // a 206 or a 416). max_body_bytes counts the kept bytes too.
    int64_t resume_from;
    int64_t resource_size;
    // File form: a transfer that breaks once the file is open leaves it as far as written, closed.
    int32_t keep_partial_file;

    // What the last download() found: why it failed, the network error code of a failed connect, the
    // response's status (0 before one arrived), and where in the file the response's body began (0, or
    // resume_from when a 206 continued the file).
    failure_kind failure;
    int32_t connect_error;
    int32_t status;
    int64_t body_offset;

  private:
    int send_request(kest_http_data_processor_oline& processor, char* buffer, int size);
    int receive_response(kest_http_data_processor_oline& processor, char* buffer, int size);
    int response_is_complete(const kest_http_data_processor_oline& processor) const;
    int close_output_file(const char* operation);
    // Opens destination for a 200 (from the start) or a 206 (after the kept bytes); 1, or 0 when the
    // answer does not fit the file or it cannot be opened (failure says which).
    int open_output_file(const kest_http_data_processor_oline& processor);
    int fail(failure_kind kind);
    int give_up(const char* reason, failure_kind kind);
    void report_progress();
    void note_progress(int bytes);
    int stalled();
    // The reason to give up now ("transfer stalled", ...), or null to go on.
    const char* reason_to_give_up();
    // How long the next connect, read or write may wait: wait_ms, or less near the time limit.
    int next_wait_ms() const;

    // The output file's stdio buffer, which must outlive the open file.
    static constexpr size_t output_buffer_size = 64 * 1024;
    std::unique_ptr<char[]> output_buffer;
    int32_t message_completed;
    // The stall window slides: the reads and writes of the latest stall_min_bytes moved (the shortest
    // run of them, newest last) and their bytes together. Fewer than that moved so far: all of them.
    struct progress_mark {
        int64_t at_ms;
        int64_t bytes;
    };
    std::deque<progress_mark> recent_progress;
    int64_t recent_bytes;
    int64_t transfer_start_ms;
    int64_t deadline_ms;  // of the monotonic clock; negative: none
};
