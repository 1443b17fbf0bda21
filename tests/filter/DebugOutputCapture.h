// Collects what this process sends to the debugger. OutputDebugStringA raises a first-chance
// exception that a vectored handler sees before any debugger would; the handler keeps the text
// and lets the call return. Any thread may send; tests wait for a text on a condition variable.
#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace ovts::test {

class DebugOutputCapture {
 public:
  DebugOutputCapture() {
    current_.store(this);
    handler_ = AddVectoredExceptionHandler(1, &Handler);
  }
  ~DebugOutputCapture() {
    RemoveVectoredExceptionHandler(handler_);
    current_.store(nullptr);
  }
  DebugOutputCapture(const DebugOutputCapture&) = delete;
  DebugOutputCapture& operator=(const DebugOutputCapture&) = delete;

  // Messages that contain `text`.
  int Count(const std::string& text) {
    std::lock_guard<std::mutex> guard(mutex_);
    return CountLocked(text);
  }
  // Waits until `count` messages contain `text`; false at the timeout.
  bool WaitFor(const std::string& text, int count, DWORD timeoutMs) {
    std::unique_lock<std::mutex> guard(mutex_);
    return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return CountLocked(text) >= count; });
  }

 private:
  static LONG CALLBACK Handler(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    DebugOutputCapture* self = current_.load();
    if (record->ExceptionCode != DBG_PRINTEXCEPTION_C || record->NumberParameters < 2 || !self)
      return EXCEPTION_CONTINUE_SEARCH;
    {
      std::lock_guard<std::mutex> guard(self->mutex_);
      self->messages_.emplace_back(reinterpret_cast<const char*>(record->ExceptionInformation[1]));
    }
    self->changed_.notify_all();
    return EXCEPTION_CONTINUE_EXECUTION;
  }

  int CountLocked(const std::string& text) const {
    int count = 0;
    for (const std::string& message : messages_) count += message.find(text) != std::string::npos;
    return count;
  }

  static inline std::atomic<DebugOutputCapture*> current_{nullptr};  // atomic
  void* handler_ = nullptr;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> messages_;  // mutex_
};

}  // namespace ovts::test
