// The channel locks: recursive mutexes without time limit. Wherever both are held,
// archive_lock is taken before log_lock.
#pragma once

#include "proto/thread_safety.h"

struct GAVO_CAPABILITY("mutex") NFileLock;

// A new lock object, or null when it cannot be created.
NFileLock* nfile_lock_create();
// 0 once the calling thread owns the lock (it may take it again, and must release it as
// many times); -1 for a null lock or when the wait fails. A lock left by a thread that
// ended while owning it counts as taken: the caller owns it once, whatever the depth was.
int nfile_lock(NFileLock* lock) GAVO_ACQUIRE(lock);
// 0; -1 for a null lock or when the calling thread does not own it (nothing changes).
int nfile_unlock(NFileLock* lock) GAVO_RELEASE(lock);
// Frees the lock object (null is allowed); 0. No thread may hold or wait for it.
int nfile_lock_destroy(NFileLock* lock);
