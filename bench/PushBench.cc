// ovts-pushbench: the time-shift filter in the platform's Filter Graph Manager between a paced
// live test source and the counting test sink, with default settings (the buffer file in a
// directory of its own). Streams for a while and prints the bytes lost, the process's CPU use
// and peak working set; then times the host's Pause (to the last delivered sample), Resume and
// SeekToLive (to the first delivered sample) several times.
//
//   ovts-pushbench [seconds=60] [bytes-per-second=2500000] [source-sample-bytes=32768]
#include <windows.h>
#include <dshow.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "OVTimeShift.h"
#include "tools/common/TestFilters.h"
#include "filter/CTSFilter.h"
#include "filter/TSSettingsValues.h"
#include "framework/ComKit.h"

namespace ovts {
namespace {

constexpr char kRegistryBase[] = "Software\\Orvanta\\Bench";
constexpr char kDirectory[] = "C:\\ovts-pushbench\\";
constexpr int kRounds = 5;
constexpr DWORD kSettleMs = 2000;
constexpr DWORD kWaitMs = 30000;

double Seconds(int64_t ticks) { return static_cast<double>(ticks) / port::PerformanceFrequency(); }

double CpuSeconds() {
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto value = [](const FILETIME& t) { return (uint64_t{t.dwHighDateTime} << 32 | t.dwLowDateTime) / 1e7; };
  return value(kernel) + value(user);
}

// Arrival times of delivered samples, kept by the sink's delivery thread.
class Arrivals {
 public:
  void Add(bool discontinuity) {
    std::lock_guard<std::mutex> guard(mutex_);
    const int64_t now = port::PerformanceCounter();
    last_ = now;
    if (discontinuity) marked_.push_back(now);
  }
  int64_t Last() {
    std::lock_guard<std::mutex> guard(mutex_);
    return last_;
  }
  // The first marked sample that arrived at or after `since`, or 0.
  int64_t FirstMarkedSince(int64_t since) {
    std::lock_guard<std::mutex> guard(mutex_);
    const auto it = std::lower_bound(marked_.begin(), marked_.end(), since);
    return it == marked_.end() ? 0 : *it;
  }

 private:
  std::mutex mutex_;
  int64_t last_ = 0;             // mutex_
  std::vector<int64_t> marked_;  // mutex_
};

void PrintSpread(const char* what, std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  std::printf("  %-38s min %7.1f ms  median %7.1f ms  max %7.1f ms\n", what, ms.front(), ms[ms.size() / 2], ms.back());
}

int Bench(int seconds, uint64_t bytesPerSecond, long sampleBytes) {
  ComApartment com;
  if (FAILED(com.result())) return 1;
  PROCESS_MEMORY_COUNTERS memory{sizeof memory};
  GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
  const double baseMB = memory.WorkingSetSize / 1048576.0;
  RegDeleteTreeA(HKEY_CURRENT_USER, kRegistryBase);
  port::MakeDirectory(kDirectory);

  ComPtr<IGraphBuilder> graph;
  ComPtr<IMediaControl> media;
  if (FAILED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&graph))) ||
      FAILED(graph.As(&media))) {
    std::fprintf(stderr, "no filter graph\n");
    return 1;
  }
  ComPtr<CTSFilter> filter = new CTSFilter(nullptr);
  ComPtr<IOVTimeShiftFilter> control;
  filter->QueryInterface(IID_PPV_ARGS(&control));
  control->SetRegistryBase(kRegistryBase);
  TSBufferConfig settings{};
  control->GetBufferSettings(&settings);
  port::FreeString(settings.directory);
  settings.directory = port::NarrowToBstr(kDirectory);
  control->SetBufferSettings(&settings);

  test::CTestSource* rawSource = nullptr;
  test::CTestSource::Create({.subtype = MEDIASUBTYPE_MPEG2_TRANSPORT, .bytesPerSample = sampleBytes, .bufferCount = 8,
                             .bytesPerSecond = bytesPerSecond},
                            &rawSource);
  ComPtr<test::CTestSource> source = rawSource;
  rawSource->Release();
  Arrivals arrivals;
  test::TestSinkConfig sinkConfig;
  sinkConfig.onSample = [&](const AM_SAMPLE2_PROPERTIES& p) {
    arrivals.Add((p.dwSampleFlags & AM_SAMPLE_DATADISCONTINUITY) != 0);
  };
  test::CTestSink* rawSink = nullptr;
  test::CTestSink::Create(sinkConfig, &rawSink);
  ComPtr<test::CTestSink> sink = rawSink;
  rawSink->Release();
  graph->AddFilter(source.Get(), L"Source");
  graph->AddFilter(filter.Get(), L"Time Shift");
  graph->AddFilter(sink.Get(), L"Sink");
  if (FAILED(graph->ConnectDirect(source->Output(), filter->GetPin(0), nullptr)) ||
      FAILED(graph->ConnectDirect(filter->GetPin(1), sink->Input(), nullptr)) || FAILED(media->Run())) {
    std::fprintf(stderr, "cannot build or run the graph\n");
    return 1;
  }

  std::printf("push at %.2f MB/s in %ld-byte samples for %d s, default settings\n", bytesPerSecond / 1e6,
              sampleBytes, seconds);
  const int64_t wallStart = port::PerformanceCounter();
  const double cpuStart = CpuSeconds();
  Sleep(static_cast<DWORD>(seconds) * 1000);
  const double wall = Seconds(port::PerformanceCounter() - wallStart);
  const double cpu = CpuSeconds() - cpuStart;
  const test::TestSinkStats steady = sink->Stats();
  const uint64_t sent = source->Stream()->BytesDelivered();
  std::printf("  source sent %llu bytes, sink received %llu (%llu still in the buffer)\n",
              static_cast<unsigned long long>(sent), static_cast<unsigned long long>(steady.bytes),
              static_cast<unsigned long long>(sent - steady.bytes));
  std::printf("  bytes lost %llu, damaged %llu, unmarked jumps %llu, marks %llu (1 expected: the start)\n",
              static_cast<unsigned long long>(steady.pattern.lost), static_cast<unsigned long long>(steady.pattern.corrupt),
              static_cast<unsigned long long>(steady.pattern.unreportedJumps),
              static_cast<unsigned long long>(steady.discontinuities));
  std::printf("  CPU %.2f s in %.2f s: %.1f %% of one core (whole process: source, filter, sink)\n", cpu, wall,
              100.0 * cpu / wall);

  std::vector<double> pauseMs, pauseCallMs, resumeMs, liveMs;
  for (int round = 0; round < kRounds; ++round) {
    // Paused while samples flow: right after one arrived.
    const uint64_t samples = sink->Stats().samples;
    sink->WaitFor(kWaitMs, [&](const test::TestSinkStats& s) { return s.samples > samples; });
    int64_t start = port::PerformanceCounter();
    control->Pause();
    pauseCallMs.push_back(1000 * Seconds(port::PerformanceCounter() - start));
    Sleep(kSettleMs);
    pauseMs.push_back(1000 * std::max(0.0, Seconds(arrivals.Last() - start)));

    uint64_t marks = sink->Stats().discontinuities;
    start = port::PerformanceCounter();
    control->Resume();
    sink->WaitFor(kWaitMs, [&](const test::TestSinkStats& s) { return s.discontinuities > marks; });
    resumeMs.push_back(1000 * Seconds(arrivals.FirstMarkedSince(start) - start));
    Sleep(kSettleMs);

    marks = sink->Stats().discontinuities;
    start = port::PerformanceCounter();
    control->SeekToLive();
    sink->WaitFor(kWaitMs, [&](const test::TestSinkStats& s) { return s.discontinuities > marks; });
    liveMs.push_back(1000 * Seconds(arrivals.FirstMarkedSince(start) - start));
    Sleep(kSettleMs);
  }
  std::printf("host control, %d rounds:\n", kRounds);
  PrintSpread("Pause call returns", pauseCallMs);
  PrintSpread("Pause to last delivered sample", pauseMs);
  PrintSpread("Resume to first delivered sample", resumeMs);
  PrintSpread("SeekToLive to first delivered sample", liveMs);

  media->Stop();
  GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
  std::printf("peak working set %.1f MB (%.1f MB before the graph was built)\n", memory.PeakWorkingSetSize / 1048576.0,
              baseMB);
  RegDeleteTreeA(HKEY_CURRENT_USER, kRegistryBase);
  RegDeleteKeyA(HKEY_CURRENT_USER, kRegistryBase);
  DeleteFileA((std::string(kDirectory) + kTSFile.defaultValue).c_str());
  return steady.pattern.lost || steady.pattern.corrupt || steady.pattern.unreportedJumps ? 2 : 0;
}

}  // namespace
}  // namespace ovts

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
  const uint64_t rate = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 2500000;
  const long sample = argc > 3 ? std::atol(argv[3]) : 32768;
  if (seconds <= 0 || rate == 0 || sample <= 0) {
    std::fprintf(stderr, "usage: ovts-pushbench [seconds] [bytes-per-second] [source-sample-bytes]\n");
    return 1;
  }
  return ovts::Bench(seconds, rate, sample);
}
