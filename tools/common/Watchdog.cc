#include "tools/common/Watchdog.h"

#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#endif

namespace ovts::tools {

namespace {

[[noreturn]] void EndProcess(int exitCode) {
#ifdef _WIN32
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(exitCode));
#endif
  std::_Exit(exitCode);
}

}  // namespace

Watchdog::Watchdog(HangLine line, int exitCode) : line_(line), exitCode_(exitCode), thread_([this] { Run(); }) {}

Watchdog::~Watchdog() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    quit_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void Watchdog::Arm(const std::string& what, uint32_t limitMs) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    armed_ = true;
    what_ = what;
    limitMs_ = limitMs;
    deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  }
  changed_.notify_all();
}

void Watchdog::Disarm() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    armed_ = false;
  }
  changed_.notify_all();
}

void Watchdog::Run() {
  std::unique_lock<std::mutex> guard(mutex_);
  while (!quit_) {
    if (!armed_) {
      changed_.wait(guard);
    } else if (std::chrono::steady_clock::now() < deadline_) {
      changed_.wait_until(guard, deadline_);
    } else {
      const std::string line = line_(what_, limitMs_ / 1000);
      std::fputs(line.c_str(), stderr);
      std::fflush(stderr);
      EndProcess(exitCode_);
    }
  }
}

}  // namespace ovts::tools
