// ThreadSanitizer build only. std::timed_mutex and std::recursive_timed_mutex
// wait for a steady_clock deadline with pthread_mutex_clocklock, which the
// ThreadSanitizer runtimes of our compilers (GCC 12, clang 14) do not
// intercept: they never see the lock taken, report every unlock of the
// dbf file mutex as "unlock of an unlocked mutex" and lose the ordering the
// mutex gives, so real races behind it would go unseen. This definition,
// linked before the C library's, turns the call into the intercepted
// pthread_mutex_timedlock with the same remaining time on the real-time
// clock. The normal build keeps the C library's function.
#if defined(__SANITIZE_THREAD__)
#define OCELAM_TSAN_CLOCKLOCK 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define OCELAM_TSAN_CLOCKLOCK 1
#endif
#endif

#ifdef OCELAM_TSAN_CLOCKLOCK
#include <errno.h>
#include <pthread.h>
#include <time.h>

extern "C" int pthread_mutex_clocklock(pthread_mutex_t* mutex, clockid_t clock,
                                       const struct timespec* deadline) {
  if (deadline->tv_nsec < 0 || deadline->tv_nsec >= 1000000000L) return EINVAL;
  if (clock == CLOCK_REALTIME) return pthread_mutex_timedlock(mutex, deadline);
  if (clock != CLOCK_MONOTONIC) return EINVAL;
  constexpr long long kNs = 1000000000LL;
  timespec now{}, real{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  clock_gettime(CLOCK_REALTIME, &real);
  long long left = (deadline->tv_sec - now.tv_sec) * kNs + (deadline->tv_nsec - now.tv_nsec);
  if (left < 0) left = 0;
  long long until = real.tv_sec * kNs + real.tv_nsec + left;
  timespec real_deadline{static_cast<time_t>(until / kNs), static_cast<long>(until % kNs)};
  return pthread_mutex_timedlock(mutex, &real_deadline);
}
#endif
