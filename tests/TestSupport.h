// Small helpers shared by the test programs.
#pragma once

#include <string>

#include "platform/Platform.h"

namespace ovts::test {

// Waits for another thread's progress: checks `done` every millisecond. False when the deadline
// passes first.
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

// A directory of the test's own on drive C ("C:\ovts-test-<name>\"), created when missing.
inline std::string MakeTestDir(const std::string& name) {
  std::string dir = "C:\\ovts-test-" + name;
  port::MakeDirectory(dir.c_str());
  return dir + "\\";
}

}  // namespace ovts::test
