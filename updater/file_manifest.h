// The list of files the updater manages (hash text, size, name relative to the executables directory),
// kept in file order and indexed by name, and its text form:
//
//   manifest := line*                     lines end in '\n'
//   line     := blank* ( '#' any* | hash sep+ size sep+ name )?
//   hash     := 10 x [0-9a-f], then any bytes up to the next separator
//   size     := a word parse_int() accepts
//   name     := every byte from the third word to the end of the line
//   sep      := ' ' | '\t'            (a carriage return is an ordinary byte)
#pragma once

#include <cstdint>

#include "support/pointer_hash_table.h"

struct manifest_entry {
    // Copies both texts (strdup); a null text stays null.
    manifest_entry(const char* name, const char* hash, int32_t size);
    ~manifest_entry();  // frees both texts
    manifest_entry(const manifest_entry&) = delete;
    manifest_entry& operator=(const manifest_entry&) = delete;

    char* name;
    char* hash;
    int32_t size;
    manifest_entry* next = nullptr;
};

// Parses one line (without its line feed). 1 with *out the new entry (owned by the caller), or with *out
// null for a comment or blank line; 0 on a syntax error, which is logged with `label` naming the source.
int parse_manifest_line(const char* label, const char* line, manifest_entry** out);

class tal_file_manifest {
  public:
    tal_file_manifest();
    ~tal_file_manifest();  // frees every entry
    tal_file_manifest(const tal_file_manifest&) = delete;
    tal_file_manifest& operator=(const tal_file_manifest&) = delete;

    // Appends the file's entries in line order. The number read, or -1 when the file cannot be opened or
    // a line is bad (a syntax error, or longer than the reader takes): the entries before it are kept.
    int load_file(const char* path);

    // Replaces the file with the list in its order, atomically: 1 when the whole file was written; 0 on
    // any failure, and the old file is then left as it was.
    int save_file(const char* path);

    manifest_entry* find_entry(const char* name) const;

    // Afterwards the manifest holds source's name with source's hash and size: an existing entry keeps its
    // place, a new one becomes the head of the list.
    void add_or_update(const manifest_entry& source);

    // Drops the entries whose file does not exist in `directory` (null or empty: the working directory).
    // The number of entries kept.
    int remove_missing_files(const char* directory);

    manifest_entry* head = nullptr;
    VoidPointerHashTable index;
};
