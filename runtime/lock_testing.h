// Test-only hook of the channel locks. Internal: never exported, never called by the
// library itself.
#pragma once

// Makes the nth call (1-based, counted from now) of nfile_lock_create fail as if the
// mutex could not be created; 0 removes the rule. Not thread-safe: call it before the
// threads that use the library start.
void nfile_lock_fail_create_for_testing(int nth);
