// Clang's thread-safety attributes, so that which mutex guards which field is
// checked by the compiler (-Wthread-safety) rather than stated in comments.
// Other compilers see nothing. The analysis understands only types that carry
// these attributes; libstdc++'s std::mutex does not, so shared state uses the
// Mutex and MutexLock of core/mutex.h.
#pragma once

#if defined(__clang__)
#define TARNIX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TARNIX_THREAD_ANNOTATION(x)
#endif

// A type that is a lock ("mutex", "shared mutex"), and an object that holds
// one for its lifetime.
#define CAPABILITY(x) TARNIX_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY TARNIX_THREAD_ANNOTATION(scoped_lockable)

// A field read or written only with the lock held; a pointer whose target is.
#define GUARDED_BY(x) TARNIX_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) TARNIX_THREAD_ANNOTATION(pt_guarded_by(x))

// Lock order: this lock is taken after (before) the ones named.
#define ACQUIRED_AFTER(...) TARNIX_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define ACQUIRED_BEFORE(...) TARNIX_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))

// A function that must be called with the lock held (exclusively, or at
// least shared), or without it.
#define REQUIRES(...) TARNIX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) TARNIX_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define EXCLUDES(...) TARNIX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

// A function that takes or lets go of the lock.
#define ACQUIRE(...) TARNIX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) TARNIX_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) TARNIX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) TARNIX_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...) TARNIX_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) TARNIX_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define TRY_ACQUIRE_SHARED(...) TARNIX_THREAD_ANNOTATION(try_acquire_shared_capability(__VA_ARGS__))

// A function that checks at run time that the lock is held; one that returns
// the lock guarding its object.
#define ASSERT_CAPABILITY(x) TARNIX_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) TARNIX_THREAD_ANNOTATION(lock_returned(x))

// Turns the analysis off for one function. Every use says why the analysis
// cannot follow it.
#define NO_THREAD_SAFETY_ANALYSIS TARNIX_THREAD_ANNOTATION(no_thread_safety_analysis)
