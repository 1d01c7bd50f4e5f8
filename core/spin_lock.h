// A lock for the few records that calls on different threads share (the
// table of open images, the new-image settings). Held for a handful of
// instructions only, so spinning is cheaper than a system lock, and it needs
// no thread library (the mingw runtime of the Windows builds has none).
#pragma once

#include <atomic>

#include "platform/platform.h"

struct SpinLock {
    std::atomic_flag flag = ATOMIC_FLAG_INIT;
};

// Holds the lock for its lifetime.
struct SpinGuard {
    SpinLock& lock;
    explicit SpinGuard(SpinLock& l) : lock(l) {
        while (lock.flag.test_and_set(std::memory_order_acquire)) platform::yieldThread();
    }
    ~SpinGuard() { lock.flag.clear(std::memory_order_release); }
    SpinGuard(const SpinGuard&) = delete;
    SpinGuard& operator=(const SpinGuard&) = delete;
};
