// ovts-faultbench: the file buffer on a slow disk, and through a full one. The buffer records a
// paced stream while every disk write is held back (a slowed file: the platform layer's fault
// seam), a reader drains it, and a status thread asks GetDataSize as the Status page's timer does,
// timing each call. Midway the disk reports itself full for a while: the bench times the recording's
// resumption after the space comes back and counts the bytes the outage cost. Prints one line of
// key=value figures.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "buffer/CCircFileBuf.h"
#include "platform/Platform.h"
#include "tools/common/OptionValues.h"

namespace {

using namespace ovts;
using Clock = std::chrono::steady_clock;

constexpr char kUsage[] =
    "usage: ovts-faultbench [options]\n"
    "  --dir D             folder of the buffer file, a Windows path (C:\\)\n"
    "  --write-delay-ms M  every disk write is held back M ms (50)\n"
    "  --rate-mbps R       input rate in MB/s (2.5)\n"
    "  --block B           bytes per input block (65424)\n"
    "  --seconds S         how long the stream runs (10)\n"
    "  --status-ms T       a status call every T ms (5)\n"
    "  --outage-ms O       the disk is full for O ms from the run's middle on (3000; 0: never)\n"
    "  --help              this text\n"
    "Prints: write_delay_ms= rate_mbps= calls= max_wait_us= p99_wait_us= median_wait_us= (the status calls)\n"
    "outage_ms= reported= resume_ms= (from the space's return to the recording's) outage_dropped_bytes=\n"
    "dropped_bytes_per_outage_s= dropped_bytes= (the whole run)\n"
    "Exit status: 0, 1 when the buffer does not start, 2 for a bad option.\n";

struct Options {
  std::string dir = "C:\\";
  uint32_t delayMs = 50;
  double rateMbps = 2.5;
  uint32_t block = 65424;
  double seconds = 10;
  uint32_t statusMs = 5;
  uint32_t outageMs = 3000;
};

// Holds back every disk write, as a slow or busy disk does, and reports a full disk while told.
class FaultyDisk final : public port::FileFaultHook {
 public:
  explicit FaultyDisk(uint32_t ms) : ms_(ms) { port::SetFileFaultHook(this); }
  ~FaultyDisk() { port::SetFileFaultHook(nullptr); }
  FaultyDisk(const FaultyDisk&) = delete;
  FaultyDisk& operator=(const FaultyDisk&) = delete;
  port::FileFault Before(port::FileOp op) override {
    if (op == port::FileOp::kWrite && ms_.load() > 0) port::SleepMs(ms_.load());
    if ((op == port::FileOp::kWrite || op == port::FileOp::kFreeSpace) && full_.load())
      return port::FileFault::kDiskFull;
    return port::FileFault::kNone;
  }
  void SetFull(bool full) { full_.store(full); }
  void Off() { ms_.store(0); }

 private:
  std::atomic<uint32_t> ms_;
  std::atomic<bool> full_{false};
};

// When the buffer says recording stopped and went on.
struct Outage final : CCircFileBuf::Listener {
  std::atomic<bool> reported{false};
  port::Event resumed{port::Event::Mode::kManualReset};
  std::atomic<int64_t> resumedAtNs{0};
  void OnRecordingFault(HRESULT) override { reported.store(true); }
  void OnRecordingResumed() override {
    resumedAtNs.store(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count());
    resumed.Set();
  }
};

}  // namespace

int main(int argc, char** argv) {
  Options o;
  using tools::ParseNumber;
  using tools::ParseUnsigned;
  const std::optional<int> exit = tools::ReadOptions(
      argc, argv, "ovts-faultbench", kUsage,
      {{"--dir", [&](const char* v) { return *v && (o.dir = v, true); }},
       {"--write-delay-ms", [&](const char* v) { return ParseUnsigned(v, 60000, &o.delayMs); }},
       {"--rate-mbps", [&](const char* v) { return ParseNumber(v, 0.01, &o.rateMbps); }},
       {"--block", [&](const char* v) { return ParseUnsigned(v, 1u << 22, &o.block) && o.block > 0; }},
       {"--seconds", [&](const char* v) { return ParseNumber(v, 0.1, &o.seconds); }},
       {"--status-ms", [&](const char* v) { return ParseUnsigned(v, 1000, &o.statusMs) && o.statusMs > 0; }},
       {"--outage-ms", [&](const char* v) { return ParseUnsigned(v, 600000, &o.outageMs); }}},
      2);
  if (exit) return *exit;
  CCircFileBuf buffer;
  BSTR dir = port::NarrowToBstr(o.dir.c_str());
  BSTR name = port::NarrowToBstr("ovts-faultbench.bin");
  TSBufferConfig config{dir, name, 65536, 128, TS_INITIAL_TIME_SHIFT_DEFAULT, DeleteOnClose};
  HRESULT hr = buffer.SetConfig(&config);
  port::FreeString(dir);
  port::FreeString(name);
  if (SUCCEEDED(hr)) hr = buffer.Start();
  if (FAILED(hr)) {
    std::fprintf(stderr, "ovts-faultbench: cannot start the buffer in %s: 0x%08" PRIX32 " %s\n", o.dir.c_str(),
                 static_cast<uint32_t>(hr), buffer.GetProblem().c_str());
    return 1;
  }

  FaultyDisk disk(o.delayMs);
  Outage outage;
  buffer.SetListener(&outage);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    std::vector<uint8_t> block(o.block, 0x47);
    const auto start = Clock::now();
    const double bytesPerSecond = o.rateMbps * 1e6;
    for (uint64_t sent = 0; sent < o.seconds * bytesPerSecond; sent += o.block) {
      std::this_thread::sleep_until(start + std::chrono::duration<double>(sent / bytesPerSecond));
      uint32_t written = 0;
      buffer.Write(block.data(), o.block, &written);
    }
    done.store(true);
  });
  std::thread reader([&] {
    std::vector<uint8_t> sample(32768);
    while (!done.load()) {
      uint32_t got = 0;
      bool discontinuity = false;
      if (buffer.Read(sample.data(), static_cast<uint32_t>(sample.size()), &got, &discontinuity) != S_OK || got == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  // The outage, on a thread of its own so that the status calls go on through it.
  uint64_t outageDropped = 0;
  double resumeMs = -1;
  std::thread outageThread([&] {
    if (o.outageMs == 0) return;
    std::this_thread::sleep_for(std::chrono::duration<double>(o.seconds / 2));
    const uint64_t before = buffer.GetDroppedBytes();
    disk.SetFull(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(o.outageMs));
    const auto back = Clock::now();
    disk.SetFull(false);
    if (outage.resumed.Wait(10000)) {
      const auto at = Clock::time_point(std::chrono::nanoseconds(outage.resumedAtNs.load()));
      resumeMs = std::chrono::duration<double, std::milli>(at - back).count();
    }
    outageDropped = buffer.GetDroppedBytes() - before;
  });
  std::vector<double> waits;
  while (!done.load()) {
    const auto before = Clock::now();
    (void)buffer.GetDataSize();
    waits.push_back(std::chrono::duration<double, std::micro>(Clock::now() - before).count());
    std::this_thread::sleep_for(std::chrono::milliseconds(o.statusMs));
  }
  writer.join();
  reader.join();
  outageThread.join();
  disk.Off();
  const uint64_t dropped = buffer.GetDroppedBytes();
  buffer.Stop();
  buffer.SetListener(nullptr);

  std::sort(waits.begin(), waits.end());
  auto at = [&](double q) { return waits.empty() ? 0.0 : waits[static_cast<size_t>(q * (waits.size() - 1))]; };
  std::printf("write_delay_ms=%" PRIu32 " rate_mbps=%.2f calls=%zu max_wait_us=%.0f p99_wait_us=%.0f "
              "median_wait_us=%.1f outage_ms=%" PRIu32 " reported=%d resume_ms=%.1f outage_dropped_bytes=%" PRIu64
              " dropped_bytes_per_outage_s=%.0f dropped_bytes=%" PRIu64 "\n",
              o.delayMs, o.rateMbps, waits.size(), at(1.0), at(0.99), at(0.5), o.outageMs,
              outage.reported.load() ? 1 : 0, resumeMs, outageDropped,
              o.outageMs ? outageDropped * 1000.0 / o.outageMs : 0.0, dropped);
  return 0;
}
