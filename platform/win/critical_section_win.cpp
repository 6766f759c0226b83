// Windows side of the recursive lock: a critical section, which its owner
// may enter again.
#include "platform/critical_section.h"

#include "platform/win/win_headers.h"

namespace parcel::platform {
namespace {

static_assert(sizeof(CRITICAL_SECTION) <= kCriticalSectionSize);
static_assert(alignof(CRITICAL_SECTION) <= alignof(CriticalSection));

CRITICAL_SECTION* Section(CriticalSection* cs) {
  return reinterpret_cast<CRITICAL_SECTION*>(cs->storage);
}

}  // namespace

// Since Windows Vista InitializeCriticalSection cannot fail.
void CriticalSectionInit(CriticalSection* cs) noexcept { InitializeCriticalSection(Section(cs)); }

void CriticalSectionEnter(CriticalSection* cs) noexcept { EnterCriticalSection(Section(cs)); }

void CriticalSectionLeave(CriticalSection* cs) noexcept { LeaveCriticalSection(Section(cs)); }

void CriticalSectionDelete(CriticalSection* cs) noexcept { DeleteCriticalSection(Section(cs)); }

}  // namespace parcel::platform
