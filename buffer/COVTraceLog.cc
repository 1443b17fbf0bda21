#include "buffer/COVTraceLog.h"

#include "OVTimeShiftTypes.h"

#include <cstdarg>
#include <cstdio>

namespace ovts {

namespace {
constexpr int64_t kUnixEpoch100ns = 116444736000000000LL;  // 1970-01-01 in 100-ns units since 1601
}  // namespace

COVTraceLog::COVTraceLog() : path_(kDefaultFile), level_(0) {}

COVTraceLog::~COVTraceLog() = default;

void COVTraceLog::SetFile(const char* path, bool deleteFile) {
  port::LockGuard guard(lock_);
  path_ = path;
  if (deleteFile) port::DeleteFileAt(path_.c_str());
}

void COVTraceLog::Write(int32_t level, const char* format, ...) {
  if (level_ < level) return;
  char message[1025];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  const auto seconds = static_cast<int>((port::SystemTime100ns() - kUnixEpoch100ns) / TS_UNITS_PER_SECOND);

  port::LockGuard guard(lock_);
  std::FILE* file = std::fopen(port::HostPath(path_.c_str()).c_str(), "a");
  if (!file) return;
  std::fprintf(file, "%d  %s\n", seconds, message);
  std::fclose(file);
}

}  // namespace ovts
