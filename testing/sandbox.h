// Every test binary runs in private mount and network namespaces (when it runs as root): /tmp is a
// fresh tmpfs, so the launcher's fixed "/tmp/" log and any X server socket stay private, and the
// loopback interface is its own, so port 80 and fixed display numbers never collide with anything.
// A checkout or build tree that lies below /tmp is bound back into the fresh /tmp.
#pragma once

// Enters the sandbox; 1 on success, 0 when it could not be made (not root): the tests then use the
// machine's /tmp and network, and tests that need the sandbox skip themselves.
int enter_test_sandbox();

// 1 while the process runs inside the sandbox.
int in_test_sandbox();
