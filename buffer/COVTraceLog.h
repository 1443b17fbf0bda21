// The maker's level-gated trace file. Each line is appended by opening the file, writing
// "<seconds since 1970>  <message>" and closing it again, so a crash loses nothing. Silent unless
// a build raises the level to that of the messages (3 for every buffer message).
// Any thread may call Write; SetFile and SetLevel are for whoever owns the log.
#pragma once

#include <cstdint>

#include "buffer/RelaxedAtomic.h"
#include "platform/Platform.h"
#include "util/COVStringT.h"

namespace ovts {

class COVTraceLog {
 public:
  static constexpr const char* kDefaultFile = "c:\\buftrace.txt";

  COVTraceLog();
  virtual ~COVTraceLog();
  COVTraceLog(const COVTraceLog&) = delete;
  COVTraceLog& operator=(const COVTraceLog&) = delete;

  // Logs to `path` from now on; deletes the file first when `deleteFile` is true.
  void SetFile(const char* path, bool deleteFile);
  void SetLevel(int32_t level) { level_ = level; }
  int32_t level() const { return level_; }

  // Appends one line when the log's level is at least `level`; a file that cannot be opened is
  // skipped. The message is cut at 1024 characters.
  void Write(int32_t level, const char* format, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 3, 4)))
#endif
      ;

 private:
  port::RecursiveLock lock_;      // serialises appends and guards path_
  COVStringT path_;               // lock_
  RelaxedAtomic<int32_t> level_;  // atomic
};

}  // namespace ovts
