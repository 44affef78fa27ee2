// For the tests: makes this test program's send() calls on connections to one port come out short or
// fail, as the kernel may make them, so that the callers' handling of both can be seen. The calls still
// reach the kernel (short ones with fewer bytes); nothing else changes.
#pragma once

#include <cstddef>

class send_faults {
  public:
    // While this object lives, every send() on a connection to 127.0.0.1:`port` takes at most
    // `max_bytes` bytes, or, when `error` is not 0, sends nothing and fails with that errno.
    send_faults(int port, size_t max_bytes, int error = 0);
    ~send_faults();
    send_faults(const send_faults&) = delete;
    send_faults& operator=(const send_faults&) = delete;

    // The send() calls affected so far.
    int calls() const;
};
