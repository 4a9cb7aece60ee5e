#include "runtime/lock.h"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <new>
#include <thread>

#include "port/platform.h"

// A recursive, robust mutex: a thread that ends while owning it does not leave the
// waiters blocked for ever; the next one to take it owns it from then on.
struct NFileLock {
    pthread_mutex_t mutex;
    // The owning thread and how often it has taken the lock; lets an unlock by a thread
    // that does not own the lock fail instead of corrupting the mutex. `depth` is only
    // touched by the owner.
    std::atomic<std::thread::id> owner{};
    int depth = 0;
};

namespace {

bool init_mutex(pthread_mutex_t* mutex) {
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0) return false;
    bool ok = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
              pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 &&
              gavo::platform().mutex_init(mutex, &attr) == 0;
    pthread_mutexattr_destroy(&attr);
    return ok;
}

}  // namespace

NFileLock* nfile_lock_create() {
    NFileLock* lock = new (std::nothrow) NFileLock;
    if (lock != nullptr && !init_mutex(&lock->mutex)) {
        delete lock;
        return nullptr;
    }
    return lock;
}

// The lock primitives themselves are outside the analysis that checks their callers.
int nfile_lock(NFileLock* lock) GAVO_NO_THREAD_SAFETY_ANALYSIS {
    if (lock == nullptr) return -1;
    int r = pthread_mutex_lock(&lock->mutex);
    if (r == EOWNERDEAD) {
        // The owner ended while holding it: the lock counts as taken by this thread, with
        // the dead owner's depth forgotten.
        pthread_mutex_consistent(&lock->mutex);
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
    pthread_mutex_unlock(&lock->mutex);
    return 0;
}

int nfile_lock_destroy(NFileLock* lock) {
    if (lock != nullptr) pthread_mutex_destroy(&lock->mutex);
    delete lock;
    return 0;
}
