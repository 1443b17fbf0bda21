// Helpers shared by the buffer tests: configuration records, waiting for a worker's progress,
// and pattern bytes.
#pragma once

#include <gtest/gtest.h>

// Before the buffer's headers, which keep the platform's GetFreeSpace macro out of their way.
#ifdef _WIN32
#include <windows.h>
#include <tlhelp32.h>
#else
#include <dirent.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

#include "OVTimeShiftTypes.h"
#include "TestSupport.h"
#include "buffer/CCircBufBase.h"
#include "platform/Owners.h"
#include "platform/Platform.h"
#include "tools/common/StreamPattern.h"

namespace ovts::test {

// A TSBufferConfig that owns its two strings.
struct OwnedConfig : port::BufferConfigHolder {
  OwnedConfig(const std::string& directory, const std::string& fileName, uint32_t sizeKB,
              uint32_t options = 0, uint32_t minFreeMB = 0)
      : port::BufferConfigHolder({port::NarrowToBstr(directory.c_str()), port::NarrowToBstr(fileName.c_str()),
                                  sizeKB, minFreeMB, 0, options}) {}
};

// True when this process holds no handle to the file.
inline bool NoHandleOn(const std::string& path) {
#ifdef _WIN32
  // Our handles do not share deletion, so the file can go only when none is open.
  return port::DeleteFileAt(path.c_str()) || port::FileSizeAt(path.c_str()) < 0;
#else
  const std::string host = port::HostPath(path.c_str());
  DIR* fds = opendir("/proc/self/fd");
  if (!fds) return false;
  bool none = true;
  while (dirent* entry = readdir(fds)) {
    char target[4096];
    const std::string link = std::string("/proc/self/fd/") + entry->d_name;
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    if (std::string(target).rfind(host, 0) == 0) none = false;
  }
  closedir(fds);
  return none;
#endif
}

// Ids of the threads of this process now running, sorted.
inline std::vector<uint64_t> ThreadIds() {
  std::vector<uint64_t> ids;
#ifdef _WIN32
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return ids;
  THREADENTRY32 entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ids.push_back(entry.th32ThreadID);
  CloseHandle(snapshot);
#else
  DIR* tasks = opendir("/proc/self/task");
  if (!tasks) return ids;
  while (dirent* entry = readdir(tasks))
    if (entry->d_name[0] != '.') ids.push_back(std::strtoull(entry->d_name, nullptr, 10));
  closedir(tasks);
#endif
  std::sort(ids.begin(), ids.end());
  return ids;
}

// Ids in `later` that are not in `earlier` (both sorted).
inline std::vector<uint64_t> NewThreads(const std::vector<uint64_t>& earlier,
                                        const std::vector<uint64_t>& later) {
  std::vector<uint64_t> added;
  std::set_difference(later.begin(), later.end(), earlier.begin(), earlier.end(), std::back_inserter(added));
  return added;
}

// A buffer whose three locks a test can probe from another thread than the ones that used it.
template <typename Buffer>
class LockProbe : public Buffer {
 public:
  using Buffer::Buffer;
  // True when no other thread holds any of the three locks.
  bool LocksFree() {
    port::RecursiveLock* locks[] = {&this->writeLock_, &this->readLock_, &this->stateLock_};
    bool free = true;
    for (port::RecursiveLock* lock : locks) {
      if (lock->TryLock())
        lock->Unlock();
      else
        free = false;
    }
    return free;
  }
};

inline std::vector<uint8_t> PatternBytes(uint64_t position, size_t length) {
  std::vector<uint8_t> bytes(length);
  tools::FillPattern(bytes.data(), position, length);
  return bytes;
}

// Writes stream bytes [position, position + length) and returns how many the buffer took.
inline uint32_t Put(CCircBufBase& buffer, uint64_t position, uint32_t length) {
  std::vector<uint8_t> bytes = PatternBytes(position, length);
  uint32_t written = 0;
  EXPECT_EQ(buffer.Write(bytes.data(), length, &written), S_OK);
  return written;
}

struct Got {
  HRESULT hr;
  std::vector<uint8_t> bytes;
  bool discontinuity;
};

inline Got Get(CCircBufBase& buffer, uint32_t length) {
  Got got{E_FAIL, std::vector<uint8_t>(length), false};
  uint32_t read = 0;
  got.hr = buffer.Read(got.bytes.data(), length, &read, &got.discontinuity);
  got.bytes.resize(read);
  return got;
}

}  // namespace ovts::test
