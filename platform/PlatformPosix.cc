// POSIX implementation of the platform layer, for the native builds of the portable core.
#include <errno.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/FileFaultHook.h"
#include "platform/LockRankCheck.h"
#include "platform/Platform.h"

namespace ovts::port {

namespace {
thread_local uint32_t t_lastError = 0;

// The Win32 code for an errno, so that failures read the same on both targets.
uint32_t Win32Code(int error) {
  switch (error) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case ENOSPC:
    case EDQUOT:
      return ERROR_DISK_FULL;
    case EROFS:
      return ERROR_WRITE_PROTECT;
    case EIO:
      return ERROR_WRITE_FAULT;
    default:
      return static_cast<uint32_t>(error ? error : EIO);
  }
}

bool Fail() {
  t_lastError = Win32Code(errno);
  return false;
}

// True when the fault hook fails this operation; the simulated error is then the last error.
bool Injected(FileOp op) {
  switch (CheckFileFault(op)) {
    case FileFault::kNone:
      return false;
    case FileFault::kDiskFull:
      t_lastError = ERROR_DISK_FULL;
      return true;
    case FileFault::kIoError:
      t_lastError = ERROR_WRITE_FAULT;
      return true;
  }
  return false;
}
}  // namespace

uint32_t LastError() { return t_lastError; }
void ClearLastError() { t_lastError = 0; }
void SetLastError(uint32_t code) { t_lastError = code; }

static_assert(sizeof(pthread_mutex_t) <= 64, "RecursiveLock storage too small");

namespace {
pthread_mutex_t* Mx(unsigned char* storage) { return reinterpret_cast<pthread_mutex_t*>(storage); }
}  // namespace

RecursiveLock::RecursiveLock() {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(Mx(storage_), &attr);
  pthread_mutexattr_destroy(&attr);
}
RecursiveLock::RecursiveLock(LockRank rank, const char* name) : RecursiveLock() {
  rank_ = rank;
  name_ = name;
}
RecursiveLock::~RecursiveLock() { pthread_mutex_destroy(Mx(storage_)); }
void RecursiveLock::Lock() {
  ranks::BeforeLock(*this);
  pthread_mutex_lock(Mx(storage_));
  ranks::Acquired(*this);
}
bool RecursiveLock::TryLock() {
  if (pthread_mutex_trylock(Mx(storage_)) != 0) return false;
  ranks::Acquired(*this);
  return true;
}
void RecursiveLock::Unlock() {
  ranks::Released(*this);
  pthread_mutex_unlock(Mx(storage_));
}

// Events share one mutex and condition variable, which makes waiting on two of them simple;
// the native builds run a handful of threads, so broadcasting to all waiters is cheap.
namespace {
struct EventState {
  bool manual;
  bool signalled;
};
std::mutex g_eventMutex;
std::condition_variable g_eventCond;

EventState* State(void* handle) { return static_cast<EventState*>(handle); }

// Waits under g_eventMutex until one of the states is signalled; returns its index or -1.
int WaitStates(EventState* const* states, int count, uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(g_eventMutex);
  auto ready = [&] {
    for (int i = 0; i < count; ++i)
      if (states[i]->signalled) return i;
    return -1;
  };
  int which = ready();
  if (which < 0) {
    if (timeoutMs == kInfinite) {
      g_eventCond.wait(lock, [&] { return (which = ready()) >= 0; });
    } else {
      g_eventCond.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return (which = ready()) >= 0; });
    }
  }
  if (which >= 0 && !states[which]->manual) states[which]->signalled = false;
  return which;
}
}  // namespace

Event::Event(Mode mode, bool signalled)
    : handle_(new (std::nothrow) EventState{mode == Mode::kManualReset, signalled}) {}
Event::~Event() { delete State(handle_); }
void Event::Set() {
  {
    std::lock_guard<std::mutex> lock(g_eventMutex);
    State(handle_)->signalled = true;
  }
  g_eventCond.notify_all();
}
void Event::Reset() {
  std::lock_guard<std::mutex> lock(g_eventMutex);
  State(handle_)->signalled = false;
}
bool Event::Wait(uint32_t timeoutMs) {
  EventState* states[1] = {State(handle_)};
  return WaitStates(states, 1, timeoutMs) == 0;
}
int Event::WaitEither(Event& a, Event& b, uint32_t timeoutMs) {
  EventState* states[2] = {State(a.handle_), State(b.handle_)};
  return WaitStates(states, 2, timeoutMs);
}

// A thread's shared record: the body, its result and whether it has ended. Join waits on the
// condition instead of a timed pthread join, so sanitizers see an ordinary join.
namespace {
struct ThreadRecord {
  Thread::Body body;
  void* arg;
  pthread_t tid;
  std::mutex m;
  std::condition_variable ended;
  bool done = false;
  uint32_t code = 0;
};

void* ThreadEntry(void* p) {
  auto* record = static_cast<ThreadRecord*>(p);
  uint32_t code = record->body(record->arg);
  {
    std::lock_guard<std::mutex> lock(record->m);
    record->code = code;
    record->done = true;
  }
  record->ended.notify_all();
  return nullptr;
}
}  // namespace

Thread::~Thread() { Join(kInfinite); }

bool Thread::Start(Body body, void* arg) {
  if (handle_) return false;
  auto* record = new (std::nothrow) ThreadRecord;
  if (!record) return false;
  record->body = body;
  record->arg = arg;
  handle_ = record;
  if (pthread_create(&record->tid, nullptr, ThreadEntry, record) != 0) {
    handle_ = nullptr;
    delete record;
    return false;
  }
  return true;
}

bool Thread::Join(uint32_t timeoutMs) {
  auto* record = static_cast<ThreadRecord*>(handle_);
  if (!record) return true;
  {
    std::unique_lock<std::mutex> lock(record->m);
    if (timeoutMs == kInfinite) {
      record->ended.wait(lock, [&] { return record->done; });
    } else if (!record->ended.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                       [&] { return record->done; })) {
      return false;
    }
  }
  pthread_join(record->tid, nullptr);
  exitCode_ = record->code;
  handle_ = nullptr;
  delete record;
  return true;
}

bool Thread::IsCurrent() const {
  auto* record = static_cast<ThreadRecord*>(handle_);
  return record && pthread_equal(record->tid, pthread_self());
}

// "X:\rest" -> "<directory of drive X>/rest"; other paths keep their text with '/' separators.
std::string HostPath(const char* path) {
  if (!path) return std::string();
  std::string rest;
  std::string out;
  char letter = path[0];
  if (((letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z')) && path[1] == ':') {
    if (letter >= 'a') letter = static_cast<char>(letter - 'a' + 'A');
    char name[] = "OVTS_DRIVE_X";
    name[11] = letter;
    const char* base = std::getenv(name);
    if (!base && letter == 'C') {
      base = std::getenv("TMPDIR");
      if (!base || !*base) base = "/tmp";
    }
    if (!base || !*base) return std::string();
    out = base;
    rest = path + 2;
    while (!rest.empty() && (rest[0] == '\\' || rest[0] == '/')) rest.erase(0, 1);
    if (out.empty() || out.back() != '/') out += '/';
  } else {
    rest = path;
  }
  for (char& c : rest)
    if (c == '\\') c = '/';
  return out + rest;
}

bool File::Open(const char* path, unsigned flags) {
  Close();
  std::string host = HostPath(path);
  if (host.empty()) {
    errno = ENOENT;
    return Fail();
  }
  int fd = ::open(host.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return Fail();
  // An exclusive writer holds an advisory lock for as long as its descriptor lives: another
  // open of the same file, in this process or another, cannot take it.
  if ((flags & kExclusive) && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const bool held = errno == EWOULDBLOCK;
    ::close(fd);
    if (!held) return Fail();
    t_lastError = ERROR_SHARING_VIOLATION;
    return false;
  }
  // Delete-on-close: the name goes now; the data lives until the last descriptor closes.
  if (flags & kDeleteOnClose) ::unlink(host.c_str());
  if (flags & kRandomAccess) ::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
  handle_ = fd;
  return true;
}

bool File::Duplicate(const File& other) {
  Close();
  int fd = ::fcntl(static_cast<int>(other.handle_), F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return Fail();
  handle_ = fd;
  return true;
}

void File::Close() {
  if (handle_ == kNone) return;
  ::close(static_cast<int>(handle_));
  handle_ = kNone;
}

bool File::Seek(int64_t offset, From from, int64_t* newPosition) {
  static const int kWhence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
  if (Injected(FileOp::kSeek)) {
    if (newPosition) *newPosition = 0;
    return false;
  }
  off_t r = ::lseek(static_cast<int>(handle_), offset, kWhence[static_cast<int>(from)]);
  if (newPosition) *newPosition = r < 0 ? 0 : r;
  return r < 0 ? Fail() : true;
}

bool File::SetEnd() {
  off_t at = ::lseek(static_cast<int>(handle_), 0, SEEK_CUR);
  if (at < 0 || ::ftruncate(static_cast<int>(handle_), at) != 0) return Fail();
  return true;
}

bool File::Read(void* dest, uint32_t length, uint32_t* read) {
  *read = 0;
  if (Injected(FileOp::kRead)) return false;
  uint32_t total = 0;
  while (total < length) {
    ssize_t n = ::read(static_cast<int>(handle_), static_cast<char*>(dest) + total, length - total);
    if (n < 0) {
      if (errno == EINTR) continue;
      *read = total;
      return Fail();
    }
    if (n == 0) break;
    total += static_cast<uint32_t>(n);
  }
  *read = total;
  return true;
}

bool File::Write(const void* data, uint32_t length, uint32_t* written) {
  *written = 0;
  if (Injected(FileOp::kWrite)) return false;
  uint32_t total = 0;
  while (total < length) {
    ssize_t n = ::write(static_cast<int>(handle_), static_cast<const char*>(data) + total, length - total);
    if (n < 0) {
      if (errno == EINTR) continue;
      *written = total;
      return Fail();
    }
    total += static_cast<uint32_t>(n);
  }
  *written = total;
  return true;
}

bool File::ReadAt(int64_t offset, void* dest, uint32_t length, uint32_t* read) {
  *read = 0;
  if (Injected(FileOp::kRead)) return false;
  uint32_t total = 0;
  while (total < length) {
    const ssize_t n = ::pread(static_cast<int>(handle_), static_cast<char*>(dest) + total, length - total,
                              static_cast<off_t>(offset + total));
    if (n < 0) {
      if (errno == EINTR) continue;
      *read = total;
      return Fail();
    }
    if (n == 0) break;
    total += static_cast<uint32_t>(n);
  }
  *read = total;
  return true;
}

bool File::WriteAt(int64_t offset, const void* data, uint32_t length, uint32_t* written) {
  *written = 0;
  if (Injected(FileOp::kWrite)) return false;
  uint32_t total = 0;
  while (total < length) {
    const ssize_t n = ::pwrite(static_cast<int>(handle_), static_cast<const char*>(data) + total,
                               length - total, static_cast<off_t>(offset + total));
    if (n < 0) {
      if (errno == EINTR) continue;
      *written = total;
      return Fail();
    }
    total += static_cast<uint32_t>(n);
  }
  *written = total;
  return true;
}

bool FreeDiskSpace(const char* root, uint64_t* freeBytes) {
  if (Injected(FileOp::kFreeSpace)) {
    // A full disk reports no free bytes; any other fault fails the query.
    *freeBytes = 0;
    return t_lastError == ERROR_DISK_FULL;
  }
  std::string host = HostPath(root);
  struct statvfs st;
  if (host.empty() || ::statvfs(host.c_str(), &st) != 0) return Fail();
  *freeBytes = static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
  return true;
}

// Local disk file systems count as fixed drives; network, memory and pseudo file systems do not.
bool IsFixedDrive(const char* root) {
  std::string host = (root && *root) ? HostPath(root) : std::string(".");
  struct statfs st;
  if (host.empty() || ::statfs(host.c_str(), &st) != 0) return false;
  switch (static_cast<unsigned long>(st.f_type)) {
    case EXT4_SUPER_MAGIC:  // ext2, ext3 and ext4
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case F2FS_SUPER_MAGIC:
    case OVERLAYFS_SUPER_MAGIC:  // a container's root, backed by a local disk
    case 0x2FC12FC1:             // zfs
    case 0x3153464A:             // jfs
    case REISERFS_SUPER_MAGIC:
      return true;
    default:
      return false;
  }
}

bool DeleteFileAt(const char* path) {
  std::string host = HostPath(path);
  return !host.empty() && ::unlink(host.c_str()) == 0 ? true : Fail();
}

bool MakeDirectory(const char* path) {
  std::string host = HostPath(path);
  if (host.empty()) return false;
  return ::mkdir(host.c_str(), 0755) == 0 || errno == EEXIST ? true : Fail();
}

int64_t FileSizeAt(const char* path) {
  std::string host = HostPath(path);
  struct stat st;
  if (host.empty() || ::stat(host.c_str(), &st) != 0) return -1;
  return st.st_size;
}

uint32_t PlatformId() { return 2; }

int64_t PerformanceCounter() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t PerformanceFrequency() { return 1000000000; }

int64_t SystemTime100ns() {
  // 100-ns units since 1601-01-01, as on Windows.
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 10000000 + ts.tv_nsec / 100 + 116444736000000000LL;
}

void YieldThread() { sched_yield(); }
// A lower nice value for this thread alone; refused without the privilege, which is fine.
void RaiseThreadPriority() { setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), -5); }
void SleepMs(uint32_t ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}
void DebugOutput(const char* text) { std::fputs(text, stderr); }

void* PageAlloc(size_t size) {
  void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}
void PageFree(void* block, size_t size) {
  if (block) ::munmap(block, size);
}

void* HeapAllocZero(size_t size) { return std::calloc(1, size ? size : 1); }
void* HeapGrow(void* block, size_t oldSize, size_t newSize) {
  void* p = std::realloc(block, newSize);
  if (p && newSize > oldSize) std::memset(static_cast<char*>(p) + oldSize, 0, newSize - oldSize);
  return p;
}
void HeapRelease(void* block) { std::free(block); }

// Native BSTR: a 32-bit byte count before the characters and a terminating zero after them.
namespace {
BSTR AllocStringLen(const OLECHAR* text, uint32_t length) {
  auto* block = static_cast<char*>(std::malloc(sizeof(uint32_t) + (length + 1) * sizeof(OLECHAR)));
  if (!block) return nullptr;
  uint32_t bytes = length * sizeof(OLECHAR);
  std::memcpy(block, &bytes, sizeof bytes);
  BSTR out = reinterpret_cast<BSTR>(block + sizeof(uint32_t));
  if (text) std::memcpy(out, text, length * sizeof(OLECHAR));
  out[length] = 0;
  return out;
}
}  // namespace

uint32_t StringLength(const OLECHAR* text) {
  uint32_t n = 0;
  if (text)
    while (text[n]) ++n;
  return n;
}

BSTR AllocString(const OLECHAR* text) { return text ? AllocStringLen(text, StringLength(text)) : nullptr; }

void FreeString(BSTR text) {
  if (text) std::free(reinterpret_cast<char*>(text) - sizeof(uint32_t));
}

// The native system code page is UTF-8.
BSTR NarrowToBstr(const char* text) {
  if (!text || !*text) return nullptr;
  std::u16string wide;
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  while (*s) {
    uint32_t cp = *s++;
    int extra = cp >= 0xF0 ? 3 : cp >= 0xE0 ? 2 : cp >= 0xC0 ? 1 : 0;
    if (extra) cp &= 0x3Fu >> extra;
    for (int i = 0; i < extra && (*s & 0xC0) == 0x80; ++i) cp = (cp << 6) | (*s++ & 0x3F);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      wide += static_cast<char16_t>(0xD800 + (cp >> 10));
      wide += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      wide += static_cast<char16_t>(cp);
    }
  }
  return AllocStringLen(wide.data(), static_cast<uint32_t>(wide.size()));
}

char* WideToNarrow(const OLECHAR* text) {
  if (!text) return nullptr;
  std::string out;
  for (const OLECHAR* p = text; *p; ++p) {
    uint32_t cp = *p;
    if (cp >= 0xD800 && cp < 0xDC00 && p[1] >= 0xDC00 && p[1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (p[1] - 0xDC00);
      ++p;
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  char* result = new (std::nothrow) char[out.size() + 1];
  if (result) std::memcpy(result, out.c_str(), out.size() + 1);
  return result;
}

}  // namespace ovts::port
