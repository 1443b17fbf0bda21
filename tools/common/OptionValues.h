// The benchmarks' command lines: "--help", flags and "--name value" options, each option with
// the function that takes its value; strict number values, where the whole text must be the
// number within its range. Portable.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ovts::tools {

struct BenchOption {
  const char* name;
  // Takes the option's text (null for a flag); false when the value is bad.
  std::function<bool(const char* value)> take;
  bool flag = false;
};

// Reads the command line: "--help" prints usage; a bad option, or a problem finish (when given)
// finds in them together, is said on standard error as "PROGRAM: WHY (see --help)". Empty to go
// on; otherwise the exit status to end with (0 after the help, badStatus after a problem).
std::optional<int> ReadOptions(int argc, char** argv, const char* program, const char* usage,
                               const std::vector<BenchOption>& options, int badStatus,
                               const std::function<std::string()>& finish = nullptr);

// A decimal whole number in [0, max] (max at most 2^32 - 1).
bool ParseUnsigned(const char* text, uint64_t max, uint32_t* out);
// A decimal number in [min, 1e9].
bool ParseNumber(const char* text, double min, double* out);

}  // namespace ovts::tools
