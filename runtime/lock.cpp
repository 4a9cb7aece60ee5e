#include "runtime/lock.h"

#include <atomic>
#include <new>
#include <thread>

#include "port/platform.h"

// A recursive mutex of the system (a robust pthread mutex, a Win32 mutex): a thread that
// ends while owning it does not leave the waiters blocked for ever; the next one to take
// it owns it from then on.
struct NFileLock {
    gavo::PlatformMutex* mutex = nullptr;
    // The owning thread and how often it has taken the lock; lets an unlock by a thread
    // that does not own the lock fail instead of corrupting the mutex. `depth` is only
    // touched by the owner.
    std::atomic<std::thread::id> owner{};
    int depth = 0;
};

NFileLock* nfile_lock_create() {
    NFileLock* lock = new (std::nothrow) NFileLock;
    if (lock != nullptr && (lock->mutex = gavo::platform().mutex_create()) == nullptr) {
        delete lock;
        return nullptr;
    }
    return lock;
}

// The lock primitives themselves are outside the analysis that checks their callers.
int nfile_lock(NFileLock* lock) GAVO_NO_THREAD_SAFETY_ANALYSIS {
    if (lock == nullptr) return -1;
    int r = gavo::mutex_lock(lock->mutex);
    if (r == 1) {
        // The owner ended while holding it: the lock counts as taken by this thread, with
        // the dead owner's depth forgotten.
        lock->depth = 0;
    } else if (r != 0) {
        return -1;
    }
    if (lock->depth++ == 0) lock->owner.store(std::this_thread::get_id());
    return 0;
}

int nfile_unlock(NFileLock* lock) GAVO_NO_THREAD_SAFETY_ANALYSIS {
    if (lock == nullptr || lock->owner.load() != std::this_thread::get_id()) return -1;
    if (--lock->depth == 0) lock->owner.store(std::thread::id());
    gavo::mutex_unlock(lock->mutex);
    return 0;
}

int nfile_lock_destroy(NFileLock* lock) {
    if (lock != nullptr) gavo::mutex_destroy(lock->mutex);
    delete lock;
    return 0;
}
