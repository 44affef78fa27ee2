// The byte queue of outgoing protocol data and the buffer pool behind it.
#include "net/socket_data_queue.h"

#include <cstring>
#include <mutex>
#include <new>

#include "support/debug_log.h"

namespace {

// The pool is locked although the system moves all its traffic on one thread: the lock costs one
// uncontended mutex per 4072 bytes and keeps queues on different threads from corrupting the free list.
std::mutex pool_mutex;
private_socket_queue_buffer* pool_head = nullptr;
int pool_count = 0;
int allocated = 0;

}  // namespace

private_socket_queue_buffer* private_socket_queue_buffer::get_buffer() {
    private_socket_queue_buffer* buffer = nullptr;
    {
        std::lock_guard<std::mutex> lock(pool_mutex);
        if (pool_head != nullptr) {
            buffer = pool_head;
            pool_head = buffer->next;
            --pool_count;
        }
    }
    if (buffer == nullptr) {
        buffer = new (std::nothrow) private_socket_queue_buffer;
        if (buffer == nullptr) {
            return nullptr;
        }
        std::lock_guard<std::mutex> lock(pool_mutex);
        ++allocated;
    }
    buffer->write_len = 0;
    buffer->read_pos = 0;
    buffer->next = nullptr;
    buffer->data[0] = 0;
    return buffer;
}

void private_socket_queue_buffer::release_buffer_chain(private_socket_queue_buffer*& chain) {
    std::lock_guard<std::mutex> lock(pool_mutex);
    while (chain != nullptr) {
        private_socket_queue_buffer* next = chain->next;
        chain->next = pool_head;
        pool_head = chain;
        ++pool_count;
        chain = next;
    }
}

int private_socket_queue_buffer::pool_size() {
    std::lock_guard<std::mutex> lock(pool_mutex);
    return pool_count;
}

int private_socket_queue_buffer::allocated_count() {
    std::lock_guard<std::mutex> lock(pool_mutex);
    return allocated;
}

int kest_socket_data_queue::try_create_new_buffer() {
    if (max_buffers > 0 && buffer_count >= max_buffers) {
        full = 1;
        return 0;
    }
    private_socket_queue_buffer* buffer = private_socket_queue_buffer::get_buffer();
    if (buffer == nullptr) {
        debug_log_line(1,
                       "Error in kest_socket_data_queue::try_create_new_buffer(), memory allocation fail in "
                       "private_socket_queue_buffer::get_buffer().");
        return 0;
    }
    full = 0;
    if (head == nullptr) {
        head = buffer;
    } else {
        private_socket_queue_buffer* last = head;
        while (last->next != nullptr) {
            last = last->next;
        }
        last->next = buffer;
    }
    write_buffer = buffer;
    ++buffer_count;
    return 1;
}

int kest_socket_data_queue::put_char(char c) {
    if (write_buffer == nullptr) {
        try_create_new_buffer();
        if (write_buffer == nullptr) {
            return 0;
        }
    }
    write_buffer->data[write_buffer->write_len++] = c;
    if (write_buffer->is_full()) {
        write_buffer = nullptr;
    }
    return 1;
}

int kest_socket_data_queue::put_bytes(const void* data, int count) {
    if (data == nullptr) {
        return 0;
    }
    const char* bytes = static_cast<const char*>(data);
    int stored = 0;
    while (stored < count && put_char(bytes[stored])) {
        ++stored;
    }
    return stored;
}

int kest_socket_data_queue::put_string(const char* text) {
    if (text == nullptr) {
        return 0;
    }
    int stored = 0;
    while (text[stored] != '\0' && put_char(text[stored])) {
        ++stored;
    }
    return stored;
}

int kest_socket_data_queue::read_block(void* dest, int size) {
    if (head == nullptr || dest == nullptr || size <= 0) {
        return 0;
    }
    if (head->read_pos >= head->write_len) {
        if (head->next != nullptr) {
            debug_log_line(
                1,
                "Warning in kest_socket_data_queue::read_block(), top buffer empty in list of other "
                "buffers.");
        }
        return 0;
    }
    char* out = static_cast<char*>(dest);
    int copied = 0;
    while (copied < size && head != nullptr) {
        private_socket_queue_buffer* buffer = head;
        int available = buffer->write_len - buffer->read_pos;
        int n = available < size - copied ? available : size - copied;
        memcpy(out + copied, buffer->data + buffer->read_pos, n);
        buffer->read_pos += n;
        copied += n;
        if (buffer->read_pos < buffer->write_len) {
            break;
        }
        if (!buffer->is_full()) {
            // The partly filled last buffer stays: it is the write buffer and takes further bytes.
            if (buffer->next != nullptr) {
                debug_log_line(1,
                               "Warning in kest_socket_data_queue::read_block(), more buffers in list than "
                               "expected.");
            }
            break;
        }
        head = buffer->next;
        if (write_buffer == buffer) {
            write_buffer = nullptr;
        }
        buffer->next = nullptr;
        private_socket_queue_buffer::release_buffer_chain(buffer);
        --buffer_count;
        full = 0;
    }
    return copied;
}

int kest_socket_data_queue::is_empty() const {
    return head == nullptr || (head->next == nullptr && head->read_pos >= head->write_len);
}

void kest_socket_data_queue::clear() {
    private_socket_queue_buffer::release_buffer_chain(head);
    write_buffer = nullptr;
    buffer_count = 0;
    full = 0;
}
