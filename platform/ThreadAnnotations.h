// Lock rules the compiler checks: clang's thread-safety analysis reads these attributes (the
// native-clang build runs it with -Wthread-safety -Werror over platform/, util/ and buffer/);
// other compilers see nothing. A field GUARDED_BY a lock is touched only with it held; a
// function that REQUIRES a lock is called with it held; ACQUIRED_AFTER writes the lock order
// where the locks are declared.
#pragma once

#if defined(__clang__)
#define OVTS_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define OVTS_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) OVTS_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY OVTS_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) OVTS_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) OVTS_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_AFTER(...) OVTS_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define ACQUIRED_BEFORE(...) OVTS_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define REQUIRES(...) OVTS_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) OVTS_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) OVTS_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) OVTS_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) OVTS_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) OVTS_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS OVTS_THREAD_ANNOTATION(no_thread_safety_analysis)
