// Clang thread-safety annotations (checked with -Wthread-safety in the clang
// builds; empty elsewhere). Put GUARDED_BY on every member a lock guards and
// REQUIRES on helpers that expect a lock held.
#pragma once

#if defined(__clang__)
#define KM_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KM_THREAD_ANNOTATION(x)
#endif

#define KM_CAPABILITY(x) KM_THREAD_ANNOTATION(capability(x))
#define KM_SCOPED_CAPABILITY KM_THREAD_ANNOTATION(scoped_lockable)
#define KM_GUARDED_BY(x) KM_THREAD_ANNOTATION(guarded_by(x))
#define KM_PT_GUARDED_BY(x) KM_THREAD_ANNOTATION(pt_guarded_by(x))
#define KM_REQUIRES(...) KM_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define KM_EXCLUDES(...) KM_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define KM_ACQUIRE(...) KM_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define KM_RELEASE(...) KM_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define KM_TRY_ACQUIRE(...) KM_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define KM_NO_THREAD_SAFETY_ANALYSIS KM_THREAD_ANNOTATION(no_thread_safety_analysis)
