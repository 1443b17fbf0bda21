#include "platform/LockRankCheck.h"

#ifdef OVTS_LOCK_RANKS
#include <cstdio>
#include <cstdlib>

namespace ovts::port::ranks {

namespace {
constexpr int kMaxHeld = 32;  // ranked locks one thread holds at once, re-takings included
struct Held {
  const RecursiveLock* locks[kMaxHeld];
  int count = 0;
};
thread_local Held t_held;

[[noreturn]] void Abort(const char* what, const RecursiveLock& taking, const RecursiveLock* holding) {
  char text[256];
  char held[96] = "";
  if (holding)
    std::snprintf(held, sizeof held, " while holding %s (rank %d)", holding->name(), static_cast<int>(holding->rank()));
  std::snprintf(text, sizeof text, "lock order: %s %s (rank %d)%s\n", what, taking.name(),
                static_cast<int>(taking.rank()), held);
  DebugOutput(text);
  std::fputs(text, stderr);
  std::abort();
}
}  // namespace

void BeforeLock(const RecursiveLock& lock) {
  if (lock.rank() == LockRank::kNone) return;
  for (int i = 0; i < t_held.count; ++i)
    if (t_held.locks[i] == &lock) return;  // taken again by its holder
  // Locks of one rank may nest (two filters' state locks, upstream then downstream, while pins
  // connect): only a lock of a higher rank held is out of order.
  for (int i = 0; i < t_held.count; ++i)
    if (t_held.locks[i]->rank() > lock.rank()) Abort("taking", lock, t_held.locks[i]);
}

void Acquired(const RecursiveLock& lock) {
  if (lock.rank() == LockRank::kNone) return;
  if (t_held.count == kMaxHeld) Abort("too many held locks at", lock, nullptr);
  t_held.locks[t_held.count++] = &lock;
}

void Released(const RecursiveLock& lock) {
  if (lock.rank() == LockRank::kNone) return;
  for (int i = t_held.count - 1; i >= 0; --i) {
    if (t_held.locks[i] != &lock) continue;
    for (int j = i; j + 1 < t_held.count; ++j) t_held.locks[j] = t_held.locks[j + 1];
    --t_held.count;
    return;
  }
  Abort("releasing a lock not held:", lock, nullptr);
}

}  // namespace ovts::port::ranks
#endif
