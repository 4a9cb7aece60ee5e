#include "runtime/lock.h"

#include <mutex>
#include <new>

struct NFileLock {
    std::recursive_mutex mutex;
};

NFileLock* nfile_lock_create() { return new (std::nothrow) NFileLock; }

int nfile_lock(NFileLock* lock) {
    if (lock == nullptr) return -1;
    lock->mutex.lock();
    return 0;
}

int nfile_unlock(NFileLock* lock) {
    if (lock == nullptr) return -1;
    lock->mutex.unlock();
    return 0;
}

int nfile_lock_destroy(NFileLock* lock) {
    delete lock;
    return 0;
}
