// The per-user updater lock: an advisory lockf() lock on the lock file, so that two launchers of one
// user never update the same files at once.
#pragma once

// The locked descriptor, or -1 (errno then tells why: EACCES or EAGAIN when another process holds the
// lock). Never waits. The descriptor is close-on-exec, so a booted client never inherits the lock.
int try_updater_lock(const char* path);

// Unlocks and closes `fd`: 1 if the unlock succeeded; 0 for a negative `fd` or a failed unlock.
int release_updater_lock(int fd);
