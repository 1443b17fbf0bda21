#include "framework/CAMThread.h"

#include "framework/ComKit.h"

namespace ovts {

CAMThread::CAMThread(HRESULT* result) noexcept {
  if (result && (!commandEvent_.valid() || !completeEvent_.valid())) *result = E_OUTOFMEMORY;
}

CAMThread::~CAMThread() { Close(); }

bool CAMThread::Create() {
  port::LockGuard guard(accessLock_);
  if (ThreadExists()) return false;
  HANDLE thread = CreateThread(nullptr, 0, InitialThreadProc, this, 0, nullptr);
  if (!thread) return false;
  thread_.store(thread);
  return true;
}

DWORD WINAPI CAMThread::InitialThreadProc(void* self) {
  // Found in the already loaded module rather than bound at link time, so that a host without
  // COM loaded does not get it loaded by a worker thread.
  using CoInitializeExFn = HRESULT(WINAPI*)(void*, DWORD);
  using CoUninitializeFn = void(WINAPI*)();
  HMODULE ole = GetModuleHandleW(L"ole32.dll");
  HRESULT joined = E_FAIL;
  CoUninitializeFn leave = nullptr;
  if (ole) {
    auto join = reinterpret_cast<CoInitializeExFn>(reinterpret_cast<void (*)()>(GetProcAddress(ole, "CoInitializeEx")));
    leave = reinterpret_cast<CoUninitializeFn>(reinterpret_cast<void (*)()>(GetProcAddress(ole, "CoUninitialize")));
    if (join) joined = join(nullptr, COINIT_MULTITHREADED | COINIT_DISABLE_OLE1DDE);
  }
  const DWORD exitCode = static_cast<CAMThread*>(self)->ThreadProc();
  if (SUCCEEDED(joined) && leave) leave();
  return exitCode;
}

HRESULT CAMThread::CallWorker(DWORD command) {
  port::LockGuard guard(accessLock_);
  RETURN_HR_IF(E_FAIL, !ThreadExists());
  command_ = command;
  commandEvent_.Set();
  completeEvent_.Wait(port::kInfinite);
  return reply_;
}

DWORD CAMThread::GetRequest() {
  commandEvent_.Wait(port::kInfinite);
  return command_;
}

bool CAMThread::CheckRequest(DWORD* command) {
  if (!commandEvent_.Wait(0)) return false;
  if (command) *command = command_;
  return true;
}

void CAMThread::Reply(HRESULT value) {
  reply_ = value;
  commandEvent_.Reset();
  completeEvent_.Set();
}

void CAMThread::Close() {
  UniqueHandle thread(thread_.exchange(nullptr));
  if (thread) WaitForSingleObject(thread.get(), INFINITE);
}

}  // namespace ovts
