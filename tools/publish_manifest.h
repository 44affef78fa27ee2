// The remote manifest as the launcher fetches it: a gzip stream of manifest lines, one comment line and
// then "%s %10d %s" (hash, size, name) per published file, in the order the records are given.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct published_record {
    std::string name;
    std::string hash;
    int32_t size;
};

// The uncompressed text. Every record line is parsed back with the launcher's own line parser: 1 with
// `text` filled when each gives its record again, 0 after reporting the first that does not.
int manifest_text(const std::vector<published_record>& records, std::string& text);

// `text` as one gzip stream (no file name, time 0, so equal texts give equal bytes). 1 on success.
int gzip_text(const std::string& text, std::string& compressed);

// Writes the compressed manifest of `records` to `path` through a temporary that is renamed over it only
// once it is whole and on disk, and keeps its bytes in `compressed`. 1 on success; 0 after reporting why,
// with the old file left as it was.
int write_remote_manifest(const std::string& path, const std::vector<published_record>& records,
                          std::string& compressed);
