#include <gtest/gtest.h>

#include <cstring>

#include "testing/sandbox.h"

int main(int argc, char** argv) {
    // Listing the tests (at build time) needs no sandbox.
    bool listing = false;
    for (int i = 1; i < argc; ++i) {
        listing = listing || strcmp(argv[i], "--gtest_list_tests") == 0;
    }
    if (!listing) {
        enter_test_sandbox();
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
