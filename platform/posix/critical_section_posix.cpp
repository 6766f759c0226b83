// POSIX side of the recursive lock: a pthread mutex of the recursive type.
#include "platform/critical_section.h"

#include <pthread.h>

namespace parcel::platform {
namespace {

static_assert(sizeof(pthread_mutex_t) <= kCriticalSectionSize);
static_assert(alignof(pthread_mutex_t) <= alignof(CriticalSection));

pthread_mutex_t* Mutex(CriticalSection* cs) {
  return reinterpret_cast<pthread_mutex_t*>(cs->storage);
}

}  // namespace

void CriticalSectionInit(CriticalSection* cs) noexcept {
  // Neither call can fail for a recursive mutex with default attributes on the
  // supported systems; a critical section cannot fail either, so there is no
  // error path to offer callers.
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(Mutex(cs), &attr);
  pthread_mutexattr_destroy(&attr);
}

void CriticalSectionEnter(CriticalSection* cs) noexcept { pthread_mutex_lock(Mutex(cs)); }

void CriticalSectionLeave(CriticalSection* cs) noexcept { pthread_mutex_unlock(Mutex(cs)); }

void CriticalSectionDelete(CriticalSection* cs) noexcept { pthread_mutex_destroy(Mutex(cs)); }

}  // namespace parcel::platform
