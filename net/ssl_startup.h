// The process-wide TLS context and its temporary Diffie-Hellman parameters. kest_ssl_startup() runs once
// on the main thread before any worker thread exists; afterwards the context is only read.
#pragma once

#include <openssl/ssl.h>

// The cipher list of the context and of every session made from it.
extern const char kest_ssl_cipher_list[];

// 1 when the TLS context is ready (also when it was made by an earlier call), 0 after logging the TLS
// library's error text at level 1.
int kest_ssl_startup();

// The context made by kest_ssl_startup(), or null before it succeeded.
SSL_CTX* kest_ssl_context();

// A new client context with `cipher_list`: version-flexible method, SSL 2 excluded, no certificate and
// no peer verification, get_tmp_dh_callback installed. Null
// after logging the TLS library's error text at level 1. The caller owns the context.
SSL_CTX* kest_ssl_create_context(const char* cipher_list);

// A new client context that verifies the servers it talks to: TLS 1.2 or later, and a certificate chain
// that ends at one of the CA certificates in the PEM file `ca_file`, or, when that is null or empty, at one
// of the system's (OpenSSL's default paths). A session made from it must be told the server's name
// (kest_tcp_socket::ssl_peer_name). Null after logging why at level 1. The caller owns the context.
SSL_CTX* kest_ssl_create_verifying_context(const char* ca_file);

// The context's temporary DH callback: the cached parameters (generator 2, a fixed safe prime) for key
// lengths of 512, 768, 1024, 1536, 2048, 3072 and 4096 bits, made on first use and never freed; null
// for any other length or when they cannot be made. Lengths below 1024 are logged as short.
DH* get_tmp_dh_callback(SSL* session, int is_export, int key_length);

// The prime and the generator of parameters from get_tmp_dh_callback.
const BIGNUM* dh_prime_of(const DH* dh);
const BIGNUM* dh_generator_of(const DH* dh);
