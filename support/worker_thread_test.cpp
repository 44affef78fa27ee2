#include "support/worker_thread.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

struct probe {
    std::atomic<int> ran{0};
    std::atomic<int> detached{-1};
};

int record_run(void* argument) {
    probe* p = static_cast<probe*>(argument);
    // A detached thread cannot be joined: pthread_join refuses it with EINVAL.
    pthread_attr_t attributes;
    int state = -1;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
        pthread_attr_getdetachstate(&attributes, &state);
        pthread_attr_destroy(&attributes);
    }
    p->detached = state == PTHREAD_CREATE_DETACHED;
    p->ran = 1;
    return 0;
}

void wait_for(const std::atomic<int>& flag) {
    for (int i = 0; i < 5000 && !flag; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace

TEST(WorkerThread, RunsTheFunctionOnADetachedThread) {
    probe p;
    ASSERT_EQ(kest_thread_create("executable updater", record_run, &p), 1);
    wait_for(p.ran);
    EXPECT_EQ(p.ran, 1);
    EXPECT_EQ(p.detached, 1);
}

TEST(WorkerThread, NameMayBeNullOrEmpty) {
    for (int i = 0; i < 200; ++i) {
        probe p;
        ASSERT_EQ(kest_thread_create(i % 2 ? nullptr : "", record_run, &p), 1) << i;
        wait_for(p.ran);
        ASSERT_EQ(p.ran, 1);
    }
}
