// Stop requests on Windows: a console control handler, which the system
// calls on a thread of its own.
#include "platform/shutdown_signal.h"

#include <atomic>
#include <mutex>

#include "platform/win/win_headers.h"

namespace parcel::platform {
namespace {

std::mutex g_mutex;  // held while the callback runs, so the end can wait for it
void (*g_on_signal)(void*) = nullptr;
void* g_context = nullptr;
std::atomic<bool> g_signalled{false};

BOOL WINAPI Handler(DWORD kind) {
  switch (kind) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: break;
    default: return FALSE;
  }
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_on_signal != nullptr && !g_signalled.exchange(true)) g_on_signal(g_context);
  return TRUE;
}

}  // namespace

bool WatchShutdownSignal(void (*on_signal)(void* context), void* context) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_on_signal != nullptr || on_signal == nullptr) return false;
  if (!SetConsoleCtrlHandler(Handler, TRUE)) return false;
  g_on_signal = on_signal;
  g_context = context;
  g_signalled = false;
  return true;
}

void EndShutdownWatch() {
  SetConsoleCtrlHandler(Handler, FALSE);
  std::lock_guard<std::mutex> lock(g_mutex);
  g_on_signal = nullptr;
  g_context = nullptr;
}

}  // namespace parcel::platform
