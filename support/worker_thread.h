// Detached worker threads: no thread object, no join; a worker ends when its function returns.
#pragma once

using kest_thread_function = int (*)(void* argument);

// Runs function(argument) on a new detached thread. `name` is not used. 1 if the thread was started.
int kest_thread_create(const char* name, kest_thread_function function, void* argument);
