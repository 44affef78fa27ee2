// A loopback TCP server that plays a fixed script on its own thread, so a test can describe a server's
// side of one or more connections byte for byte: what it sends, when it pauses, how it hangs up.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class scripted_server {
  public:
    // One thing the server does. Steps run in order; a step that waits (accept, read_request, sleep,
    // stall, drip, hold) ends early when the server is destroyed.
    struct step {
        enum class kind {
            accept,        // take the next connection (a still open one is closed cleanly first)
            read_request,  // read up to and including the empty line after the headers and record it
            send,          // write `bytes` in full (a peer that has gone away ends the write quietly)
            sleep,         // wait `ms` milliseconds
            close,         // FIN: shut down the sending side, wait (at most 2 s) for the peer to close, close
            reset,         // RST: SO_LINGER with a zero time-out, then close
            stall,         // keep the connection open without sending, until the peer closes or `ms` pass
                           // (negative: no limit); whatever the peer sends is read and dropped
            drip,          // send `bytes` one byte at a time, `ms` milliseconds apart
            repeat,        // send `bytes` again and again, until the peer stops taking them (it closed or
                           // reset the connection) or the server is destroyed: a body without end
            hold,          // wait until the test calls release(): whatever the client does meanwhile
                           // happens while the server is at this point of the script
        };
        kind what;
        std::string bytes;
        int ms = 0;
    };

    // Builds a script: scripted_server::script().accept().read_request().send("...").close()
    class script {
      public:
        script& accept() { return add({step::kind::accept, "", 0}); }
        script& read_request() { return add({step::kind::read_request, "", 0}); }
        script& send(const std::string& bytes) { return add({step::kind::send, bytes, 0}); }
        script& sleep(int ms) { return add({step::kind::sleep, "", ms}); }
        script& close() { return add({step::kind::close, "", 0}); }
        script& reset() { return add({step::kind::reset, "", 0}); }
        script& stall(int ms = -1) { return add({step::kind::stall, "", ms}); }
        script& drip(const std::string& bytes, int ms) { return add({step::kind::drip, bytes, ms}); }
        script& repeat(const std::string& bytes) { return add({step::kind::repeat, bytes, 0}); }
        script& hold() { return add({step::kind::hold, "", 0}); }
        const std::vector<step>& steps() const { return steps_; }

      private:
        script& add(step s) {
            steps_.push_back(std::move(s));
            return *this;
        }
        std::vector<step> steps_;
    };

    // Listens on address:port (0: a free port the system picks) at once, so clients may connect as soon as
    // the constructor returns, and starts playing the script. Throws std::runtime_error if it cannot listen.
    explicit scripted_server(const script& plan, int port = 0, const std::string& address = "127.0.0.1");
    // Stops the script where it is and closes every socket.
    ~scripted_server();
    scripted_server(const scripted_server&) = delete;
    scripted_server& operator=(const scripted_server&) = delete;

    int port() const { return port_; }
    // What each read_request step read so far, in order, each ending with its empty line (or with what
    // arrived before the peer closed).
    std::vector<std::string> requests() const;
    int connections_accepted() const { return accepted_; }
    // Waits until the last step has run; true if it did within `timeout_ms`.
    bool wait_finished(int timeout_ms = 10000);
    // Lets the script go on past one hold step: the one it waits at, or else the next it comes to.
    void release();

  private:
    void play();
    bool wait_for(int fd, short events, int timeout_ms);
    bool sleep_ms(int ms);
    // False when the server is being stopped.
    bool wait_for_release();
    // False when the bytes could not all be sent: the peer has gone away or the server is being stopped.
    bool send_all(const std::string& bytes);
    void read_request();
    void stall(int ms);
    void close_connection_cleanly();
    void close_connection_with_reset();

    std::vector<step> steps_;
    int listen_fd_ = -1;
    int connection_fd_ = -1;
    int stop_pipe_[2] = {-1, -1};
    int release_pipe_[2] = {-1, -1};  // a byte for each release()
    int port_ = 0;
    std::atomic<int> accepted_{0};
    mutable std::mutex mutex_;
    std::condition_variable finished_changed_;
    bool finished_ = false;
    std::vector<std::string> requests_;
    std::thread thread_;
};
