#include "support/sha256_hasher.h"

#include <openssl/evp.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

constexpr size_t block_bytes = 64 * 1024;
constexpr int block_count = 4;

}  // namespace

// The blocks go round: the caller fills `filling`, the thread hashes from `hashing` on, `full` of them
// waiting in order. Only the thread touches the digest context until it has been joined.
struct sha256_hasher::pipeline {
    std::mutex mutex;
    std::condition_variable changed;
    char blocks[block_count][block_bytes];
    size_t lengths[block_count] = {};
    int filling = 0;
    int hashing = 0;
    int full = 0;
    bool closing = false;
    std::thread thread;
};

sha256_hasher::sha256_hasher(mode how) : context_(EVP_MD_CTX_new()), ok_(false), how_(how) {
    restart();
}

sha256_hasher::~sha256_hasher() {
    stop_pipeline();
    EVP_MD_CTX_free(context_);
}

int sha256_hasher::restart() {
    stop_pipeline();
    ok_ = context_ != nullptr && EVP_DigestInit_ex(context_, EVP_sha256(), nullptr) == 1;
    return ok_ ? 1 : 0;
}

void sha256_hasher::digest(const void* data, size_t length) {
    ok_ = ok_ && EVP_DigestUpdate(context_, data, length) == 1;
}

void sha256_hasher::update(const void* data, size_t length) {
    // While the thread runs, only it touches the context and ok_.
    if (how_ == mode::in_caller || (!pipeline_ && (!ok_ || !start_pipeline()))) {
        digest(data, length);
        return;
    }
    pipeline& p = *pipeline_;
    const char* bytes = static_cast<const char*>(data);
    while (length > 0) {
        // Only the caller writes the block being filled, and the thread never reads it before it is full.
        size_t& used = p.lengths[p.filling];
        size_t piece = block_bytes - used < length ? block_bytes - used : length;
        memcpy(p.blocks[p.filling] + used, bytes, piece);
        used += piece;
        bytes += piece;
        length -= piece;
        if (used == block_bytes) {
            std::unique_lock<std::mutex> lock(p.mutex);
            ++p.full;
            p.filling = (p.filling + 1) % block_count;
            p.changed.notify_all();
            p.changed.wait(lock, [&] { return p.full < block_count; });
        }
    }
}

// 1 with the thread running; 0 when it cannot be started, and the hasher then hashes in the caller.
int sha256_hasher::start_pipeline() {
    pipeline_.reset(new pipeline);
    pipeline& p = *pipeline_;
    try {
        p.thread = std::thread([this, &p] {
            std::unique_lock<std::mutex> lock(p.mutex);
            for (;;) {
                p.changed.wait(lock, [&] { return p.full > 0 || p.closing; });
                if (p.full == 0) {
                    return;  // closing, and every full block is hashed
                }
                int block = p.hashing;
                lock.unlock();
                digest(p.blocks[block], p.lengths[block]);
                lock.lock();
                p.lengths[block] = 0;
                p.hashing = (block + 1) % block_count;
                --p.full;
                p.changed.notify_all();
            }
        });
    } catch (const std::system_error&) {
        pipeline_.reset();
        how_ = mode::in_caller;
        return 0;
    }
    return 1;
}

// Hashes what is left in the blocks and ends the thread; afterwards the caller owns the context again.
void sha256_hasher::stop_pipeline() {
    if (!pipeline_) {
        return;
    }
    pipeline& p = *pipeline_;
    {
        std::lock_guard<std::mutex> lock(p.mutex);
        p.closing = true;
        p.changed.notify_all();
    }
    p.thread.join();
    if (p.lengths[p.filling] > 0) {
        digest(p.blocks[p.filling], p.lengths[p.filling]);
    }
    pipeline_.reset();
}

int sha256_hasher::finish_hex(char hex[sha256_hex_length + 1]) {
    stop_pipeline();
    unsigned char digest_bytes[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    ok_ = ok_ && EVP_DigestFinal_ex(context_, digest_bytes, &length) == 1 && length * 2 == sha256_hex_length;
    hex[0] = '\0';
    if (!ok_) {
        return 0;
    }
    static const char digits[] = "0123456789abcdef";
    for (unsigned int i = 0; i < length; ++i) {
        hex[2 * i] = digits[digest_bytes[i] >> 4];
        hex[2 * i + 1] = digits[digest_bytes[i] & 0x0F];
    }
    hex[sha256_hex_length] = '\0';
    ok_ = false;
    return 1;
}
