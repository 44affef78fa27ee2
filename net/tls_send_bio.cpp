// A send-only BIO over a socket descriptor, for the write side of TLS sessions.
#include "net/tls_send_bio.h"

#include <openssl/bio.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>

namespace {

int descriptor_of(BIO* bio) {
    return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
}

int send_bio_write(BIO* bio, const char* data, int length) {
    BIO_clear_retry_flags(bio);
    if (length <= 0) {
        return 0;
    }
    ssize_t sent = send(descriptor_of(bio), data, static_cast<size_t>(length), MSG_NOSIGNAL);
    if (sent < 0) {
        // Would block, interrupted and the like: the TLS layer reports "want write" and is called again.
        if (BIO_sock_non_fatal_error(errno)) {
            BIO_set_retry_write(bio);
        }
        return -1;
    }
    return static_cast<int>(sent);
}

long send_bio_ctrl(BIO* bio, int command, long, void* pointer) {
    switch (command) {
        case BIO_CTRL_FLUSH:
            return 1;  // nothing is held back
        case BIO_C_GET_FD:
            if (pointer != nullptr) {
                *static_cast<int*>(pointer) = descriptor_of(bio);
            }
            return descriptor_of(bio);
        default:
            return 0;
    }
}

int send_bio_create(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

// Made once for the process and never freed; the TLS library only reads it.
const BIO_METHOD* send_bio_method() {
    static BIO_METHOD* method = [] {
        int index = BIO_get_new_index();
        if (index == -1) {
            return static_cast<BIO_METHOD*>(nullptr);
        }
        BIO_METHOD* m =
            BIO_meth_new(index | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR, "socket send without SIGPIPE");
        if (m != nullptr &&
            (BIO_meth_set_write(m, send_bio_write) != 1 || BIO_meth_set_ctrl(m, send_bio_ctrl) != 1 ||
             BIO_meth_set_create(m, send_bio_create) != 1)) {
            BIO_meth_free(m);
            m = nullptr;
        }
        return m;
    }();
    return method;
}

}  // namespace

bio_st* new_tls_send_bio(int fd) {
    const BIO_METHOD* method = send_bio_method();
    if (method == nullptr) {
        return nullptr;
    }
    BIO* bio = BIO_new(method);
    if (bio != nullptr) {
        BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
    }
    return bio;
}
