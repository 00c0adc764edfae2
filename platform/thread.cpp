#include "platform/thread.h"

#include <pthread.h>

#include <chrono>
#include <memory>
#include <thread>

namespace platform {
namespace {

// The sanitizers keep redzones and shadow frames on the stack; give them room
// so the instrumented build measures our code, not its own overhead.
// ThreadSanitizer's frames are larger too, and it builds and symbolizes its
// reports (two stacks each with second_deadlock_stack) on the stack of the
// thread that raced: a report must not become a stack overflow that hides it.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kStackScale = 4;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr std::size_t kStackScale = 4;
#else
constexpr std::size_t kStackScale = 1;
#endif
#else
constexpr std::size_t kStackScale = 1;
#endif

void* Trampoline(void* arg) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
  (*body)();
  return nullptr;
}

}  // namespace

Status StartThread(std::function<void()> body) {
  pthread_attr_t attr;
  if (int rc = pthread_attr_init(&attr); rc != 0) return Status::FromErrno(rc);
  pthread_attr_setstacksize(&attr, kThreadStackSize * kStackScale);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  auto* heap_body = new std::function<void()>(std::move(body));
  pthread_t id;
  int rc = pthread_create(&id, &attr, Trampoline, heap_body);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete heap_body;
    return Status::FromErrno(rc);
  }
  return {};
}

void SleepMs(long long milliseconds) {
  if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace platform
