// launcher.cfg as a damaged disk or an edit by hand may leave it, read the way the launcher reads it at
// start-up: the declaration line, then the elements. The version text kept must be printable and bounded.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/launcher_config.h"
#include "support/debug_log.h"

namespace {

void check(bool condition) {
    if (!condition) {
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    debug_log_level = 0;  // warnings are expected; keep the run quiet
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;  // fmemopen refuses an empty buffer
    }
    FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    check(file != nullptr);
    free(stored_launcher_version);
    stored_launcher_version = nullptr;
    read_system_config(file);
    fclose(file);
    if (stored_launcher_version != nullptr) {
        size_t length = strlen(stored_launcher_version);
        check(length < 1000);
        for (size_t i = 0; i < length; ++i) {
            unsigned char c = static_cast<unsigned char>(stored_launcher_version[i]);
            check(c >= 0x20 && c <= 0x7e);
        }
    }
    return 0;
}
