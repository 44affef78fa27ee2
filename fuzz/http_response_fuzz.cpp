// Feeds arbitrary bytes to a client processor that has sent its GET, twice: once in pieces of one size,
// once cut at a point the input chooses with pieces of another size on each side. Checks what the
// callbacks may rely on, and that where the bytes were cut changes nothing the owner sees.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "http/http_data_processor.h"
#include "support/debug_log.h"

namespace {

struct observed {
    int32_t delivered_in_message = 0;
    std::string body;  // every body byte delivered, in order
    std::string events;
    int result = 1;
    bool operator==(const observed& o) const { return body == o.body && events == o.events && result == o.result; }
};

void check(bool condition) {
    if (!condition) {
        abort();
    }
}

int on_received(kest_http_data_processor_oline* p, void* user) {
    auto* o = static_cast<observed*>(user);
    o->delivered_in_message = 0;
    check(p->status > 0);
    check(strlen(p->reason) < sizeof p->reason && strlen(p->version_text) < sizeof p->version_text);
    check(strlen(p->content_type) < sizeof p->content_type);
    check(strlen(p->transfer_encoding) < sizeof p->transfer_encoding);
    // A range the owner may act on is always within its own length.
    if (p->has_content_range) {
        check(p->content_range_first >= -1 && p->content_range_first <= p->content_range_last);
        check(p->content_range_first >= 0 || p->content_range_length >= 0);
        check(p->content_range_length < 0 || p->content_range_last < p->content_range_length);
    } else {
        check(p->content_range_first == -1 && p->content_range_last == -1 && p->content_range_length == -1);
    }
    o->events += "received " + std::to_string(p->status) + " " + std::to_string(p->content_length) + " " +
                 std::to_string(p->chunked) + " range " + std::to_string(p->content_range_first) + "-" +
                 std::to_string(p->content_range_last) + "/" + std::to_string(p->content_range_length) + ";";
    return 1;
}

int on_data(kest_http_data_processor_oline* p, void* user, const char* data, int length) {
    auto* o = static_cast<observed*>(user);
    check(length > 0 && data != nullptr);
    o->delivered_in_message += length;
    if (!p->chunked && p->content_length >= 0) {
        check(o->delivered_in_message <= p->content_length);
    }
    o->body.append(data, static_cast<size_t>(length));
    return 1;
}

int on_complete(kest_http_data_processor_oline*, void* user) {
    static_cast<observed*>(user)->events += "complete;";
    return 1;
}

void on_close(kest_http_data_processor_oline*, void* user) {
    static_cast<observed*>(user)->events += "close;";
}

// Feeds bytes[0, size) in pieces of at most `piece` bytes; the last result of feed_data.
int feed(kest_http_data_processor_oline& p, const char* bytes, size_t size, size_t piece) {
    while (size > 0) {
        int n = static_cast<int>(size < piece ? size : piece);
        int r = p.feed_data(bytes, n);
        check(r >= -1 && r <= 1);
        if (r < 0) {
            check(p.feed_data(bytes, n) == -1);  // a failed processor stays failed
            return r;
        }
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return 1;
}

observed run(bool request_close, const char* bytes, size_t size, size_t split, size_t first_piece,
             size_t second_piece) {
    kest_http_data_processor_oline p;
    observed o;
    p.user_data = &o;
    p.message_received = on_received;
    p.content_data_received = on_data;
    p.message_complete = on_complete;
    p.close_connection = on_close;
    p.request_close = request_close;
    p.start_http_GET("fuzz", "/");
    char sink[8192];
    while (p.get_tx_data(sink, sizeof sink) > 0) {
    }
    o.result = feed(p, bytes, split, first_piece);
    if (o.result > 0) {
        o.result = feed(p, bytes + split, size - split, second_piece);
    }
    check(p.line.len <= bounded_string::capacity - 1);
    return o;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    debug_log_level = 0;  // bad responses are expected; keep the run quiet
    return 0;
}

// Input: a flags byte (bit 0: the request asked to close), three piece sizes, two bytes of cut point,
// then the response bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 6) {
        return 0;
    }
    bool request_close = data[0] & 1;
    size_t whole_piece = 1 + data[1] % 128;
    size_t first_piece = 1 + data[2] % 64;
    size_t second_piece = 1 + data[3] % 64;
    size_t split = static_cast<size_t>(data[4]) << 8 | data[5];
    const char* bytes = reinterpret_cast<const char*>(data + 6);
    size -= 6;
    split = size > 0 ? split % (size + 1) : 0;

    observed whole = run(request_close, bytes, size, size, whole_piece, 1);
    observed cut = run(request_close, bytes, size, split, first_piece, second_piece);
    check(whole == cut);
    return 0;
}
