#include "tools/publish_names.h"

#include <cstdint>
#include <cstring>
#include <string>

#include "support/sha256_hasher.h"
#include "tools/publish_report.h"
#include "updater/manifest_name.h"
#include "updater/update_run.h"

namespace {

// Why the launcher could not fetch the file under this name, or null. Its request path carries the name
// with only spaces, control and non-ASCII bytes escaped, so the server reads '%' as an escape and '?'
// and '#' as the end of the path; and it takes '\' for a directory separator when it makes directories.
const char* request_problem(const std::string& name) {
    if (name == update_remote_manifest_list) {
        return "it is the name of the manifest itself";
    }
    if (name.find_first_of("%?#") != std::string::npos) {
        return "the launcher would request it unescaped ('%', '?' and '#' change what the server reads)";
    }
    if (name.find('\\') != std::string::npos) {
        return "the launcher takes its '\\' for a directory separator";
    }
    return nullptr;
}

}  // namespace

int report_unpublishable_files(const std::vector<source_file>& files) {
    // Every hash is SHA-256 in hexadecimal, so a stand-in of that length gives the real line length.
    const std::string stand_in_hash(sha256_hex_length, '0');
    int refused = 0;
    for (const source_file& file : files) {
        std::string shown = printable_name(file.name);
        if (file.size > INT32_MAX) {
            publish_report("cannot publish '%s': it has %lld bytes, more than the %d a manifest can give",
                           shown.c_str(), static_cast<long long>(file.size), INT32_MAX);
            ++refused;
            continue;
        }
        manifest_name_verdict verdict =
            check_manifest_name(file.name.c_str(), stand_in_hash.c_str(), static_cast<int32_t>(file.size));
        const char* problem =
            verdict != manifest_name_safe ? manifest_name_verdict_text(verdict) : request_problem(file.name);
        if (problem != nullptr) {
            publish_report("cannot publish '%s': %s", shown.c_str(), problem);
            ++refused;
        }
    }
    return refused;
}
