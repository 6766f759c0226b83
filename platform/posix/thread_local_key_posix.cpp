// POSIX side of the thread-local keys: pthread keys, whose destructors the
// threads library runs at thread end (up to PTHREAD_DESTRUCTOR_ITERATIONS rounds).
#include "platform/thread_local_key.h"

#include <pthread.h>

#include <type_traits>

namespace parcel::platform {

static_assert(std::is_integral_v<pthread_key_t> && sizeof(pthread_key_t) <= sizeof(TlsKey),
              "pthread keys must fit the 32-bit key numbers");

bool TlsKeyCreate(TlsKey* key, TlsDestructor destructor) noexcept {
  pthread_key_t k;
  if (pthread_key_create(&k, destructor) != 0) return false;
  if (static_cast<TlsKey>(k) == kInvalidTlsKey) {
    // Never seen in practice; the value is reserved for "no key".
    pthread_key_delete(k);
    return false;
  }
  *key = static_cast<TlsKey>(k);
  return true;
}

bool TlsKeyDelete(TlsKey key) noexcept {
  return pthread_key_delete(static_cast<pthread_key_t>(key)) == 0;
}

bool TlsKeySetValue(TlsKey key, void* value) noexcept {
  return pthread_setspecific(static_cast<pthread_key_t>(key), value) == 0;
}

void* TlsKeyGetValue(TlsKey key) noexcept {
  return pthread_getspecific(static_cast<pthread_key_t>(key));
}

}  // namespace parcel::platform
