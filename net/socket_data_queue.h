// A first-in first-out byte queue kept in a chain of fixed 4072-byte buffers. Emptied buffers go back
// to a process-wide pool and are handed out again; no buffer is ever returned to the allocator, so a
// long-lived process reuses the buffers of earlier transfers.
#pragma once

#include <cstdint>

struct private_socket_queue_buffer {
    static constexpr int32_t capacity = 4072;

    int32_t write_len;  // bytes stored so far, 0 to capacity
    int32_t read_pos;   // next byte to remove, 0 to write_len
    private_socket_queue_buffer* next;
    char data[capacity];

    bool is_full() const { return write_len >= capacity; }

    // A fresh buffer (write_len 0, read_pos 0, next null, data[0] 0): the front of the pool when it has
    // one, else a new allocation. Null only when the allocator fails.
    static private_socket_queue_buffer* get_buffer();
    // Puts every buffer of `chain` at the front of the pool and sets `chain` to null.
    static void release_buffer_chain(private_socket_queue_buffer*& chain);
    // Buffers waiting in the pool, and buffers ever allocated (for diagnostics and tests).
    static int pool_size();
    static int allocated_count();
};

// Owned by one thread at a time. The pool it draws from is shared by every queue of the process.
class kest_socket_data_queue {
  public:
    kest_socket_data_queue() = default;
    // Returns the buffers to the pool.
    ~kest_socket_data_queue() { clear(); }
    kest_socket_data_queue(const kest_socket_data_queue&) = delete;
    kest_socket_data_queue& operator=(const kest_socket_data_queue&) = delete;

    // 1 if a buffer was appended; 0 when max_buffers forbids one (full is set) or allocation failed.
    int try_create_new_buffer();
    // 1 if the byte was stored, 0 if no buffer could be had.
    int put_char(char c);
    // The number of bytes stored; stops at the first byte that cannot be stored (0 for null or count <= 0).
    int put_bytes(const void* data, int count);
    // put_bytes of the text without its NUL (0 for null).
    int put_string(const char* text);
    // Moves up to `size` of the oldest bytes to `dest`; the number moved (0 when none, or for null/size <=
    // 0).
    int read_block(void* dest, int size);
    // 1 if no unread byte is held.
    int is_empty() const;
    // Hands every buffer to the pool; max_buffers stays.
    void clear();

    // First buffer of the chain (bytes are removed from it), or null.
    private_socket_queue_buffer* head = nullptr;
    // The last buffer while it is not full, else null: the next byte opens a new buffer.
    private_socket_queue_buffer* write_buffer = nullptr;
    // Most buffers the queue may hold; 0 or negative: no limit.
    int32_t max_buffers = -1;
    int32_t buffer_count = 0;
    // Set when a buffer was refused because of max_buffers; cleared when a buffer is added or a full one
    // is released.
    int32_t full = 0;
};
