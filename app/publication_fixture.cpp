#include "app/publication_fixture.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>

#include "testing/process.h"
#include "testing/temp_directory.h"

std::string client_program(size_t padding) {
    return read_file(test_binary_directory() + "/boot_argv_reporter") + std::string(padding, '\0');
}

void publish_images(const std::vector<client_image>& images, const std::string& source,
                    const std::string& docroot) {
    remove_tree(source);
    ASSERT_EQ(mkdir(source.c_str(), 0755), 0);
    for (const client_image& i : images) {
        write_file(source + "/" + i.name, client_program(i.padding), 0755);
    }
    process_result published = run_process({VARNHOLT_PUBLISH_PROGRAM, source, docroot});
    ASSERT_EQ(published.exit_status, 0) << published.err;
}

std::string manifest_line_of(const std::string& path, const std::string& name) {
    process_result sum = run_process({"/usr/bin/sha256sum", path});
    char size[16];
    snprintf(size, sizeof size, "%10zu", read_file(path).size());
    return sum.out.substr(0, 64) + " " + size + " " + name + "\n";
}
