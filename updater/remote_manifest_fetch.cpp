#include "updater/remote_manifest_fetch.h"

#include <cstring>

#include "http/http_downloader.h"
#include "support/debug_log.h"

namespace {

constexpr int default_port = 80;
// 15: a 32 KiB window; +32: a zlib or a gzip header, whichever comes.
constexpr int window_bits_any_header = 15 + 32;
const char line_label[] = "downloaded data";

http_fetch_remote_manifest_data* owner(void* user) {
    return static_cast<http_fetch_remote_manifest_data*>(user);
}

}  // namespace

http_fetch_remote_manifest_data::http_fetch_remote_manifest_data()
    : line_length(0),
      records(nullptr),
      records_tail(&records),
      record_count(0),
      inflate_stream{},
      progress_user(nullptr),
      progress_callback(nullptr),
      max_body_bytes(default_max_body_bytes),
      max_inflated_bytes(default_max_inflated_bytes),
      max_records(default_max_records),
      port(default_port),
      use_tls(0),
      tls_context(nullptr),
      wait_ms(kest_http_downloader::default_wait_ms),
      stall_window_ms(kest_http_downloader::default_stall_window_ms),
      time_limit_ms(default_time_limit_ms),
      signed_manifest(nullptr),
      signed_result(manifest_not_signed),
      signature_text{},
      signature_length(0),
      body_bytes(0),
      inflated_bytes(0),
      stream_started(0),
      stream_ended(0) {
    line[0] = '\0';
}

http_fetch_remote_manifest_data::~http_fetch_remote_manifest_data() {
    free_records();
}

void http_fetch_remote_manifest_data::free_records() {
    while (records != nullptr) {
        manifest_entry* next = records->next;
        delete records;
        records = next;
    }
    records_tail = &records;
    record_count = 0;
}

int http_fetch_remote_manifest_data::fetch_manifest(const char* host, const char* path) {
    bounded_string cause;
    return fetch_manifest_from(host, path, cause);
}

int http_fetch_remote_manifest_data::fetch_manifest(update_host_list& hosts, const char* path) {
    int n = -1;
    bounded_string cause;
    for (int i = hosts.next_usable(); i >= 0; i = hosts.next_usable(i + 1)) {
        n = fetch_manifest_from(hosts.name(i), path, cause);
        if (n >= 0 || cause.empty() || !hosts.pass_over(i, cause.c_str())) {
            break;
        }
    }
    return n;
}

int http_fetch_remote_manifest_data::fetch_manifest_from(const char* host, const char* path,
                                                         bounded_string& cause) {
    cause.clear();
    free_records();
    line_length = 0;
    line[0] = '\0';
    body_bytes = 0;
    inflated_bytes = 0;
    stream_started = 0;
    stream_ended = 0;
    inflate_stream = z_stream{};
    if (inflateInit2(&inflate_stream, window_bits_any_header) != Z_OK) {
        return -1;
    }

    signed_result = manifest_not_signed;
    sha256_hasher hasher;
    int ok;
    {
        kest_http_downloader downloader;
        configure(downloader, host);
        downloader.data_callback = download_data_callback;
        downloader.progress_callback = [](void* user, int received, int expected) {
            download_progress_callback(user, received, expected);
        };
        if (signed_manifest != nullptr) {
            signed_result = manifest_unchecked;
            downloader.body_hasher = &hasher;
        }
        ok = downloader.download(host, path);
        if (!ok) {
            host_failure_cause(downloader, cause);
        }
    }
    inflateEnd(&inflate_stream);
    if (ok && signed_result == manifest_unchecked) {
        char hex[sha256_hex_length + 1];
        signed_result = body_bytes < signed_manifest->manifest_length ? manifest_too_short
                        : !hasher.finish_hex(hex) || strcmp(hex, signed_manifest->manifest_sha256) != 0
                            ? manifest_wrong_hash
                            : manifest_matches;
    }
    if (signed_result == manifest_too_long || signed_result == manifest_too_short ||
        signed_result == manifest_wrong_hash) {
        debug_log_line(
            1,
            "Error in http_fetch_remote_manifest_data::fetch_manifest(), the manifest does not match "
            "its release signature (%s).",
            signed_result == manifest_wrong_hash ? "SHA-256" : "length");
        ok = 0;
    }

    // A complete response can still hold a cut stream (a server that stored half a file): the records of
    // its complete lines would pass for the whole manifest.
    if (ok && stream_started && !stream_ended) {
        debug_log_line(1,
                       "Error in http_fetch_remote_manifest_data::fetch_manifest(), the compressed manifest "
                       "ends before its stream does.");
        ok = 0;
    }
    if (!ok) {
        free_records();
        return -1;
    }
    return record_count;
}

void http_fetch_remote_manifest_data::configure(kest_http_downloader& downloader, const char* host) {
    downloader.user_data = this;
    downloader.wait_ms = wait_ms;
    downloader.stall_window_ms = stall_window_ms;
    downloader.time_limit_ms = time_limit_ms;
    downloader.set_connection(host, port, use_tls);
    downloader.tls_context = tls_context;
}

int http_fetch_remote_manifest_data::fetch_signature(const char* host, const char* path) {
    bounded_string cause;
    return fetch_signature_from(host, path, cause);
}

int http_fetch_remote_manifest_data::fetch_signature(update_host_list& hosts, const char* path) {
    bounded_string cause;
    for (int i = hosts.next_usable(); i >= 0; i = hosts.next_usable(i + 1)) {
        if (fetch_signature_from(hosts.name(i), path, cause)) {
            return 1;
        }
        if (cause.empty() || !hosts.pass_over(i, cause.c_str())) {
            break;
        }
    }
    return 0;
}

int http_fetch_remote_manifest_data::fetch_signature_from(const char* host, const char* path,
                                                          bounded_string& cause) {
    cause.clear();
    signature_length = 0;
    kest_http_downloader downloader;
    configure(downloader, host);
    downloader.data_callback = signature_data_callback;
    downloader.max_body_bytes = release_signature_max_bytes;
    downloader.time_limit_ms = kest_http_downloader::time_limit_for(release_signature_max_bytes);
    if (!downloader.download(host, path)) {
        host_failure_cause(downloader, cause);
        signature_length = 0;
        return 0;
    }
    return 1;
}

int http_fetch_remote_manifest_data::signature_data_callback(void* user, const char* data, int length) {
    http_fetch_remote_manifest_data* self = owner(user);
    // The downloader's byte limit keeps the text within its buffer.
    memcpy(self->signature_text + self->signature_length, data, static_cast<size_t>(length));
    self->signature_length += length;
    return 1;
}

int http_fetch_remote_manifest_data::download_data_callback(void* user, const char* data, int length) {
    http_fetch_remote_manifest_data* self = owner(user);
    // Empty deflate blocks, or bytes after the end of the stream, would otherwise keep an endless body
    // going without ever reaching the limits on inflated text.
    // A signed manifest is not read one byte past its signed length.
    if (self->signed_manifest != nullptr &&
        self->body_bytes + length > self->signed_manifest->manifest_length) {
        self->signed_result = manifest_too_long;
        return 0;
    }
    self->body_bytes += length;
    if (self->body_bytes > self->max_body_bytes) {
        debug_log_line(1,
                       "Error in http_fetch_remote_manifest_data::download_data_callback(), more than "
                       "%lld bytes of compressed manifest, giving up.",
                       static_cast<long long>(self->max_body_bytes));
        return 0;
    }
    if (self->stream_ended) {
        return 1;  // bytes after the end of the compressed stream are not part of the manifest
    }
    z_stream& stream = self->inflate_stream;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    stream.avail_in = static_cast<uInt>(length);
    self->stream_started = 1;
    char window[inflate_window_bytes];
    for (;;) {
        stream.next_out = reinterpret_cast<Bytef*>(window);
        stream.avail_out = sizeof window;
        int z = inflate(&stream, Z_NO_FLUSH);
        if (z == Z_BUF_ERROR) {
            return 1;  // the piece is used up
        }
        if (z != Z_OK && z != Z_STREAM_END) {
            debug_log_line(
                1,
                "Error in http_fetch_remote_manifest_data::download_data_callback(), ZLip inflate failed?");
            return 0;
        }
        int produced = static_cast<int>(sizeof window - stream.avail_out);
        self->inflated_bytes += produced;
        if (self->inflated_bytes > self->max_inflated_bytes) {
            debug_log_line(1,
                           "Error in http_fetch_remote_manifest_data::download_data_callback(), more than "
                           "%lld bytes of inflated text, giving up.",
                           static_cast<long long>(self->max_inflated_bytes));
            return 0;
        }
        if (produced > 0 && !self->take_inflated_text(window, produced)) {
            return 0;
        }
        if (z == Z_STREAM_END) {
            self->stream_ended = 1;
            return self->end_of_text();
        }
        if (stream.avail_in == 0 && stream.avail_out > 0) {
            return 1;  // all the output this input gives is out
        }
    }
}

int http_fetch_remote_manifest_data::download_progress_callback(void* user, int received, int expected) {
    http_fetch_remote_manifest_data* self = owner(user);
    if (self->progress_callback == nullptr) {
        return 0;
    }
    return self->progress_callback(self->progress_user, received, expected);
}

int http_fetch_remote_manifest_data::take_inflated_text(const char* bytes, int length) {
    const char* end = bytes + length;
    while (bytes < end) {
        const char* line_feed =
            static_cast<const char*>(memchr(bytes, '\n', static_cast<size_t>(end - bytes)));
        const char* piece_end = line_feed != nullptr ? line_feed : end;
        size_t room = static_cast<size_t>(line_capacity - 1 - line_length);
        size_t piece = static_cast<size_t>(piece_end - bytes);
        size_t kept = piece < room ? piece : room;
        memcpy(line + line_length, bytes, kept);
        line_length += static_cast<int32_t>(kept);
        line[line_length] = '\0';
        if (line_feed == nullptr) {
            return 1;  // the line goes on in the next piece
        }
        bytes = line_feed + 1;

        if (line_length > 0 && line[line_length - 1] == '\r') {
            line[--line_length] = '\0';
        }
        manifest_entry* entry = nullptr;
        int parsed = parse_manifest_line(line_label, line, &entry);
        line_length = 0;
        line[0] = '\0';
        if (!parsed) {
            free_records();
            return 0;
        }
        if (entry == nullptr) {
            continue;
        }
        if (record_count >= max_records) {
            delete entry;
            free_records();
            debug_log_line(1,
                           "Error in http_fetch_remote_manifest_data::take_inflated_text(), more than %d "
                           "records, giving up.",
                           static_cast<int>(max_records));
            return 0;
        }
        *records_tail = entry;
        records_tail = &entry->next;
        ++record_count;
    }
    return 1;
}

// The text is complete: a last line without its line feed is a line too.
int http_fetch_remote_manifest_data::end_of_text() {
    if (line_length == 0) {
        return 1;
    }
    return take_inflated_text("\n", 1);
}
