// Win32 implementation of the platform layer.
#include <windows.h>
#include <oleauto.h>

#include <cstring>
#include <cwchar>

#include "platform/FileFaultHook.h"
#include "platform/LockRankCheck.h"
#include "platform/Platform.h"

namespace ovts::port {

static_assert(sizeof(CRITICAL_SECTION) <= 64, "RecursiveLock storage too small");

namespace {
// True when the fault hook fails this operation; the simulated error is then the last error.
bool Injected(FileOp op) {
  switch (CheckFileFault(op)) {
    case FileFault::kNone:
      return false;
    case FileFault::kDiskFull:
      ::SetLastError(ERROR_DISK_FULL);
      return true;
    case FileFault::kIoError:
      ::SetLastError(ERROR_WRITE_FAULT);
      return true;
  }
  return false;
}

CRITICAL_SECTION* Cs(unsigned char* storage) { return reinterpret_cast<CRITICAL_SECTION*>(storage); }
}  // namespace

RecursiveLock::RecursiveLock() { InitializeCriticalSection(Cs(storage_)); }
RecursiveLock::RecursiveLock(LockRank rank, const char* name) : RecursiveLock() {
  rank_ = rank;
  name_ = name;
}
RecursiveLock::~RecursiveLock() { DeleteCriticalSection(Cs(storage_)); }
void RecursiveLock::Lock() {
  ranks::BeforeLock(*this);
  EnterCriticalSection(Cs(storage_));
  ranks::Acquired(*this);
}
bool RecursiveLock::TryLock() {
  if (!TryEnterCriticalSection(Cs(storage_))) return false;
  ranks::Acquired(*this);
  return true;
}
void RecursiveLock::Unlock() {
  ranks::Released(*this);
  LeaveCriticalSection(Cs(storage_));
}

Event::Event(Mode mode, bool signalled)
    : handle_(CreateEventW(nullptr, mode == Mode::kManualReset, signalled, nullptr)) {}
Event::~Event() {
  if (handle_) CloseHandle(handle_);
}
void Event::Set() { SetEvent(handle_); }
void Event::Reset() { ResetEvent(handle_); }
bool Event::Wait(uint32_t timeoutMs) { return WaitForSingleObject(handle_, timeoutMs) == WAIT_OBJECT_0; }
int Event::WaitEither(Event& a, Event& b, uint32_t timeoutMs) {
  HANDLE handles[2] = {a.handle_, b.handle_};
  DWORD r = WaitForMultipleObjects(2, handles, FALSE, timeoutMs);
  if (r == WAIT_OBJECT_0) return 0;
  if (r == WAIT_OBJECT_0 + 1) return 1;
  return -1;
}

namespace {
struct ThreadStart {
  Thread::Body body;
  void* arg;
};
DWORD WINAPI ThreadEntry(void* p) {
  ThreadStart start = *static_cast<ThreadStart*>(p);
  delete static_cast<ThreadStart*>(p);
  return start.body(start.arg);
}
}  // namespace

Thread::~Thread() { Join(kInfinite); }

bool Thread::Start(Body body, void* arg) {
  if (handle_) return false;
  auto* start = new (std::nothrow) ThreadStart{body, arg};
  if (!start) return false;
  DWORD id = 0;
  HANDLE h = CreateThread(nullptr, 0, ThreadEntry, start, 0, &id);
  if (!h) {
    delete start;
    return false;
  }
  handle_ = h;
  id_ = id;
  return true;
}

bool Thread::Join(uint32_t timeoutMs) {
  if (!handle_) return true;
  if (WaitForSingleObject(handle_, timeoutMs) != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  GetExitCodeThread(handle_, &code);
  exitCode_ = code;
  CloseHandle(handle_);
  handle_ = nullptr;
  id_ = 0;
  return true;
}

bool Thread::IsCurrent() const { return handle_ && id_ == GetCurrentThreadId(); }

bool File::Open(const char* path, unsigned flags) {
  Close();
  DWORD attributes = FILE_ATTRIBUTE_NORMAL;
  if (flags & kRandomAccess) attributes |= FILE_FLAG_RANDOM_ACCESS;
  if (flags & kDeleteOnClose) attributes |= FILE_FLAG_DELETE_ON_CLOSE;
  const DWORD share = (flags & kExclusive) ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE;
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_ALWAYS, attributes, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  handle_ = reinterpret_cast<intptr_t>(h);
  return true;
}

bool File::Duplicate(const File& other) {
  Close();
  HANDLE out = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), reinterpret_cast<HANDLE>(other.handle_), GetCurrentProcess(),
                       &out, 0, FALSE, DUPLICATE_SAME_ACCESS))
    return false;
  handle_ = reinterpret_cast<intptr_t>(out);
  return true;
}

void File::Close() {
  if (handle_ == kNone) return;
  CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = kNone;
}

bool File::Seek(int64_t offset, From from, int64_t* newPosition) {
  static const DWORD kMethod[] = {FILE_BEGIN, FILE_CURRENT, FILE_END};
  if (Injected(FileOp::kSeek)) {
    if (newPosition) *newPosition = 0;
    return false;
  }
  LARGE_INTEGER distance, result;
  distance.QuadPart = offset;
  result.QuadPart = 0;
  BOOL ok = SetFilePointerEx(reinterpret_cast<HANDLE>(handle_), distance, &result,
                             kMethod[static_cast<int>(from)]);
  if (newPosition) *newPosition = ok ? result.QuadPart : 0;
  return ok != FALSE;
}

bool File::SetEnd() { return SetEndOfFile(reinterpret_cast<HANDLE>(handle_)) != FALSE; }

bool File::Read(void* dest, uint32_t length, uint32_t* read) {
  *read = 0;
  if (Injected(FileOp::kRead)) return false;
  DWORD got = 0;
  BOOL ok = ReadFile(reinterpret_cast<HANDLE>(handle_), dest, length, &got, nullptr);
  *read = got;
  return ok != FALSE;
}

bool File::Write(const void* data, uint32_t length, uint32_t* written) {
  *written = 0;
  if (Injected(FileOp::kWrite)) return false;
  DWORD put = 0;
  BOOL ok = WriteFile(reinterpret_cast<HANDLE>(handle_), data, length, &put, nullptr);
  *written = put;
  return ok != FALSE && put == length;
}

namespace {
OVERLAPPED At(int64_t offset) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset));
  at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
  return at;
}
}  // namespace

// A synchronous handle with an offset in OVERLAPPED reads and writes there.
bool File::ReadAt(int64_t offset, void* dest, uint32_t length, uint32_t* read) {
  *read = 0;
  if (Injected(FileOp::kRead)) return false;
  OVERLAPPED at = At(offset);
  DWORD got = 0;
  const BOOL ok = ReadFile(reinterpret_cast<HANDLE>(handle_), dest, length, &got, &at);
  *read = got;
  return ok != FALSE || GetLastError() == ERROR_HANDLE_EOF;
}

bool File::WriteAt(int64_t offset, const void* data, uint32_t length, uint32_t* written) {
  *written = 0;
  if (Injected(FileOp::kWrite)) return false;
  OVERLAPPED at = At(offset);
  DWORD put = 0;
  const BOOL ok = WriteFile(reinterpret_cast<HANDLE>(handle_), data, length, &put, &at);
  *written = put;
  return ok != FALSE && put == length;
}

uint32_t LastError() { return GetLastError(); }
void ClearLastError() { ::SetLastError(0); }
void SetLastError(uint32_t code) { ::SetLastError(code); }

bool FreeDiskSpace(const char* root, uint64_t* freeBytes) {
  if (Injected(FileOp::kFreeSpace)) {
    // A full disk reports no free bytes; any other fault fails the query.
    *freeBytes = 0;
    return GetLastError() == ERROR_DISK_FULL;
  }
  ULARGE_INTEGER available;
  if (!GetDiskFreeSpaceExA(root, &available, nullptr, nullptr)) return false;
  *freeBytes = available.QuadPart;
  return true;
}

bool IsFixedDrive(const char* root) {
  return GetDriveTypeA(root && *root ? root : nullptr) == DRIVE_FIXED;
}

std::string HostPath(const char* path) { return path ? path : ""; }

bool DeleteFileAt(const char* path) { return DeleteFileA(path) != FALSE; }

bool MakeDirectory(const char* path) {
  return CreateDirectoryA(path, nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

int64_t FileSizeAt(const char* path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return -1;
  return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

uint32_t PlatformId() {
  OSVERSIONINFOA info;
  std::memset(&info, 0, sizeof info);
  info.dwOSVersionInfoSize = sizeof info;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  if (!GetVersionExA(&info)) return VER_PLATFORM_WIN32_WINDOWS;
#pragma GCC diagnostic pop
  return info.dwPlatformId;
}

int64_t PerformanceCounter() {
  LARGE_INTEGER v;
  return QueryPerformanceCounter(&v) ? v.QuadPart : 0;
}

int64_t PerformanceFrequency() {
  LARGE_INTEGER v;
  return QueryPerformanceFrequency(&v) ? v.QuadPart : 0;
}

int64_t SystemTime100ns() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  return (static_cast<int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

void YieldThread() { SwitchToThread(); }
void RaiseThreadPriority() { SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL); }
void SleepMs(uint32_t ms) { Sleep(ms); }
void DebugOutput(const char* text) { OutputDebugStringA(text); }

void* PageAlloc(size_t size) { return VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE); }
void PageFree(void* block, size_t) {
  if (block) VirtualFree(block, 0, MEM_RELEASE);
}

void* HeapAllocZero(size_t size) { return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size); }
void* HeapGrow(void* block, size_t, size_t newSize) {
  return HeapReAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, block, newSize);
}
void HeapRelease(void* block) {
  if (block) HeapFree(GetProcessHeap(), 0, block);
}

BSTR AllocString(const OLECHAR* text) { return SysAllocString(text); }
void FreeString(BSTR text) { SysFreeString(text); }
uint32_t StringLength(const OLECHAR* text) { return text ? static_cast<uint32_t>(wcslen(text)) : 0; }

BSTR NarrowToBstr(const char* text) {
  if (!text || !*text) return nullptr;
  int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (n <= 0) return nullptr;
  BSTR out = SysAllocStringLen(nullptr, n - 1);
  if (!out) return nullptr;
  MultiByteToWideChar(CP_ACP, 0, text, -1, out, n);
  return out;
}

char* WideToNarrow(const OLECHAR* text) {
  if (!text) return nullptr;
  int n = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) n = 1;
  char* out = new (std::nothrow) char[n];
  if (!out) return nullptr;
  out[0] = '\0';
  WideCharToMultiByte(CP_ACP, 0, text, -1, out, n, nullptr, nullptr);
  return out;
}

}  // namespace ovts::port
