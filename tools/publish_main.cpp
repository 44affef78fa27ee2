// varnholt-publish SOURCE_DIR OUTPUT_DIR: see usage_text.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "tools/publish.h"

namespace {

const char usage_text[] =
    "Usage: varnholt-publish SOURCE_DIR OUTPUT_DIR\n"
    "\n"
    "Publishes the client files in SOURCE_DIR for the launcher's update server: copies them to\n"
    "OUTPUT_DIR/downloads/tessar_v3/ and writes manifest_linux32_executables.txt.gz there, a gzip\n"
    "manifest with the SHA-256, size and name of each file, greatest name first. Serve OUTPUT_DIR as\n"
    "the document root on port 80.\n"
    "\n"
    "Files in subdirectories are published under their relative path (\"data/x.pak\"). Only regular\n"
    "files are published, hidden ones included; symbolic links are not followed and, like special\n"
    "files, are skipped with a message. Each file is copied to a temporary and renamed into place, the\n"
    "manifest last, so clients never see half a file or half a manifest. Files of an earlier\n"
    "publication that are no longer in SOURCE_DIR stay in OUTPUT_DIR, unlisted.\n"
    "\n"
    "A new installation fetches and starts only the first record without \"beta\" in its name and, in\n"
    "beta test mode, the first with it: each must be a program (an ELF executable or a '#!' script),\n"
    "or nothing is published.\n"
    "\n"
    "Exit status: 0 published, 1 not published (see the messages), 2 usage error.\n"
    "Options: -h, --help  show this text.\n";

constexpr int exit_usage = 2;

int usage_error(const char* problem) {
    if (problem != nullptr) {
        fprintf(stderr, "varnholt-publish: %s\n", problem);
    }
    fputs(usage_text, stderr);
    return exit_usage;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<const char*> operands;
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (options_done || arg[0] != '-' || arg[1] == '\0') {
            operands.push_back(arg);
        } else if (strcmp(arg, "--") == 0) {
            options_done = true;
        } else if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0) {
            fputs(usage_text, stdout);
            return 0;
        } else {
            fprintf(stderr, "varnholt-publish: unknown option '%s'\n", arg);
            return usage_error(nullptr);
        }
    }
    if (operands.size() != 2) {
        return usage_error(operands.empty() ? nullptr
                                            : "needs exactly two arguments, SOURCE_DIR and OUTPUT_DIR");
    }
    // The web server reads what is published as another user, whatever the operator's own umask.
    umask(022);
    return publish_client_files(operands[0], operands[1]);
}
