#include "runtime/lock.h"
#include "runtime/lock_testing.h"

#include <atomic>
#include <mutex>
#include <new>
#include <thread>

struct NFileLock {
    std::recursive_mutex mutex;
    // The owning thread and how often it has taken the lock; lets an unlock by a thread
    // that does not own the lock fail instead of corrupting the mutex. `depth` is only
    // touched by the owner.
    std::atomic<std::thread::id> owner{};
    int depth = 0;
};

namespace {

// Test hook: which creation from now fails (counted down), 0 for none.
std::atomic<int> failing_create{0};

}  // namespace

NFileLock* nfile_lock_create() {
    int n = failing_create.load();
    if (n > 0 && failing_create.fetch_sub(1) == 1) return nullptr;
    return new (std::nothrow) NFileLock;
}

int nfile_lock(NFileLock* lock) {
    if (lock == nullptr) return -1;
    lock->mutex.lock();
    if (lock->depth++ == 0) lock->owner.store(std::this_thread::get_id());
    return 0;
}

int nfile_unlock(NFileLock* lock) {
    if (lock == nullptr || lock->owner.load() != std::this_thread::get_id()) return -1;
    if (--lock->depth == 0) lock->owner.store(std::thread::id());
    lock->mutex.unlock();
    return 0;
}

int nfile_lock_destroy(NFileLock* lock) {
    delete lock;
    return 0;
}

void nfile_lock_fail_create_for_testing(int nth) { failing_create.store(nth); }
