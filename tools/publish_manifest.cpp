#include "tools/publish_manifest.h"

#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "support/atomic_file.h"
#include "support/bounded_string.h"
#include "tools/publish_report.h"
#include "updater/file_manifest.h"

namespace {

const char manifest_comment[] =
    "# Client files published by varnholt-publish: SHA-256, size, name; greatest name first\n";

// zlib's window bits for a gzip wrapper rather than a zlib one.
constexpr int gzip_window_bits = 15 + 16;
constexpr int memory_level = 8;

bool gives_back(const char* line, const published_record& record) {
    manifest_entry* entry = nullptr;
    bool same = parse_manifest_line("published manifest", line, &entry) == 1 && entry != nullptr &&
                record.name == entry->name && record.hash == entry->hash && record.size == entry->size;
    delete entry;
    return same;
}

}  // namespace

int manifest_text(const std::vector<published_record>& records, std::string& text) {
    text = manifest_comment;
    for (const published_record& record : records) {
        bounded_string line;
        line.append_printf("%s %10d %s", record.hash.c_str(), record.size, record.name.c_str());
        if (line.is_cut() || !gives_back(line.c_str(), record)) {
            publish_report("cannot publish '%s': its manifest line does not read back as written",
                           printable_name(record.name).c_str());
            return 0;
        }
        text += line.c_str();
        text += '\n';
    }
    return 1;
}

int gzip_text(const std::string& text, std::string& compressed) {
    z_stream stream;
    memset(&stream, 0, sizeof stream);
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, gzip_window_bits, memory_level,
                     Z_DEFAULT_STRATEGY) != Z_OK) {
        return 0;
    }
    compressed.resize(deflateBound(&stream, static_cast<uLong>(text.size())));
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(&compressed[0]);
    stream.avail_out = static_cast<uInt>(compressed.size());
    // The bound holds all of the output, so one call finishes the stream.
    int result = deflate(&stream, Z_FINISH);
    compressed.resize(stream.total_out);
    deflateEnd(&stream);
    return result == Z_STREAM_END ? 1 : 0;
}

int write_remote_manifest(const std::string& path, const std::vector<published_record>& records,
                          std::string& compressed) {
    std::string text;
    if (!manifest_text(records, text)) {
        return 0;
    }
    if (!gzip_text(text, compressed)) {
        publish_report("cannot compress the manifest");
        return 0;
    }
    kest_atomic_file out(path.c_str());
    if (out.stream() == nullptr) {
        publish_report("cannot write '%s': %s", path.c_str(), strerror(errno));
        return 0;
    }
    fwrite(compressed.data(), 1, compressed.size(), out.stream());
    if (!out.commit()) {
        publish_report("cannot write '%s': %s", path.c_str(), strerror(errno));
        return 0;
    }
    return 1;
}
