#include "support/sha256_hasher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

std::string hex_of_pieces(const std::string& text, size_t piece, sha256_hasher::mode how) {
    sha256_hasher hasher(how);
    for (size_t at = 0; at < text.size(); at += piece) {
        hasher.update(text.data() + at, std::min(piece, text.size() - at));
    }
    char hex[sha256_hex_length + 1];
    EXPECT_EQ(hasher.finish_hex(hex), 1);
    return hex;
}

const sha256_hasher::mode both_modes[] = {sha256_hasher::mode::in_caller, sha256_hasher::mode::on_own_thread};

// FIPS 180-2 examples, and a text that fills many of the thread's blocks and part of one more: the digest
// must not depend on how the bytes are cut, nor on where they are hashed.
TEST(Sha256Hasher, KnownDigestsWhateverThePieces) {
    struct {
        std::string text;
        const char* hex;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (sha256_hasher::mode how : both_modes) {
        for (const auto& c : cases) {
            for (size_t piece :
                 {size_t{1}, size_t{63}, size_t{64}, size_t{8192}, size_t{65536}, size_t{200000}}) {
                if (piece == 1 && c.text.size() > 1000) {
                    continue;
                }
                EXPECT_EQ(hex_of_pieces(c.text, piece, how), c.hex)
                    << c.text.size() << " bytes in pieces of " << piece
                    << (how == sha256_hasher::mode::in_caller ? " in the caller" : " on the hasher's thread");
            }
        }
    }
}

TEST(Sha256Hasher, FinishEndsTheDigestUntilRestarted) {
    for (sha256_hasher::mode how : both_modes) {
        sha256_hasher hasher(how);
        hasher.update("abc", 3);
        char hex[sha256_hex_length + 1];
        ASSERT_EQ(hasher.finish_hex(hex), 1);
        EXPECT_EQ(hasher.finish_hex(hex), 0);
        EXPECT_STREQ(hex, "");
        ASSERT_EQ(hasher.restart(), 1);
        hasher.update("ab", 2);
        hasher.update("c", 1);
        ASSERT_EQ(hasher.finish_hex(hex), 1);
        EXPECT_STREQ(hex, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
        // A restart drops what was given before it, hashed or still waiting in a block.
        hasher.update(std::string(300000, 'x').data(), 300000);
        ASSERT_EQ(hasher.restart(), 1);
        hasher.update("abc", 3);
        ASSERT_EQ(hasher.finish_hex(hex), 1);
        EXPECT_STREQ(hex, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    }
}

}  // namespace
