// Counter stamps of one memory-buffer call (how long it waited for its lock, how long it copied,
// how long it took) and the short text report made from them when a call was too slow.
// A record is stamped and formatted by one thread only: the thread making the calls it measures.
#pragma once

#include <cstdint>

#include "platform/Platform.h"

namespace ovts {

struct TSInstrumentationRecord {
  static constexpr int kTextSize = 512;

  int64_t start = 0;     // the call began
  int64_t reserved = 0;  // the call held its lock and had reserved its piece
  int64_t copied = 0;    // the data was copied
  int64_t end = 0;       // the call was about to return
  int64_t ticksPerMicrosecond = 0;
  const char* name = nullptr;  // "Read" or "Write"
  char text[kTextSize] = {};

  void ClearStamps() { start = reserved = copied = end = 0; }
  // Writes the report into text and returns it.
  const char* Format();
};

using CounterFunction = int64_t (*)();

// Reads the counter into `field`; a counter that reads 0 is read again, at most three reads in all.
void TSStamp(int64_t& field, CounterFunction counter = &port::PerformanceCounter);

}  // namespace ovts
