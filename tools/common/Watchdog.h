// Ends the process when an armed operation outlives its limit, after one line on standard error
// that names it. The end is abrupt: the hung operation may hold locks that an orderly exit would
// wait for. One operation is armed at a time. Portable.
//
// Threads: any thread arms and disarms; the watchdog's own thread waits for the deadline.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace ovts::tools {

class Watchdog {
 public:
  // The line said for a hang, made from what was armed and its limit in whole seconds.
  using HangLine = std::string (*)(const std::string& what, uint32_t seconds);

  Watchdog(HangLine line, int exitCode);
  ~Watchdog();
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  void Arm(const std::string& what, uint32_t limitMs);
  void Disarm();

  // Holds the watchdog armed for one operation.
  class [[nodiscard]] Scope {
   public:
    Scope(Watchdog& dog, const std::string& what, uint32_t limitMs) : dog_(dog) { dog_.Arm(what, limitMs); }
    ~Scope() { dog_.Disarm(); }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    Watchdog& dog_;
  };

 private:
  void Run();

  const HangLine line_;
  const int exitCode_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool armed_ = false;                             // mutex_
  std::string what_;                               // mutex_
  uint32_t limitMs_ = 0;                           // mutex_
  std::chrono::steady_clock::time_point deadline_;  // mutex_
  bool quit_ = false;                              // mutex_
  std::thread thread_;
};

}  // namespace ovts::tools
