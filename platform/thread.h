#pragma once
// Every long-running thread of the gateway is detached and runs on a
// 0x20000-byte stack; large buffers therefore live on the heap.
#include <cstddef>
#include <functional>

#include "platform/status.h"

namespace platform {

inline constexpr std::size_t kThreadStackSize = 0x20000;

// Starts `body` on a new detached thread. Fails, with the system's reason,
// when the thread cannot be created (the body is then not run).
Status StartThread(std::function<void()> body);

// Sleeps the calling thread; nothing for 0 or less.
void SleepMs(long long milliseconds);

}  // namespace platform
