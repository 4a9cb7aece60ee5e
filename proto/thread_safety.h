// clang's thread-safety annotations. clang -Wthread-safety checks them; other compilers
// see nothing. They live in proto/, the one folder that both the library and the server
// include, so that both ends use the same macros without either reaching into the other.
#pragma once

#if defined(__clang__)
#define GAVO_TSA(x) __attribute__((x))
#else
#define GAVO_TSA(x)
#endif

// A type whose objects are locks.
#define GAVO_CAPABILITY(name) GAVO_TSA(capability(name))
// A type whose objects hold a lock from construction to destruction.
#define GAVO_SCOPED_CAPABILITY GAVO_TSA(scoped_lockable)
// Data that may only be touched while the given lock is held.
#define GAVO_GUARDED_BY(lock) GAVO_TSA(guarded_by(lock))
// A function that returns holding the given lock, or that releases it.
#define GAVO_ACQUIRE(...) GAVO_TSA(acquire_capability(__VA_ARGS__))
#define GAVO_RELEASE(...) GAVO_TSA(release_capability(__VA_ARGS__))
// A function whose caller must hold the given locks.
#define GAVO_REQUIRES(...) GAVO_TSA(requires_capability(__VA_ARGS__))
// A function the analysis skips: the lock primitives themselves, and the start-up and
// shutdown paths that run while no other thread uses the lock's state.
#define GAVO_NO_THREAD_SAFETY_ANALYSIS GAVO_TSA(no_thread_safety_analysis)
