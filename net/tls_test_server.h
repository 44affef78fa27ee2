// A TLS server on 127.0.0.1 for the tests: one connection on a thread, with a key and self-signed
// certificate made at start. Every wait of the server is bounded (a held answer by the server's life),
// so a failing client never hangs it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

class tls_test_server {
  public:
    enum class behaviour {
        // Handshake, read one message, answer `reply`, then close-notify and close.
        answer_then_close_notify,
        // The same, but the connection simply ends after the answer, without close-notify.
        answer_then_bare_close,
        // Accept the TCP connection, read the client's first bytes, close before answering them.
        close_during_handshake,
        // Accept the TCP connection and say nothing until the client goes away.
        silent,
        // As answer_then_close_notify, but the client's hello is left unanswered until release(), so a
        // handshake is pending for as long as the test wants it to be.
        answer_when_released,
    };

    explicit tls_test_server(behaviour what, std::string reply = "pong");
    ~tls_test_server();  // waits for the connection to end
    tls_test_server(const tls_test_server&) = delete;
    tls_test_server& operator=(const tls_test_server&) = delete;

    int port() const { return port_; }
    // The message the client sent (once the connection has ended: after the destructor's wait or wait()).
    std::string received() const { return received_; }
    // 1 when the server's handshake completed.
    bool handshake_done() const { return handshake_done_; }
    // Lets an answer_when_released server answer (the destructor does it too).
    void release();
    void wait();

  private:
    void serve();

    behaviour what_;
    std::string reply_;
    int listen_fd_ = -1;
    int port_ = 0;
    std::string received_;
    std::atomic<bool> handshake_done_{false};
    std::mutex mutex_;
    std::condition_variable released_changed_;
    bool released_ = false;
    std::thread thread_;
};
