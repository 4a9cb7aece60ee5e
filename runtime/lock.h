// The channel locks: recursive mutexes without time limit. Wherever both are held,
// archive_lock is taken before log_lock.
#pragma once

struct NFileLock;

// A new lock object, or null when it cannot be created.
NFileLock* nfile_lock_create();
// 0 once the calling thread owns the lock (it may take it again), -1 on failure.
int nfile_lock(NFileLock* lock);
// 0, or -1 when the calling thread does not own the lock.
int nfile_unlock(NFileLock* lock);
// Frees the lock object; 0.
int nfile_lock_destroy(NFileLock* lock);
