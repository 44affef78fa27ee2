#include "app/publication_fixture.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "testing/process.h"
#include "testing/temp_directory.h"
#include "updater/release_signature.h"

namespace {

const std::string signature_path_in = "/downloads/tessar_v3/manifest_linux32_executables.txt.gz.sig";
const std::string manifest_path_in = "/downloads/tessar_v3/manifest_linux32_executables.txt.gz";

}  // namespace

std::string client_program(size_t padding) {
    return read_file(test_binary_directory() + "/boot_argv_reporter") + std::string(padding, '\0');
}

void publish_images(const std::vector<client_image>& images, const std::string& source,
                    const std::string& docroot, const std::string& key_path) {
    remove_tree(source);
    ASSERT_EQ(mkdir(source.c_str(), 0755), 0);
    for (const client_image& i : images) {
        write_file(source + "/" + i.name, client_program(i.padding), 0755);
    }
    std::vector<std::string> argv{VARNHOLT_PUBLISH_PROGRAM};
    if (!key_path.empty()) {
        argv.insert(argv.end(), {"--key", key_path});
    }
    argv.insert(argv.end(), {source, docroot});
    process_result published = run_process(argv);
    ASSERT_EQ(published.exit_status, 0) << published.err;
}

std::string test_update_key(const std::string& name, const std::string& directory) {
    std::string path = directory + "/" + name + ".pem";
    write_file(path, read_file(std::string(VARNHOLT_TEST_UPDATE_KEYS) + "/" + name + ".pem"), 0600);
    chmod(path.c_str(), 0600);
    return path;
}

int64_t published_release(const std::string& docroot) {
    std::string path = docroot + signature_path_in;
    if (!file_exists(path)) {
        return 0;
    }
    std::string text = read_file(path);
    size_t at = text.find("\nrelease ");
    return at == std::string::npos ? 0 : std::stoll(text.substr(at + 9));
}

void sign_publication(const std::string& docroot, const std::string& key_path, int64_t release,
                      int64_t expires) {
    FILE* file = fopen(key_path.c_str(), "r");
    ASSERT_NE(file, nullptr) << key_path;
    std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> key(PEM_read_PrivateKey(file, nullptr, nullptr, nullptr),
                                                       EVP_PKEY_free);
    fclose(file);
    ASSERT_TRUE(key) << key_path;
    std::string manifest = read_file(docroot + manifest_path_in);
    release_signature fields;
    fields.release = release;
    fields.expires = expires;
    bounded_string text;
    ASSERT_EQ(sign_release_signature(key.get(), manifest.data(), manifest.size(), fields, text), 1);
    write_file(docroot + signature_path_in, text.c_str());
}

std::string manifest_line_of(const std::string& path, const std::string& name) {
    process_result sum = run_process({"/usr/bin/sha256sum", path});
    char size[16];
    snprintf(size, sizeof size, "%10zu", read_file(path).size());
    return sum.out.substr(0, 64) + " " + size + " " + name + "\n";
}
