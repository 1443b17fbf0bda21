#include "platform/Result.h"

#include <cstdio>

namespace ovts {

#ifndef NDEBUG
void ReportFailure(const char* file, int line, HRESULT hr) noexcept {
  char text[320];
  std::snprintf(text, sizeof text, "%s(%d): failure 0x%08X\n", file, line, static_cast<unsigned>(hr));
  port::DebugOutput(text);
}
#endif

}  // namespace ovts
