// Feeds arbitrary bytes to a client processor that has sent its GET, in pieces whose sizes the first
// input byte chooses, and checks what the callbacks may rely on.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "http/http_data_processor.h"
#include "support/debug_log.h"

namespace {

struct observed {
    int32_t delivered = 0;
    int messages = 0;
};

void check(bool condition) {
    if (!condition) {
        abort();
    }
}

int on_received(kest_http_data_processor_oline* p, void* user) {
    static_cast<observed*>(user)->delivered = 0;
    check(p->status > 0);
    check(strlen(p->reason) < sizeof p->reason && strlen(p->version_text) < sizeof p->version_text);
    check(strlen(p->content_type) < sizeof p->content_type);
    check(strlen(p->transfer_encoding) < sizeof p->transfer_encoding);
    return 1;
}

int on_data(kest_http_data_processor_oline* p, void* user, const char* data, int length) {
    auto* o = static_cast<observed*>(user);
    check(length > 0 && data != nullptr);
    volatile char first = data[0], last = data[length - 1];
    (void)first;
    (void)last;
    o->delivered += length;
    if (!p->chunked && p->content_length >= 0) {
        check(o->delivered <= p->content_length);
    }
    return 1;
}

int on_complete(kest_http_data_processor_oline*, void* user) {
    ++static_cast<observed*>(user)->messages;
    return 1;
}

void on_close(kest_http_data_processor_oline*, void*) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    debug_log_level = 0;
    kest_http_data_processor_oline p;
    observed o;
    p.user_data = &o;
    p.message_received = on_received;
    p.content_data_received = on_data;
    p.message_complete = on_complete;
    p.close_connection = on_close;
    p.request_close = data[0] & 1;
    p.start_http_GET("fuzz", "/");
    char sink[8192];
    while (p.get_tx_data(sink, sizeof sink) > 0) {
    }

    size_t piece = 1 + (data[1] % 64);
    const char* bytes = reinterpret_cast<const char*>(data + 2);
    size_t left = size - 2;
    while (left > 0) {
        int n = static_cast<int>(left < piece ? left : piece);
        int r = p.feed_data(bytes, n);
        check(r >= -1 && r <= 1);
        if (r < 0) {
            check(p.feed_data(bytes, n) == -1);
            break;
        }
        bytes += n;
        left -= static_cast<size_t>(n);
    }
    check(p.line.len <= bounded_string::capacity - 1);
    return 0;
}
