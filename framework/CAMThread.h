// A worker thread driven by synchronous commands: a client hands it one command at a time and
// waits for the worker's reply. The worker may peek at a pending command (CheckRequest) while
// busy and take it later (GetRequest); every command taken is answered by exactly one Reply.
//
// Threads: clients (any thread) call Create, CallWorker and Close, serialised by the access lock;
// the worker alone calls GetRequest, CheckRequest and Reply and never takes the access lock, so a
// client waiting in CallWorker cannot block it. Lock order: a caller's own locks, then the access
// lock.
#pragma once

#include <windows.h>

#include <atomic>

#include "platform/Platform.h"

namespace ovts {

class CAMThread {
 public:
  // E_OUTOFMEMORY through result (when given) if an event cannot be created.
  explicit CAMThread(HRESULT* result = nullptr) noexcept;

  // The worker's body; its result becomes the thread's exit code.
  virtual DWORD ThreadProc() = 0;
  // Waits for a running thread to end.
  virtual ~CAMThread();

  CAMThread(const CAMThread&) = delete;
  CAMThread& operator=(const CAMThread&) = delete;

  // Starts the thread; false when one exists already or it cannot start.
  bool Create();
  // Hands the worker one command and waits for its reply; E_FAIL when there is no thread.
  HRESULT CallWorker(DWORD command);
  // Worker: waits for the next command. The command stays pending until Reply.
  DWORD GetRequest();
  // Worker: true (and the command, when asked for) if one is pending; it stays pending.
  bool CheckRequest(DWORD* command);
  // Worker: answers the pending command.
  void Reply(HRESULT value);
  // Worker: waits until a command is pending (true) or `other` is signalled or the time is up.
  bool WaitForRequestOr(port::Event& other, uint32_t timeoutMs) {
    return port::Event::WaitEither(commandEvent_, other, timeoutMs) == 0;
  }
  // Signalled while a command is pending: a worker waiting for something else watches it too.
  port::Event& CommandEvent() noexcept { return commandEvent_; }
  // Waits for the thread to end and lets go of it. Of two racing callers only one waits.
  void Close();
  bool ThreadExists() const noexcept { return thread_.load() != nullptr; }

  // For the derived class's state shared with its worker.
  port::RecursiveLock& WorkerLock() noexcept { return workerLock_; }

 private:
  static DWORD WINAPI InitialThreadProc(void* self);

  port::Event commandEvent_{port::Event::Mode::kManualReset};  // set while a command is pending
  port::Event completeEvent_{port::Event::Mode::kAutoReset};   // set by the worker's reply
  DWORD command_ = 0;       // handed over by the command event
  HRESULT reply_ = S_OK;    // handed over by the completion event
  std::atomic<HANDLE> thread_{nullptr};  // atomic; null when no thread exists
  port::RecursiveLock accessLock_{port::LockRank::kThreadAccess, "thread access"};  // one client at a time
  port::RecursiveLock workerLock_{port::LockRank::kThreadWorker, "thread worker"};
};

}  // namespace ovts
