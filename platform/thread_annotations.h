#pragma once
// Clang's thread-safety attributes: the data a mutex guards says so, and the
// compiler (clang with -Wthread-safety) refuses code that touches it without
// holding that mutex. Other compilers see nothing.
#if defined(__clang__)
#define OCELAM_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define OCELAM_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) OCELAM_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY OCELAM_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) OCELAM_THREAD_ANNOTATION(guarded_by(x))
#define REQUIRES(...) OCELAM_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) OCELAM_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) OCELAM_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) OCELAM_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) OCELAM_THREAD_ANNOTATION(assert_capability(x))
#define NO_THREAD_SAFETY_ANALYSIS OCELAM_THREAD_ANNOTATION(no_thread_safety_analysis)
