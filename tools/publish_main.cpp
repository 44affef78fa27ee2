// varnholt-publish [--key KEYFILE [--expires DAYS]] SOURCE_DIR OUTPUT_DIR, --keygen KEYFILE or
// --public-key KEYFILE: see usage_text.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/publish.h"
#include "tools/publish_signing.h"

namespace {

const char usage_text[] =
    "Usage: varnholt-publish [--key KEYFILE [--expires DAYS]] SOURCE_DIR OUTPUT_DIR\n"
    "       varnholt-publish --keygen KEYFILE\n"
    "       varnholt-publish --public-key KEYFILE\n"
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
    "Signing, for launchers built with -DVARNHOLT_UPDATE_KEYS=...:\n"
    "  --keygen KEYFILE      write a new Ed25519 private key to KEYFILE (mode 0600, never over an\n"
    "                        existing file) and print its public key for VARNHOLT_UPDATE_KEYS\n"
    "  --public-key KEYFILE  print the public key of KEYFILE again\n"
    "  --key KEYFILE         also write manifest_linux32_executables.txt.gz.sig, the release signature:\n"
    "                        a release number above the last one published to OUTPUT_DIR, an expiry\n"
    "                        time and the manifest's SHA-256 and length, signed with KEYFILE (a PEM\n"
    "                        private key that only its owner may read)\n"
    "  --expires DAYS        how long the signature stays valid (default 30, at most 36500)\n"
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

// DAYS: a whole number from 1 to max_signature_days.
bool parse_days(const char* text, int* days) {
    char* end = nullptr;
    long value = strtol(text, &end, 10);
    if (text[0] < '0' || text[0] > '9' || *end != '\0' || value < 1 || value > max_signature_days) {
        return false;
    }
    *days = static_cast<int>(value);
    return true;
}

int print_public_key(const char* key_path) {
    signing_key key = load_signing_key(key_path);
    std::string line = key ? signing_public_key(key.get()) : "";
    if (line.empty()) {
        return 1;
    }
    printf("%s\n", line.c_str());
    return 0;
}

int generate_key(const char* key_path) {
    std::string line;
    if (!generate_signing_key(key_path, line)) {
        return 1;
    }
    fprintf(stderr,
            "varnholt-publish: wrote a new private key to '%s'; keep it secret. Its public key follows:\n"
            "build launchers with -DVARNHOLT_UPDATE_KEYS=<that line>.\n",
            key_path);
    printf("%s\n", line.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<const char*> operands;
    const char* keygen_path = nullptr;
    const char* public_key_path = nullptr;
    publish_signing_options signing{nullptr, default_signature_days};
    bool expires_given = false;
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (options_done || arg[0] != '-' || arg[1] == '\0') {
            operands.push_back(arg);
            continue;
        }
        if (strcmp(arg, "--") == 0) {
            options_done = true;
            continue;
        }
        if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0) {
            fputs(usage_text, stdout);
            return 0;
        }
        const char** value = strcmp(arg, "--key") == 0          ? &signing.key_path
                             : strcmp(arg, "--keygen") == 0     ? &keygen_path
                             : strcmp(arg, "--public-key") == 0 ? &public_key_path
                                                                : nullptr;
        bool expires = strcmp(arg, "--expires") == 0;
        if (value == nullptr && !expires) {
            fprintf(stderr, "varnholt-publish: unknown option '%s'\n", arg);
            return usage_error(nullptr);
        }
        if (i + 1 == argc) {
            fprintf(stderr, "varnholt-publish: option '%s' needs a value\n", arg);
            return usage_error(nullptr);
        }
        const char* given = argv[++i];
        if (expires) {
            if (!parse_days(given, &signing.days)) {
                return usage_error("--expires takes a number of days from 1 to 36500");
            }
            expires_given = true;
        } else {
            *value = given;
        }
    }
    if (keygen_path != nullptr || public_key_path != nullptr) {
        if (!operands.empty() || signing.key_path != nullptr || expires_given ||
            (keygen_path != nullptr && public_key_path != nullptr)) {
            return usage_error("--keygen and --public-key take a key file and nothing else");
        }
        return keygen_path != nullptr ? generate_key(keygen_path) : print_public_key(public_key_path);
    }
    if (expires_given && signing.key_path == nullptr) {
        return usage_error("--expires needs --key");
    }
    if (operands.size() != 2) {
        return usage_error(operands.empty() ? nullptr
                                            : "needs exactly two arguments, SOURCE_DIR and OUTPUT_DIR");
    }
    // The web server reads what is published as another user, whatever the operator's own umask.
    umask(022);
    return publish_client_files(operands[0], operands[1], signing);
}
