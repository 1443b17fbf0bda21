// Helpers shared by the buffer tests: configuration records, waiting for a worker's progress,
// and pattern bytes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "OVTimeShiftTypes.h"
#include "platform/Platform.h"
#include "tools/common/StreamPattern.h"

namespace ovts::test {

// A TSBufferConfig that owns its two strings.
struct OwnedConfig {
  TSBufferConfig config{};
  OwnedConfig(const std::string& directory, const std::string& fileName, uint32_t sizeKB,
              uint32_t options = 0, uint32_t minFreeMB = 0) {
    config.directory = port::NarrowToBstr(directory.c_str());
    config.fileName = port::NarrowToBstr(fileName.c_str());
    config.sizeKB = sizeKB;
    config.minFreeMB = minFreeMB;
    config.options = options;
  }
  ~OwnedConfig() {
    port::FreeString(config.directory);
    port::FreeString(config.fileName);
  }
  OwnedConfig(const OwnedConfig&) = delete;
  OwnedConfig& operator=(const OwnedConfig&) = delete;
  const TSBufferConfig* get() const { return &config; }
};

// Waits for a worker thread's progress: checks `done` every millisecond.
// False when the deadline passes first.
template <typename Pred>
bool WaitUntil(Pred done, uint32_t timeoutMs = 20000) {
  port::Event tick(port::Event::Mode::kAutoReset);  // never set: its timeout paces the checks
  const int64_t frequency = port::PerformanceFrequency();
  const int64_t deadline = port::PerformanceCounter() + frequency / 1000 * timeoutMs;
  while (!done()) {
    if (port::PerformanceCounter() > deadline) return false;
    tick.Wait(1);
  }
  return true;
}

inline std::vector<uint8_t> PatternBytes(uint64_t position, size_t length) {
  std::vector<uint8_t> bytes(length);
  tools::FillPattern(bytes.data(), position, length);
  return bytes;
}

}  // namespace ovts::test
