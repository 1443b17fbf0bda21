#include "tools/common/OptionValues.h"

#include <cstdlib>

namespace ovts::tools {

bool ParseUnsigned(const char* text, uint64_t max, uint32_t* out) {
  char* end = nullptr;
  if (!text || !*text || *text == '-') return false;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (*end || value > max) return false;
  *out = static_cast<uint32_t>(value);
  return true;
}

bool ParseNumber(const char* text, double min, double* out) {
  char* end = nullptr;
  if (!text || !*text) return false;
  const double value = std::strtod(text, &end);
  if (*end || !(value >= min) || value > 1e9) return false;
  *out = value;
  return true;
}

}  // namespace ovts::tools
