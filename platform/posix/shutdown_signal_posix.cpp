// Stop requests on POSIX: SIGINT and SIGTERM are blocked and taken by a
// thread of our own with sigtimedwait, so no code runs in a signal handler.
#include "platform/shutdown_signal.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <thread>

namespace parcel::platform {
namespace {

struct Watch {
  std::thread thread;
  std::atomic<bool> ending{false};
  sigset_t signals;
  sigset_t previous;
};
Watch* g_watch = nullptr;

void Run(Watch* watch, void (*on_signal)(void*), void* context) {
  bool signalled = false;
  const timespec interval{0, 100 * 1000 * 1000};
  while (!watch->ending.load(std::memory_order_acquire)) {
    const int got = sigtimedwait(&watch->signals, nullptr, &interval);
    if (got > 0 && !signalled) {
      signalled = true;
      on_signal(context);
    }
  }
}

}  // namespace

bool WatchShutdownSignal(void (*on_signal)(void* context), void* context) {
  if (g_watch != nullptr || on_signal == nullptr) return false;
  auto* watch = new Watch;
  sigemptyset(&watch->signals);
  sigaddset(&watch->signals, SIGINT);
  sigaddset(&watch->signals, SIGTERM);
  if (pthread_sigmask(SIG_BLOCK, &watch->signals, &watch->previous) != 0) {
    delete watch;
    return false;
  }
  watch->thread = std::thread(Run, watch, on_signal, context);
  g_watch = watch;
  return true;
}

void EndShutdownWatch() {
  Watch* watch = g_watch;
  if (watch == nullptr) return;
  g_watch = nullptr;
  watch->ending.store(true, std::memory_order_release);
  watch->thread.join();
  pthread_sigmask(SIG_SETMASK, &watch->previous, nullptr);
  delete watch;
}

}  // namespace parcel::platform
