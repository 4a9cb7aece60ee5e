// The server's lock, known to clang's thread-safety analysis (libstdc++'s std::mutex
// carries no annotations, so data it guards cannot be checked): Mutex, held for a scope
// by MutexLock, and CondVar to wait on it. A member marked GAVO_GUARDED_BY(mutex_) is
// then touched only with mutex_ held, and a helper marked GAVO_REQUIRES(mutex_) is called
// only so; clang -Wthread-safety proves both at compile time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "proto/thread_safety.h"

namespace gavo::server {

class GAVO_CAPABILITY("mutex") Mutex {
public:
    void lock() GAVO_ACQUIRE() { mu_.lock(); }
    void unlock() GAVO_RELEASE() { mu_.unlock(); }

private:
    friend class CondVar;
    std::mutex mu_;
};

// Holds `mu` from construction to destruction.
class GAVO_SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mu) GAVO_ACQUIRE(mu) : mu_(mu) { mu_.lock(); }
    ~MutexLock() GAVO_RELEASE() { mu_.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    Mutex& mu_;
};

class CondVar {
public:
    // Releases `mu`, which the caller holds, until a notify (or a spurious wake-up), and
    // returns holding it again: callers wait in a loop over their condition.
    void wait(Mutex& mu) GAVO_REQUIRES(mu) {
        std::unique_lock<std::mutex> lock(mu.mu_, std::adopt_lock);
        cv_.wait(lock);
        lock.release();  // the caller keeps holding it
    }
    // As wait(), but returns after `timeout` at the latest: false when it passed first.
    template <class Rep, class Period>
    bool wait_for(Mutex& mu, std::chrono::duration<Rep, Period> timeout) GAVO_REQUIRES(mu) {
        std::unique_lock<std::mutex> lock(mu.mu_, std::adopt_lock);
        const bool woken = cv_.wait_for(lock, timeout) == std::cv_status::no_timeout;
        lock.release();
        return woken;
    }
    void notify_all() { cv_.notify_all(); }

private:
    std::condition_variable cv_;
};

}  // namespace gavo::server
