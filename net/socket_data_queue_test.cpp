#include "net/socket_data_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "testing/log_capture.h"

namespace {

constexpr int kBuffer = private_socket_queue_buffer::capacity;

std::string pattern(int count) {
    std::string bytes(count, '\0');
    for (int i = 0; i < count; ++i) {
        bytes[i] = static_cast<char>(i * 7 + i / 251);
    }
    return bytes;
}

std::string read_all(kest_socket_data_queue& q, int block) {
    std::string out;
    std::vector<char> buffer(block);
    for (int n = q.read_block(buffer.data(), block); n > 0; n = q.read_block(buffer.data(), block)) {
        out.append(buffer.data(), n);
    }
    return out;
}

}  // namespace

TEST(SocketDataQueue, FullBufferBoundary) {
    kest_socket_data_queue q;
    std::string bytes = pattern(kBuffer + 1);
    ASSERT_EQ(q.put_bytes(bytes.data(), kBuffer), kBuffer);
    EXPECT_EQ(q.buffer_count, 1);
    EXPECT_EQ(q.write_buffer, nullptr);
    EXPECT_EQ(q.head->write_len, kBuffer);

    ASSERT_EQ(q.put_char(bytes[kBuffer]), 1);
    EXPECT_EQ(q.buffer_count, 2);
    ASSERT_NE(q.write_buffer, nullptr);
    EXPECT_EQ(q.head->next, q.write_buffer);
    EXPECT_EQ(q.write_buffer->write_len, 1);
    EXPECT_EQ(read_all(q, 8192), bytes);
}

TEST(SocketDataQueue, ReadingAFullBufferReleasesIt) {
    kest_socket_data_queue q;
    std::string bytes = pattern(kBuffer);
    q.put_bytes(bytes.data(), kBuffer);
    int pooled = private_socket_queue_buffer::pool_size();
    std::vector<char> out(kBuffer);
    ASSERT_EQ(q.read_block(out.data(), kBuffer), kBuffer);
    EXPECT_EQ(std::string(out.data(), kBuffer), bytes);
    EXPECT_EQ(q.head, nullptr);
    EXPECT_EQ(q.buffer_count, 0);
    EXPECT_EQ(q.is_empty(), 1);
    EXPECT_EQ(private_socket_queue_buffer::pool_size(), pooled + 1);
}

TEST(SocketDataQueue, DrainedPartBufferKeepsTakingBytes) {
    log_capture log;
    kest_socket_data_queue q;
    EXPECT_EQ(q.put_string("abc"), 3);
    char out[16];
    ASSERT_EQ(q.read_block(out, sizeof out), 3);
    private_socket_queue_buffer* head = q.head;
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(head->read_pos, head->write_len);
    EXPECT_EQ(q.is_empty(), 1);
    EXPECT_EQ(q.read_block(out, sizeof out), 0);

    EXPECT_EQ(q.put_char('d'), 1);
    EXPECT_EQ(q.head, head);
    EXPECT_EQ(q.buffer_count, 1);
    EXPECT_EQ(q.is_empty(), 0);
    ASSERT_EQ(q.read_block(out, sizeof out), 1);
    EXPECT_EQ(out[0], 'd');
    EXPECT_EQ(log.text(), "");
}

TEST(SocketDataQueue, ReadOfEmptyQueueAndBadArgumentsGiveNothing) {
    log_capture log;
    kest_socket_data_queue q;
    char out[4];
    EXPECT_EQ(q.read_block(out, sizeof out), 0);
    EXPECT_EQ(q.is_empty(), 1);
    q.put_string("xy");
    EXPECT_EQ(q.read_block(out, 0), 0);
    EXPECT_EQ(q.read_block(out, -5), 0);
    EXPECT_EQ(q.read_block(nullptr, 4), 0);
    EXPECT_EQ(q.put_bytes("z", -1), 0);
    EXPECT_EQ(q.put_bytes(nullptr, 3), 0);
    EXPECT_EQ(q.put_string(nullptr), 0);
    EXPECT_EQ(q.read_block(out, sizeof out), 2);
    EXPECT_EQ(log.text(), "");
}

// Blocks smaller, equal to and larger than a buffer all give the bytes back whole and in order.
TEST(SocketDataQueue, PartialReadsKeepOrderAcrossBuffers) {
    std::string bytes = pattern(3 * kBuffer + 123);
    for (int block : {1, 7, kBuffer - 1, kBuffer, kBuffer + 1, 8192}) {
        kest_socket_data_queue q;
        ASSERT_EQ(q.put_bytes(bytes.data(), static_cast<int>(bytes.size())), static_cast<int>(bytes.size()));
        EXPECT_EQ(q.buffer_count, 4);
        char first[5];
        ASSERT_EQ(q.read_block(first, 5), 5);
        EXPECT_EQ(std::string(first, 5), bytes.substr(0, 5));
        EXPECT_EQ(read_all(q, block), bytes.substr(5)) << "block " << block;
        EXPECT_EQ(q.is_empty(), 1);
    }
}

// Interleaved puts and reads, the way a processor refills while the owner drains.
TEST(SocketDataQueue, InterleavedPutsAndReads) {
    kest_socket_data_queue q;
    std::string bytes = pattern(5 * kBuffer);
    std::string out;
    size_t put = 0;
    char block[3000];
    while (out.size() < bytes.size()) {
        int n = static_cast<int>(std::min<size_t>(2500, bytes.size() - put));
        ASSERT_EQ(q.put_bytes(bytes.data() + put, n), n);
        put += n;
        int got = q.read_block(block, sizeof block);
        out.append(block, got);
        EXPECT_LE(q.buffer_count, 2);
    }
    EXPECT_EQ(out, bytes);
}

TEST(SocketDataQueue, ClearedBuffersAreReusedWithoutAllocating) {
    kest_socket_data_queue q;
    std::string bytes = pattern(2 * kBuffer + 10);
    q.put_bytes(bytes.data(), static_cast<int>(bytes.size()));
    q.max_buffers = 7;
    q.clear();
    EXPECT_EQ(q.head, nullptr);
    EXPECT_EQ(q.write_buffer, nullptr);
    EXPECT_EQ(q.buffer_count, 0);
    EXPECT_EQ(q.max_buffers, 7);
    EXPECT_EQ(q.is_empty(), 1);

    int allocated = private_socket_queue_buffer::allocated_count();
    ASSERT_GE(private_socket_queue_buffer::pool_size(), 3);
    private_socket_queue_buffer* fresh = private_socket_queue_buffer::get_buffer();
    EXPECT_EQ(private_socket_queue_buffer::allocated_count(), allocated);
    EXPECT_EQ(fresh->write_len, 0);
    EXPECT_EQ(fresh->read_pos, 0);
    EXPECT_EQ(fresh->next, nullptr);
    EXPECT_EQ(fresh->data[0], 0);
    private_socket_queue_buffer::release_buffer_chain(fresh);
    EXPECT_EQ(fresh, nullptr);

    q.put_bytes(bytes.data(), static_cast<int>(bytes.size()));
    EXPECT_EQ(private_socket_queue_buffer::allocated_count(), allocated);
    EXPECT_EQ(read_all(q, 100), bytes);
}

TEST(SocketDataQueue, BufferLimitSetsAndClearsFull) {
    log_capture log;
    kest_socket_data_queue q;
    q.max_buffers = 1;
    std::string bytes = pattern(kBuffer + 50);
    EXPECT_EQ(q.put_bytes(bytes.data(), static_cast<int>(bytes.size())), kBuffer);
    EXPECT_EQ(q.full, 1);
    EXPECT_EQ(q.put_char('x'), 0);
    EXPECT_EQ(q.buffer_count, 1);

    std::vector<char> out(kBuffer);
    ASSERT_EQ(q.read_block(out.data(), kBuffer), kBuffer);
    EXPECT_EQ(q.full, 0);
    EXPECT_EQ(q.put_char('x'), 1);
    EXPECT_EQ(q.buffer_count, 1);
    EXPECT_EQ(log.text(), "");
}
