// Publications for the tests of the whole program: stand-in client images (the boot argv reporter,
// padded to a size) published with varnholt-publish, as an operator would.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct client_image {
    std::string name;
    size_t padding;  // bytes appended to the program, to make the file larger
};

// The boot argv reporter's program with `padding` zero bytes appended.
std::string client_program(size_t padding = 0);

// Publishes exactly these images into `docroot`, from a fresh directory `source` (which is replaced),
// signed with the key at `key_path` when one is given. A failure is a fatal test failure (check
// HasFatalFailure() after the call).
void publish_images(const std::vector<client_image>& images, const std::string& source,
                    const std::string& docroot, const std::string& key_path = "");

// A signing key of testing/update-keys ("first" or "second", the keys the signed test launcher carries)
// copied into `directory`, readable by its owner only, as varnholt-publish wants it; its path.
std::string test_update_key(const std::string& name, const std::string& directory);

// The release of the signature published in `docroot`; 0 when there is none.
int64_t published_release(const std::string& docroot);

// Signs the manifest published in `docroot` as varnholt-publish does, with the key at `key_path` but the
// given release and expiry (seconds since the epoch), which the publisher would not choose: an expired
// signature, say, or a release already used. A failure is a fatal test failure.
void sign_publication(const std::string& docroot, const std::string& key_path, int64_t release,
                      int64_t expires);

// The local manifest's line for the file at `path` recorded as `name`: its SHA-256, size and name.
std::string manifest_line_of(const std::string& path, const std::string& name);
