// The project's lock order, written once: a thread may take a lock only while no lock it holds
// has a higher rank. Locks of one rank are of one kind in different objects (two filters' state
// locks nest while their pins connect). Builds with OVTS_LOCK_RANKS (debug
// builds, and the sanitizer and debug test builds) check it at every Lock and abort with both
// locks' names; ranks 0 are not checked. Each lock's declaration names its rank.
#pragma once

namespace ovts::port {

enum class LockRank : int {
  kNone = 0,
  kFilterState = 100,    // a source filter's state lock (CSource), the framework's filter lock
  kPlayback = 200,       // the time-shift filter's playback lock
  kReceive = 300,        // the time-shift filter's receive lock
  kThreadWorker = 350,   // a command thread's worker lock (the pull reader's control lock)
  kThreadAccess = 360,   // a command thread's access lock (one client at a time)
  kSettingsPath = 400,   // the control interface's settings key path
  kExporter = 450,       // the exporter's lifecycle lock (held while it ends its thread)
  kBufferWrite = 500,    // the file buffer's write, read, I/O and state locks, in this order
  kBufferRead = 510,
  kBufferWriteIo = 520,
  kBufferReadIo = 530,
  kBufferState = 540,
  kCacheWrite = 600,     // a memory buffer's (a cache's) write, read and state locks
  kCacheRead = 610,
  kCacheState = 620,
  kClockIndex = 700,     // the file buffer's time index: a leaf
};

}  // namespace ovts::port
