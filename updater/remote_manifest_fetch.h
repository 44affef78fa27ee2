// Downloads the compressed remote manifest and turns it into records while it arrives: the body goes
// from the downloader's data callback into the inflater, the inflated text is cut into lines and each
// line is parsed with the manifest line parser. Nothing is written to disk.
#pragma once

#include <zlib.h>

#include <cstdint>

#include "updater/file_manifest.h"
#include "updater/release_signature.h"
#include "updater/update_hosts.h"

struct ssl_ctx_st;

class kest_http_downloader;

class http_fetch_remote_manifest_data {
  public:
    // Told (0, expected) before the first piece and (received, expected) after each; expected is -1 when
    // no length was announced. The result is passed back to the downloader, which ignores it.
    using progress_callback_type = int (*)(void* user, int received, int expected);

    static constexpr int32_t line_capacity = 6000;
    static constexpr int32_t inflate_window_bytes = 65536;
    // Nothing a server sends may grow without bound: a longer body (bytes after the compressed stream
    // included), more inflated text, or more records, fails the fetch.
    static constexpr int64_t default_max_body_bytes = 256 * 1024 * 1024;
    static constexpr int64_t default_max_inflated_bytes = 256 * 1024 * 1024;
    static constexpr int32_t default_max_records = 1000000;
    // The manifest's size is not known before it arrives, so its fetch has a fixed time limit. At the
    // floor rate of the downloader's time limits (4096 bytes a second) it moves about 2.4 MB, far more
    // than a real manifest.
    static constexpr int64_t default_time_limit_ms = 10 * 60 * 1000;

    http_fetch_remote_manifest_data();
    ~http_fetch_remote_manifest_data();  // frees the records
    http_fetch_remote_manifest_data(const http_fetch_remote_manifest_data&) = delete;
    http_fetch_remote_manifest_data& operator=(const http_fetch_remote_manifest_data&) = delete;

    // How a fetched manifest compares with its release signature.
    enum signed_check {
        manifest_not_signed = 0,  // no signature was given (signed_manifest null)
        manifest_unchecked,       // the fetch failed for another reason first
        manifest_matches,         // exactly the signed length, with the signed SHA-256
        manifest_too_long,        // more bytes than signed: the fetch stopped at the signed length
        manifest_too_short,
        manifest_wrong_hash,
    };

    // GETs `path` from `host` (port and use_tls below). The number of records (>= 0) when the response
    // was complete, its compressed stream (if any byte of it arrived) had ended and every line parsed,
    // and, when signed_manifest is set, the body matched it (signed_result says how it compared); -1
    // otherwise, and then no record is held. An empty body is 0 records.
    int fetch_manifest(const char* host, const char* path);
    // The same from the first usable host of `hosts`; one that cannot be reached or answers 5xx is passed
    // over (update_host_list::pass_over) and the next one asked, each once.
    int fetch_manifest(update_host_list& hosts, const char* path);

    // GETs the release signature at `path` into signature_text. 1 when a complete 200 response of at
    // most release_signature_max_bytes arrived (a longer one is given up at that size), else 0.
    int fetch_signature(const char* host, const char* path);
    // The same from the hosts in turn, as fetch_manifest does.
    int fetch_signature(update_host_list& hosts, const char* path);

    // The downloader's callbacks; `user` is this object.
    static int download_data_callback(void* user, const char* data, int length);
    static int download_progress_callback(void* user, int received, int expected);

    // Cuts inflated text into lines and parses each complete one (one trailing carriage return dropped).
    // 1, or 0 after a bad line or too many records: the records are then freed and the rest is not read.
    int take_inflated_text(const char* bytes, int length);

    // The inflated line being collected: at most line_capacity - 1 bytes are kept, the rest is dropped.
    char line[line_capacity];
    int32_t line_length;
    // The records in text order; owned by this object.
    manifest_entry* records;
    manifest_entry** records_tail;
    int32_t record_count;
    z_stream inflate_stream;
    void* progress_user;
    progress_callback_type progress_callback;

    int64_t max_body_bytes;
    int64_t max_inflated_bytes;
    int32_t max_records;
    // Copied into the downloader; tests shorten the times.
    int32_t port;
    int32_t use_tls;
    ssl_ctx_st* tls_context;  // with use_tls: verifies the server (kest_ssl_create_verifying_context); not owned
    int32_t wait_ms;
    int32_t stall_window_ms;
    int64_t time_limit_ms;

    // The signature the manifest must match, or null; not owned.
    const release_signature* signed_manifest;
    signed_check signed_result;

    char signature_text[release_signature_max_bytes];
    int32_t signature_length;

  private:
    void free_records();
    int end_of_text();
    void configure(kest_http_downloader& downloader, const char* host);
    // One fetch from one host; when it failed for a reason that counts against the host, `cause` says
    // why (host_failure_cause), else it is empty.
    int fetch_manifest_from(const char* host, const char* path, bounded_string& cause);
    int fetch_signature_from(const char* host, const char* path, bounded_string& cause);
    static int signature_data_callback(void* user, const char* data, int length);

    int64_t body_bytes;
    int64_t inflated_bytes;
    int32_t stream_started;
    int32_t stream_ended;
};
