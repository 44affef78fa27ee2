// The write side of a TLS session on a socket. The TLS library's own socket BIO writes with write(),
// which raises SIGPIPE when the peer has gone away and kills a process that has not ignored it; this one
// sends with MSG_NOSIGNAL, so a vanished peer is an error result (EPIPE) like on the plain path.
#pragma once

struct bio_st;  // the TLS library's BIO

// A BIO that sends on `fd` without ever raising SIGPIPE; it does not own or close the descriptor. Null
// when it cannot be made. Handed to SSL_set0_wbio, it is freed with the session.
bio_st* new_tls_send_bio(int fd);
