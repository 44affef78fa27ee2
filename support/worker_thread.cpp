#include "support/worker_thread.h"

#include <pthread.h>

#include <new>

#include "support/debug_log.h"

namespace {

struct start_record {
    kest_thread_function function;
    void* argument;
};

void* trampoline(void* raw) {
    start_record* record = static_cast<start_record*>(raw);
    record->function(record->argument);
    delete record;
    return nullptr;
}

}  // namespace

int kest_thread_create(const char*, kest_thread_function function, void* argument) {
    start_record* record = new (std::nothrow) start_record{function, argument};
    int created = -1;
    if (record != nullptr) {
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        pthread_t thread;
        created = pthread_create(&thread, &attributes, trampoline, record);
        pthread_attr_destroy(&attributes);
    }
    if (created != 0) {
        delete record;
        debug_log_line(1, "Error in kest_thread_create(), thread create failed?");
        return 0;
    }
    return 1;
}
