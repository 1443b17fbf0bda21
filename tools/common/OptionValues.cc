#include "tools/common/OptionValues.h"

#include <cstdio>
#include <cstdlib>

namespace ovts::tools {

namespace {

// The first problem with the options, or empty; *help when the help was asked for.
std::string Walk(int argc, char** argv, const std::vector<BenchOption>& options, bool* help) {
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--help") {
      *help = true;
      return {};
    }
    const BenchOption* option = nullptr;
    for (const BenchOption& candidate : options)
      if (name == candidate.name) option = &candidate;
    if (!option) return "unknown option " + name;
    const char* value = option->flag ? nullptr : i + 1 < argc ? argv[++i] : nullptr;
    if (!option->flag && !value) return "missing value for " + name;
    if (!option->take(value)) return "bad value for " + name + ": " + value;
  }
  return {};
}

}  // namespace

std::optional<int> ReadOptions(int argc, char** argv, const char* program, const char* usage,
                               const std::vector<BenchOption>& options, int badStatus,
                               const std::function<std::string()>& finish) {
  bool help = false;
  std::string error = Walk(argc, argv, options, &help);
  if (help) {
    std::fputs(usage, stdout);
    return 0;
  }
  if (error.empty() && finish) error = finish();
  if (error.empty()) return std::nullopt;
  std::fprintf(stderr, "%s: %s (see --help)\n", program, error.c_str());
  return badStatus;
}

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
