// The remote manifest as a server may send it: compressed bytes into the downloader's data callback, or
// inflated text straight into take_inflated_text, in pieces whose size the input chooses. Checks the
// records after every piece: a counted list of entries with names and hashes, nothing kept after a failure.
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/debug_log.h"
#include "updater/remote_manifest_fetch.h"

namespace {

void check(bool condition) {
    if (!condition) {
        abort();
    }
}

void check_records(const http_fetch_remote_manifest_data& fetch) {
    check(fetch.record_count >= 0 && fetch.record_count <= fetch.max_records);
    check(fetch.line_length >= 0 && fetch.line_length < http_fetch_remote_manifest_data::line_capacity);
    check(fetch.line[fetch.line_length] == '\0');
    int32_t count = 0;
    manifest_entry* const* tail = &fetch.records;
    for (const manifest_entry* e = fetch.records; e != nullptr; e = e->next) {
        check(e->name != nullptr && e->name[0] != '\0');
        check(e->hash != nullptr && strlen(e->hash) >= 10);
        tail = &e->next;
        ++count;
    }
    check(count == fetch.record_count);
    check(fetch.records_tail == tail);
}

// The text compressed as one gzip (or zlib) stream, as the operators' tool writes it.
std::string compress(const uint8_t* text, size_t size, bool gzip) {
    z_stream stream{};
    check(deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, gzip ? 15 + 16 : 15, 8,
                       Z_DEFAULT_STRATEGY) == Z_OK);
    std::string out(deflateBound(&stream, size), '\0');
    stream.next_in = const_cast<Bytef*>(text);
    stream.avail_in = static_cast<uInt>(size);
    stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
    stream.avail_out = static_cast<uInt>(out.size());
    check(deflate(&stream, Z_FINISH) == Z_STREAM_END);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    debug_log_level = 0;  // bad lines and streams are expected; keep the run quiet
    return 0;
}

// Input: a mode byte (0 compressed bytes as they are, 1 the text gzip-compressed here, 2 zlib-compressed
// here, 3 the text into take_inflated_text), a piece size byte, then the bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    int mode = data[0] % 4;
    size_t piece = 1 + data[1] % 200;
    data += 2;
    size -= 2;

    http_fetch_remote_manifest_data fetch;
    // Small limits, so that the fuzzer reaches them quickly.
    fetch.max_body_bytes = 1 << 20;
    fetch.max_inflated_bytes = 1 << 20;
    fetch.max_records = 1000;
    check(inflateInit2(&fetch.inflate_stream, 15 + 32) == Z_OK);

    std::string bytes = mode == 1 || mode == 2 ? compress(data, size, mode == 1)
                                                : std::string(reinterpret_cast<const char*>(data), size);
    for (size_t at = 0; at < bytes.size(); at += piece) {
        int length = static_cast<int>(bytes.size() - at < piece ? bytes.size() - at : piece);
        int ok = mode == 3 ? fetch.take_inflated_text(bytes.data() + at, length)
                           : http_fetch_remote_manifest_data::download_data_callback(&fetch, bytes.data() + at,
                                                                                    length);
        check_records(fetch);
        if (!ok) {
            // take_inflated_text frees what it held; after a failed callback fetch_manifest does.
            check(mode != 3 || (fetch.records == nullptr && fetch.record_count == 0));
            break;
        }
    }
    inflateEnd(&fetch.inflate_stream);
    return 0;
}
