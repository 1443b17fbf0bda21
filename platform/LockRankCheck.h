// Inside the platform layer: the lock-order check of builds with OVTS_LOCK_RANKS. Each thread
// keeps the ranked locks it holds; taking one whose rank is not above every other held lock's
// aborts with both names. Nothing happens in other builds.
#pragma once

#include "platform/Platform.h"

namespace ovts::port::ranks {

#ifdef OVTS_LOCK_RANKS
// Before a blocking Lock: aborts on a lock taken out of order.
void BeforeLock(const RecursiveLock& lock);
// After a Lock or a successful TryLock.
void Acquired(const RecursiveLock& lock);
void Released(const RecursiveLock& lock);
#else
inline void BeforeLock(const RecursiveLock&) {}
inline void Acquired(const RecursiveLock&) {}
inline void Released(const RecursiveLock&) {}
#endif

}  // namespace ovts::port::ranks
