#include "http/http_downloader.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "net/socket_primitives.h"
#include "support/debug_log.h"

namespace {

// One buffer serves both directions: the request goes out through it and the response comes in.
constexpr int block_size = 8192;

kest_http_downloader* owner(void* downloader) {
    return static_cast<kest_http_downloader*>(downloader);
}

}  // namespace

kest_http_downloader::kest_http_downloader()
    : use_tls(0),
      tls_context(nullptr),
      port(0),
      address{},
      output_file(nullptr),
      total(-1),
      received(0),
      data_callback(nullptr),
      progress_callback(nullptr),
      user_data(nullptr),
      wait_ms(default_wait_ms),
      stall_window_ms(default_stall_window_ms),
      stall_min_bytes(default_stall_min_bytes),
      time_limit_ms(-1),
      max_body_bytes(-1),
      body_hasher(nullptr),
      resume_from(0),
      resource_size(-1),
      keep_partial_file(0),
      failure(failure_none),
      connect_error(0),
      status(0),
      body_offset(0),
      message_completed(0),
      recent_bytes(0),
      transfer_start_ms(0),
      deadline_ms(-1) {}

int64_t kest_http_downloader::time_limit_for(int64_t expected_bytes, int64_t allowance_ms) {
    int64_t bytes = expected_bytes > 0 ? expected_bytes : 0;
    return allowance_ms + bytes * 1000 / time_limit_floor_bytes_per_second;
}

int kest_http_downloader::set_connection(const char* host, int port_number, int tls) {
    if (host == nullptr) {
        debug_log_line(1, "Error in kest_http_downloader::set_connection(), NULL host name.");
        return 0;
    }
    use_tls = tls;
    port = port_number;
    return resolve_host(host, &address);
}

int kest_http_downloader::download(const char* host, const char* path, const char* destination_name) {
    if (host == nullptr) {
        debug_log_line(1, "Error in kest_http_downloader::download(), NULL host.");
        return 0;
    }
    if (path == nullptr) {
        debug_log_line(1, "Error in kest_http_downloader::download(), NULL path.");
        return 0;
    }
    if (destination_name == nullptr) {
        debug_log_line(1, "Error in kest_http_downloader::download(), NULL destination file name.");
        return 0;
    }
    if (data_callback != nullptr) {
        debug_log_line(
            1,
            "Error in kest_http_downloader::download(), attempt to do file based download after setting "
            "data callback.");
        return 0;
    }
    destination.set(destination_name);
    return download(host, path);
}

int kest_http_downloader::download(const char* host, const char* path) {
    if (destination.empty() && data_callback == nullptr) {
        debug_log_line(
            1,
            "Error in kest_http_downloader::download(), NULL destination file name and NULL download "
            "data callback.");
        return 0;
    }
    if (host == nullptr) {
        debug_log_line(1, "Error in kest_http_downloader::download(), NULL host.");
        return 0;
    }
    failure = failure_none;
    connect_error = 0;
    status = 0;
    body_offset = 0;
    deadline_ms = time_limit_ms >= 0 ? monotonic_ms() + time_limit_ms : -1;
    if (use_tls) {
        socket.enable_ssl();
        socket.ssl_context = tls_context;
        socket.ssl_peer_name = tls_context != nullptr ? host : nullptr;
    } else {
        socket.disable_ssl();
    }
    // An address that was never resolved is 0.0.0.0, which reaches this machine: never connect there.
    bool resolved = address.sin_family == AF_INET && address.sin_addr.s_addr != htonl(INADDR_ANY);
    if (!resolved || socket.connect_with_timeout(address, port, next_wait_ms()) <= 0) {
        debug_log_line(1, "Error in kest_http_downloader::download(), connect failed.");
        connect_error = resolved ? socket.write_error : 0;
        return fail(resolved ? failure_connect : failure_unresolved);
    }

    kest_http_data_processor_oline processor;
    processor.user_data = this;
    processor.close_connection = callback_close_connection;
    processor.message_received = callback_message_received;
    processor.message_complete = callback_message_complete;
    processor.content_data_received = callback_content_data_received;
    processor.content_body_get_tx_data = callback_content_body_get_tx_data;
    processor.request_close = 1;
    processor.range_start = data_callback == nullptr && resume_from > 0 ? resume_from : 0;
    if (!processor.start_http_GET(host, path)) {
        debug_log_line(1, "Error in kest_http_downloader::download(), unable to start HTTP GET?");
        return fail(failure_request);
    }

    message_completed = 0;
    transfer_start_ms = monotonic_ms();
    recent_progress.clear();
    recent_bytes = 0;
    char buffer[block_size];
    int result =
        send_request(processor, buffer, block_size) && receive_response(processor, buffer, block_size);
    if (!close_output_file("download")) {
        result = fail(failure_local);
    }
    if (!result && failure == failure_none) {
        failure = failure_broken;
    }
    return result;
}

int kest_http_downloader::fail(failure_kind kind) {
    if (failure == failure_none) {
        failure = kind;
    }
    return 0;
}

int kest_http_downloader::send_request(kest_http_data_processor_oline& processor, char* buffer, int size) {
    while (socket.update_connect_state() == kest_tcp_socket::state_connected) {
        int n = processor.get_tx_data(buffer, size);
        if (n <= 0) {
            return 1;
        }
        for (int sent = 0; sent < n;) {
            int w = socket.write_with_timeout(buffer + sent, n - sent, next_wait_ms());
            if (w < 0) {
                debug_log_line(1, "Error in kest_http_downloader::download(), blocking write failed.");
                return fail(failure_request);
            }
            sent += w;
            const char* reason = reason_to_give_up();
            if (reason != nullptr) {
                return give_up(reason, failure_timeout);
            }
        }
    }
    return 1;
}

int kest_http_downloader::receive_response(kest_http_data_processor_oline& processor, char* buffer,
                                           int size) {
    for (;;) {
        if (socket.update_connect_state() == kest_tcp_socket::state_unconnected) {
            // callback_close_connection ended the exchange after a complete response.
            return 1;
        }
        int r = socket.read_with_timeout(buffer, size, next_wait_ms());
        if (r == 0) {
            const char* reason = reason_to_give_up();
            if (reason != nullptr) {
                return give_up(reason, failure_timeout);
            }
            continue;
        }
        if (r < 0 && socket.read_error == 0) {
            if (response_is_complete(processor)) {
                return 1;
            }
            return give_up("connection closed before the response was complete.", failure_broken);
        }
        if (r < 0) {
            bool all_received = received == total;
            if (data_callback != nullptr) {
                debug_log_line(
                    1, all_received
                           ? "Error in kest_http_downloader::download(), blocking read failed but all "
                             "data received."
                           : "Error in kest_http_downloader::download(), blocking read failed, not "
                             "all bytes read.");
                return fail(failure_broken);
            }
            if (all_received) {
                debug_log_line(
                    1,
                    "Error in kest_http_downloader::download(), blocking read failed but file seems ok.  "
                    "Keeping file.");
                return fail(failure_broken);
            }
            if (keep_partial_file) {
                debug_log_line(
                    1,
                    "Error in kest_http_downloader::download(), blocking read failed, keeping the partial "
                    "file.");
                close_output_file("download");
                return fail(failure_broken);
            }
            debug_log_line(
                1,
                "Error in kest_http_downloader::download(), blocking read failed, unknown file state.  "
                "Deleting file.");
            close_output_file("download");
            unlink(destination.c_str());
            return fail(failure_broken);
        }
        int f = processor.feed_data(buffer, r);
        if (f < 0) {
            debug_log_line(1, "Error in kest_http_downloader::download(), http data fetch failed.");
            // A 206 or 416 whose header block could not be read (a bad Content-Range, say) does not
            // continue the file either.
            bool range_answer = processor.status == 206 || processor.status == 416;
            if (data_callback == nullptr && resume_from > 0 && status == 0 && range_answer) {
                fail(failure_range);
            }
            return fail(failure_broken);
        }
        if (f == 0) {
            return 1;
        }
        const char* reason = reason_to_give_up();
        if (reason != nullptr) {
            return give_up(reason, failure_timeout);
        }
    }
}

// A clean end of the stream finishes a download only after a whole response: one whose end the processor
// saw, or a 200 response whose body has no length and no chunked coding, so that it ends with the
// connection.
int kest_http_downloader::response_is_complete(const kest_http_data_processor_oline& processor) const {
    if (message_completed) {
        return 1;
    }
    return processor.in_body && !processor.chunked && processor.content_length < 0 && processor.status == 200;
}

// Logs why the transfer was abandoned; in file mode the partial file is deleted unless it is to be kept.
// Returns 0.
int kest_http_downloader::give_up(const char* reason, failure_kind kind) {
    if (data_callback != nullptr) {
        debug_log_line(1, "Error in kest_http_downloader::download(), %s", reason);
        return fail(kind);
    }
    if (keep_partial_file) {
        debug_log_line(1, "Error in kest_http_downloader::download(), %s  Keeping the partial file.", reason);
        close_output_file("download");
        return fail(kind);
    }
    debug_log_line(1, "Error in kest_http_downloader::download(), %s  Deleting file.", reason);
    close_output_file("download");
    unlink(destination.c_str());
    return fail(kind);
}

int64_t kest_http_downloader::sync_output_file() {
    if (output_file == nullptr || fflush(output_file) != 0 || fdatasync(fileno(output_file)) != 0) {
        return -1;
    }
    return body_offset + received;
}

// Closes the output file if it is open: 1, or 0 when the last buffered bytes could not be written.
int kest_http_downloader::close_output_file(const char* operation) {
    if (output_file == nullptr) {
        return 1;
    }
    int closed = fclose(output_file) == 0;
    output_file = nullptr;
    if (!closed) {
        debug_log_line(1,
                       "Warning in kest_http_downloader::%s(), unable to write all data to disk.  Bailing.",
                       operation);
    }
    return closed;
}

void kest_http_downloader::note_progress(int bytes) {
    if (bytes <= 0) {
        return;
    }
    recent_progress.push_back({monotonic_ms(), bytes});
    recent_bytes += bytes;
    // Older marks are not needed while the newer ones alone make stall_min_bytes.
    while (recent_bytes - recent_progress.front().bytes >= stall_min_bytes) {
        recent_bytes -= recent_progress.front().bytes;
        recent_progress.pop_front();
    }
}

// 1 once stall_window_ms have passed in which fewer than stall_min_bytes moved: since the start when
// fewer moved in all, otherwise since the mark from which the latest stall_min_bytes were moved.
int kest_http_downloader::stalled() {
    int64_t since = recent_bytes < stall_min_bytes ? transfer_start_ms : recent_progress.front().at_ms;
    return monotonic_ms() - since >= stall_window_ms;
}

const char* kest_http_downloader::reason_to_give_up() {
    if (deadline_ms >= 0 && monotonic_ms() >= deadline_ms) {
        return "transfer took too long, giving up.";
    }
    if (stalled()) {
        return "transfer stalled, giving up.";
    }
    return nullptr;
}

int kest_http_downloader::next_wait_ms() const {
    if (deadline_ms < 0) {
        return wait_ms;
    }
    int64_t left = deadline_ms - monotonic_ms();
    if (left <= 0) {
        return 0;
    }
    return wait_ms >= 0 && wait_ms < left ? wait_ms : static_cast<int>(left < INT32_MAX ? left : INT32_MAX);
}

int kest_http_downloader::callback_message_received(kest_http_data_processor_oline* processor,
                                                    void* downloader) {
    kest_http_downloader* d = owner(downloader);
    if (d->destination.empty()) {
        if (d->data_callback == nullptr) {
            debug_log_line(
                1,
                "Error in kest_http_downloader::callback_message_received(), NULL destination file name "
                "and NULL download data callback.");
            return 0;
        }
        d->received = 0;
        d->total = processor->content_length;
    } else {
        d->received = 0;
        d->total = processor->content_length;
        if (d->data_callback == nullptr) {
            d->status = processor->status;
            return d->open_output_file(*processor);
        }
    }
    d->status = processor->status;
    if (processor->status == 200) {
        return 1;
    }
    debug_log_line(
        1,
        "Warning in kest_http_downloader::callback_message_received(), download failed in callback "
        "mode.");
    return d->fail(failure_status);
}

int kest_http_downloader::open_output_file(const kest_http_data_processor_oline& processor) {
    bool asked_for_rest = resume_from > 0;
    bool continues = asked_for_rest && processor.status == 206 && processor.has_content_range &&
                     processor.content_range_first == resume_from &&
                     processor.content_range_last == resource_size - 1 &&
                     processor.content_range_length == resource_size &&
                     (processor.chunked || processor.content_length < 0 ||
                      processor.content_length == resource_size - resume_from);
    if (asked_for_rest && !continues && (processor.status == 206 || processor.status == 416)) {
        debug_log_line(1,
                       "Warning in kest_http_downloader::callback_message_received(), the answer (%d) does "
                       "not continue file '%s' from byte %lld.  Aborting download.",
                       processor.status, destination.c_str(), static_cast<long long>(resume_from));
        return fail(failure_range);
    }
    if (processor.status != 200 && !continues) {
        debug_log_line(
            1,
            "Warning in kest_http_downloader::callback_message_received(), download failed for file '%s'.  "
            "Aborting download.",
            destination.c_str());
        return fail(failure_status);
    }
    if (continues) {
        output_file = fopen(destination.c_str(), "r+b");
        struct stat held;
        if (output_file != nullptr &&
            (fstat(fileno(output_file), &held) != 0 || held.st_size != resume_from ||
             fseeko(output_file, 0, SEEK_END) != 0)) {
            debug_log_line(1,
                           "Warning in kest_http_downloader::callback_message_received(), file '%s' does not "
                           "hold the %lld bytes to continue from.  Aborting download.",
                           destination.c_str(), static_cast<long long>(resume_from));
            fclose(output_file);
            output_file = nullptr;
            return fail(failure_range);
        }
        body_offset = resume_from;
    } else {
        if (asked_for_rest) {
            debug_log_line(
                1,
                "Warning in kest_http_downloader::callback_message_received(), the server sent all "
                "of file '%s' instead of the rest from byte %lld.  Starting again.",
                destination.c_str(), static_cast<long long>(resume_from));
            if (body_hasher != nullptr) {
                body_hasher->restart();
            }
        }
        output_file = fopen(destination.c_str(), "wb");
    }
    if (output_file != nullptr) {
        // Pieces arrive in blocks of up to 8192 bytes, seldom aligned with stdio's own 4096-byte
        // buffer, which would then write most of them in two system calls.
        if (!output_buffer) {
            output_buffer.reset(new char[output_buffer_size]);
        }
        setvbuf(output_file, output_buffer.get(), _IOFBF, output_buffer_size);
    }
    if (output_file == nullptr) {
        debug_log_line(
            1,
            "Warning in kest_http_downloader::callback_message_received(), unable to open output file '%s'.  "
            "Aborting download.",
            destination.c_str());
        return fail(failure_local);
    }
    return 1;
}

// Tells the progress callback how much of the file is there: the kept bytes count too.
void kest_http_downloader::report_progress() {
    if (progress_callback == nullptr) {
        return;
    }
    int64_t done = body_offset + received;
    int64_t whole = total >= 0 ? body_offset + total : -1;
    progress_callback(user_data, static_cast<int>(done < INT32_MAX ? done : INT32_MAX),
                      static_cast<int>(whole < INT32_MAX ? whole : INT32_MAX));
}

int kest_http_downloader::callback_content_data_received(kest_http_data_processor_oline*, void* downloader,
                                                         const char* bytes, int length) {
    kest_http_downloader* d = owner(downloader);
    if (length <= 0) {
        return 0;
    }
    // Only body bytes keep a transfer from counting as stalled.
    d->note_progress(length);
    if (d->received == 0) {
        d->report_progress();
    }
    if (d->max_body_bytes >= 0 &&
        d->body_offset + d->received + static_cast<int64_t>(length) > d->max_body_bytes) {
        debug_log_line(
            1,
            "Warning in kest_http_downloader::callback_content_data_received(), body longer than %lld "
            "bytes.  Bailing.",
            static_cast<long long>(d->max_body_bytes - d->body_offset));
        return d->fail(failure_too_long);
    }
    if (d->body_hasher != nullptr) {
        d->body_hasher->update(bytes, static_cast<size_t>(length));
    }
    int r = 1;
    if (d->data_callback != nullptr) {
        r = d->data_callback(d->user_data, bytes, length);
        if (r == 0) {
            d->fail(failure_refused);
        }
    } else if (d->output_file == nullptr) {
        debug_log_line(
            1,
            "Warning in kest_http_downloader::callback_content_data_received(), attempt to download data "
            "via callback, only no callback set.");
        return d->fail(failure_local);
    } else if (fwrite(bytes, 1, static_cast<size_t>(length), d->output_file) != static_cast<size_t>(length)) {
        debug_log_line(
            1,
            "Warning in kest_http_downloader::callback_content_data_received(), unable to write all data "
            "to disk.  Bailing.");
        return d->fail(failure_local);
    }
    // A body without length may outgrow the count; it stops at the largest value instead of wrapping.
    d->received = length > INT32_MAX - d->received ? INT32_MAX : d->received + length;
    d->report_progress();
    return r;
}

int kest_http_downloader::callback_message_complete(kest_http_data_processor_oline*, void* downloader) {
    kest_http_downloader* d = owner(downloader);
    if (!d->close_output_file("callback_message_complete")) {
        return d->fail(failure_local);
    }
    d->message_completed = 1;
    return 1;
}

void kest_http_downloader::callback_close_connection(kest_http_data_processor_oline*, void* downloader) {
    owner(downloader)->socket.close();
}

int kest_http_downloader::callback_content_body_get_tx_data(kest_http_data_processor_oline*, void*, char*,
                                                            int) {
    debug_log_line(
        1,
        "Error in kest_http_downloader::callback_content_body_get_tx_data(), this callback should never "
        "be invoked.");
    return -1;
}
