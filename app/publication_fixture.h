// Publications for the tests of the whole program: stand-in client images (the boot argv reporter,
// padded to a size) published with varnholt-publish, as an operator would.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct client_image {
    std::string name;
    size_t padding;  // bytes appended to the program, to make the file larger
};

// The boot argv reporter's program with `padding` zero bytes appended.
std::string client_program(size_t padding = 0);

// Publishes exactly these images into `docroot`, from a fresh directory `source` (which is replaced).
// A failure is a fatal test failure (check HasFatalFailure() after the call).
void publish_images(const std::vector<client_image>& images, const std::string& source,
                    const std::string& docroot);

// The local manifest's line for the file at `path` recorded as `name`: its SHA-256, size and name.
std::string manifest_line_of(const std::string& path, const std::string& name);
