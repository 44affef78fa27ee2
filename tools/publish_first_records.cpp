#include "tools/publish_first_records.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "tools/publish_descriptor.h"
#include "tools/publish_report.h"
#include "updater/manifest_name.h"

namespace {

// The ELF header as far as the kernel checks it before it looks at the architecture: the largest
// (64-bit) header is 64 bytes.
constexpr size_t head_size = 64;
constexpr unsigned char elf_class_32 = 1, elf_class_64 = 2;
constexpr unsigned char elf_little_endian = 1, elf_big_endian = 2;
constexpr unsigned elf_type_executable = 2, elf_type_shared_object = 3;

const char* elf_problem(const std::string& head) {
    auto byte = [&](size_t at) { return static_cast<unsigned char>(head[at]); };
    unsigned char elf_class = head.size() > 4 ? byte(4) : 0;
    if (elf_class != elf_class_32 && elf_class != elf_class_64) {
        return "an ELF file of no known class";
    }
    if (head.size() < (elf_class == elf_class_32 ? 52u : 64u)) {
        return "an ELF file cut short";
    }
    unsigned type = 0;
    if (byte(5) == elf_little_endian) {
        type = byte(16) | byte(17) << 8;
    } else if (byte(5) == elf_big_endian) {
        type = byte(16) << 8 | byte(17);
    }
    if (type != elf_type_executable && type != elf_type_shared_object) {
        return "an ELF file that is no program (an object file or a core dump, say)";
    }
    return nullptr;
}

std::string read_head(const std::string& path, int* error) {
    owned_descriptor in(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (in.fd < 0) {
        *error = errno;
        return "";
    }
    char buffer[head_size];
    size_t have = 0;
    while (have < sizeof buffer) {
        ssize_t got = read(in.fd, buffer + have, sizeof buffer - have);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            *error = errno;
            return "";
        }
        if (got == 0) {
            break;
        }
        have += static_cast<size_t>(got);
    }
    *error = 0;
    return std::string(buffer, have);
}

// Why the file starting with `head` (its first bytes) is no image execv() starts, or null when it is one.
const char* executable_image_problem(const std::string& head) {
    if (head.compare(0, 4, "\177ELF") == 0) {
        return elf_problem(head);
    }
    if (head.compare(0, 2, "#!") == 0) {
        size_t interpreter = head.find_first_not_of(" \t", 2);
        if (interpreter == std::string::npos || head[interpreter] == '\n' || head[interpreter] == '\0') {
            return "a '#!' line without an interpreter";
        }
        return nullptr;
    }
    return "neither an ELF program nor a '#!' script";
}

}  // namespace

int report_unbootable_first_records(const char* source, const std::vector<source_file>& files) {
    int reported = 0;
    for (bool beta : {false, true}) {
        for (const source_file& file : files) {
            if ((is_beta_name(file.name.c_str()) != 0) != beta) {
                continue;
            }
            std::string shown = printable_name(file.name);
            int error = 0;
            std::string head = read_head(std::string(source) + "/" + file.name, &error);
            if (error != 0) {
                publish_report("cannot read '%s/%s': %s", source, shown.c_str(), strerror(error));
                ++reported;
            } else if (const char* problem = executable_image_problem(head)) {
                publish_report(
                    "cannot publish '%s': it is the first %s record, which a new installation fetches and "
                    "starts, but it is %s",
                    shown.c_str(), beta ? "beta" : "plain", problem);
                ++reported;
            }
            break;
        }
    }
    return reported;
}
