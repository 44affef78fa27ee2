// Feeds arbitrary lines to the manifest line parser and what it accepts to the name check and the index.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "support/debug_log.h"
#include "updater/file_manifest.h"
#include "updater/manifest_name.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    debug_log_level = 0;  // syntax errors are expected; keep the run quiet
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string line(reinterpret_cast<const char*>(data), size);  // parsed up to its first NUL
    manifest_entry* entry = nullptr;
    int result = parse_manifest_line("fuzz", line.c_str(), &entry);
    if (result == 0 && entry != nullptr) {
        __builtin_trap();  // a syntax error never yields an entry
    }
    if (entry == nullptr) {
        return 0;
    }
    if (strlen(entry->hash) < 10 || entry->name[0] == '\0' || entry->name[0] == ' ' ||
        entry->name[0] == '\t') {
        __builtin_trap();
    }
    bounded_string printable;
    append_printable_manifest_name(printable, entry->name);
    is_safe_manifest_name(entry->name, entry->hash, entry->size);

    tal_file_manifest manifest;
    manifest.add_or_update(*entry);
    manifest.add_or_update(*entry);
    manifest_entry* found = manifest.find_entry(entry->name);
    if (found == nullptr || found == entry || manifest.head != found || found->next != nullptr) {
        __builtin_trap();
    }
    delete entry;
    return 0;
}
