#include "buffer/TSInstrumentationRecord.h"

#include <cinttypes>
#include <cstdio>

namespace ovts {

const char* TSInstrumentationRecord::Format() {
  // A counter slower than 1 MHz would give 0 ticks per microsecond; count whole ticks instead of
  // dividing by zero.
  const int64_t perUs = ticksPerMicrosecond > 0 ? ticksPerMicrosecond : 1;
  const char* n = name ? name : "";
  std::snprintf(text, sizeof text,
                "          CCircMemBuf::%s Instrumentation\n"
                "               LockFor4%s time:       %" PRId64
                " uS\n"
                "               MemCopy time:         %" PRId64
                " uS\n"
                "               Total to complete:    %" PRId64 " uS\n",
                n, n, (reserved - start) / perUs, (copied - reserved) / perUs, (end - start) / perUs);
  return text;
}

void TSStamp(int64_t& field, CounterFunction counter) {
  field = 0;
  for (int attempt = 0; attempt < 3 && field == 0; ++attempt) field = counter();
}

}  // namespace ovts
