// The fault hook the tests install: fails the n-th file operation of a kind, fails every write
// while the disk is "full", and holds every write back for a while (a disk slower than the
// input). Installed for the object's lifetime.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/Platform.h"

namespace ovts::test {

class TestFileFaults final : public port::FileFaultHook {
 public:
  static constexpr int kOps = 4;

  TestFileFaults() { port::SetFileFaultHook(this); }
  ~TestFileFaults() { port::SetFileFaultHook(nullptr); }
  TestFileFaults(const TestFileFaults&) = delete;
  TestFileFaults& operator=(const TestFileFaults&) = delete;

  // The operation of this kind with 0-based index `index`, counted from construction, fails.
  void FailAt(port::FileOp op, uint64_t index, port::FileFault fault) {
    failIndex_[Slot(op)].store(index);
    failFault_[Slot(op)].store(fault);
  }
  // While set, every write fails with a full disk and the volume reports no free bytes.
  void SetDiskFull(bool full) { diskFull_.store(full); }
  void SetWriteDelayMs(uint32_t ms) { writeDelayMs_.store(ms); }
  uint64_t Count(port::FileOp op) const { return count_[Slot(op)].load(); }
  uint64_t Failed() const { return failed_.load(); }

  port::FileFault Before(port::FileOp op) override {
    const uint64_t index = count_[Slot(op)].fetch_add(1);
    if (op == port::FileOp::kWrite) {
      if (const uint32_t ms = writeDelayMs_.load()) delay_.Wait(ms);
      if (diskFull_.load()) return Fail(port::FileFault::kDiskFull);
    }
    if (op == port::FileOp::kFreeSpace && diskFull_.load()) return Fail(port::FileFault::kDiskFull);
    if (index == failIndex_[Slot(op)].load()) return Fail(failFault_[Slot(op)].load());
    return port::FileFault::kNone;
  }

 private:
  static int Slot(port::FileOp op) { return static_cast<int>(op); }
  port::FileFault Fail(port::FileFault fault) {
    failed_.fetch_add(1);
    return fault;
  }

  std::atomic<uint64_t> count_[kOps] = {};
  std::atomic<uint64_t> failIndex_[kOps] = {UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX};
  std::atomic<port::FileFault> failFault_[kOps] = {};
  std::atomic<bool> diskFull_{false};
  std::atomic<uint32_t> writeDelayMs_{0};
  std::atomic<uint64_t> failed_{0};
  port::Event delay_{port::Event::Mode::kManualReset};  // never set: its timeout is the delay
};

}  // namespace ovts::test
