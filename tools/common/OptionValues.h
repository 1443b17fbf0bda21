// Strict number values of the benchmarks' command-line options: the whole text must be the
// number, within its range. Portable; pure functions.
#pragma once

#include <cstdint>

namespace ovts::tools {

// A decimal whole number in [0, max] (max at most 2^32 - 1).
bool ParseUnsigned(const char* text, uint64_t max, uint32_t* out);
// A decimal number in [min, 1e9].
bool ParseNumber(const char* text, double min, double* out);

}  // namespace ovts::tools
