// ovts-pushbench: N independent graphs in one process, each the platform's Filter Graph Manager
// holding a paced live test source, a time-shift filter with default settings (its own registry
// base and buffer file) and the checking test sink. The filters come from the ovts.ax this tree
// built (or --module), loaded by path: the figures are this module's, whatever the prefix has
// registered. All streams run together for a while; then
// each stream in turn is paused, resumed and sent to live by the host while the others run.
// Prints one key=value line per stream, the spread of the host control times, and a total line.
//
// Threads: the main thread builds, runs and steers the graphs; each sink's delivery thread (the
// filter's output thread) records arrival times.
#include <windows.h>
#include <dshow.h>
#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "framework/ComKit.h"
#include "include/OVTimeShift.h"
#include "tools/common/FindPin.h"
#include "tools/common/ModuleLoader.h"
#include "tools/common/OptionValues.h"
#include "tools/common/ProcessCpu.h"
#include "tools/common/TestFilters.h"

namespace ovts {
namespace {

constexpr char kUsage[] =
    "usage: ovts-pushbench [options]\n"
    "  --streams N        independent graphs in this process (1)\n"
    "  --seconds S        how long all streams run together before the host controls (60)\n"
    "  --rate-mbps R      each source's pace in MB/s of 10^6 bytes (2.5)\n"
    "  --sample-bytes B   bytes per source sample (65424, 348 transport packets)\n"
    "  --rounds K         pause, resume and live rounds per stream (1)\n"
    "  --module PATH      the ovts.ax to load (the one this tree built)\n"
    "  --help             this text\n"
    "Prints per stream: stream=K sent_bytes= delivered_bytes= lost_bytes= marks= (while all ran\n"
    "together; marks counts discontinuity marks, 1 for the start) damaged= unmarked_jumps= (the\n"
    "whole run, host controls included) pause_call_ms= pause_ms= resume_ms= seek_to_live_ms=\n"
    "(the stream's worst round: the host's Pause call, Pause to the last delivered sample, Resume\n"
    "and SeekToLive to the first delivered sample). Then per control: control=NAME rounds=\n"
    "min_ms= median_ms= max_ms= over all streams and rounds. Last the total: streams=N with the\n"
    "sums lost_bytes= damaged= unmarked_jumps=, cpu_pct= (the whole process while all ran\n"
    "together, percent of one core) cpu_pct_per_stream= peak_working_set_MB=\n"
    "base_working_set_MB= (before the first graph) worst_pause_ms= worst_resume_ms=\n"
    "worst_seek_to_live_ms=. Status goes to standard error.\n"
    "Exit status: 0; 1 when a graph cannot run or a control got no answer; 2 when bytes were\n"
    "lost, damaged or jumped over unmarked; 3 for a bad option.\n";

constexpr char kRegistryBase[] = "Software\\Orvanta\\Bench";
constexpr char kDirectory[] = "C:\\ovts-pushbench\\";
constexpr DWORD kSettleMs = 2000;
constexpr DWORD kWaitMs = 30000;
constexpr DWORD kWorkingSetSampleMs = 100;

struct Options {
  std::string module = OVTS_MODULE_PATH;
  uint32_t streams = 1;
  double seconds = 60;
  double rateMBps = 2.5;
  uint32_t sampleBytes = 65424;
  uint32_t rounds = 1;
};

using Clock = std::chrono::steady_clock;

double Ms(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

void SleepMs(DWORD ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Arrival times of delivered samples, kept by the sink's delivery thread.
class Arrivals {
 public:
  void Add(bool discontinuity) {
    std::lock_guard<std::mutex> guard(mutex_);
    const Clock::time_point now = Clock::now();
    last_ = now;
    if (discontinuity) marked_.push_back(now);
  }
  Clock::time_point Last() {
    std::lock_guard<std::mutex> guard(mutex_);
    return last_;
  }
  // The first marked sample that arrived at or after `since`, or the clock's epoch.
  Clock::time_point FirstMarkedSince(Clock::time_point since) {
    std::lock_guard<std::mutex> guard(mutex_);
    const auto it = std::lower_bound(marked_.begin(), marked_.end(), since);
    return it == marked_.end() ? Clock::time_point() : *it;
  }

 private:
  std::mutex mutex_;
  Clock::time_point last_;                // mutex_
  std::vector<Clock::time_point> marked_;  // mutex_
};

// The worst of one stream's control rounds, in ms.
struct ControlTimes {
  double pauseCall = 0;
  double pause = 0;
  double resume = 0;
  double seekToLive = 0;
};

// One graph: paced source -> time-shift filter -> checking sink, with a registry base and a
// buffer file of its own. Called by the main thread only (the sink's callback excepted).
class Stream {
 public:
  Stream(uint32_t index, const tools::ModuleLoader& module) : index_(index), module_(module) {}
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;
  ~Stream() {
    if (media_) media_->Stop();
    DeleteFileA(FilePath().c_str());
  }

  HRESULT Build(const Options& o) {
    RETURN_IF_FAILED(
        CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&graph_)));
    RETURN_IF_FAILED(graph_.As(&media_));
    RETURN_IF_FAILED(module_.Create(CLSID_OVTimeShiftFilter, IID_PPV_ARGS(&filter_)));
    RETURN_IF_FAILED(filter_.As(&control_));
    RETURN_IF_FAILED(control_->SetRegistryBase(RegistryBase().c_str()));
    TSBufferConfig settings{};
    RETURN_IF_FAILED(control_->GetBufferSettings(&settings));
    SysFreeString(settings.directory);
    SysFreeString(settings.fileName);
    settings.directory = SysAllocString(Wide(kDirectory).c_str());
    settings.fileName = SysAllocString(Wide(FileName()).c_str());
    RETURN_IF_FAILED(control_->SetBufferSettings(&settings));  // takes the strings over

    test::CTestSource* source = nullptr;
    RETURN_IF_FAILED(test::CTestSource::Create(
        {.subtype = MEDIASUBTYPE_MPEG2_TRANSPORT, .bytesPerSample = static_cast<long>(o.sampleBytes),
         .bufferCount = 8, .bytesPerSecond = static_cast<uint64_t>(o.rateMBps * 1e6)},
        &source));
    source_.Attach(source);
    test::TestSinkConfig sinkConfig;
    sinkConfig.onSample = [this](const AM_SAMPLE2_PROPERTIES& p) {
      arrivals_.Add((p.dwSampleFlags & AM_SAMPLE_DATADISCONTINUITY) != 0);
    };
    test::CTestSink* sink = nullptr;
    RETURN_IF_FAILED(test::CTestSink::Create(sinkConfig, &sink));
    sink_.Attach(sink);
    RETURN_IF_FAILED(graph_->AddFilter(source_.Get(), L"Source"));
    RETURN_IF_FAILED(graph_->AddFilter(filter_.Get(), L"Time Shift"));
    RETURN_IF_FAILED(graph_->AddFilter(sink_.Get(), L"Sink"));
    RETURN_IF_FAILED(graph_->ConnectDirect(source_->Output(), tools::FindPin(filter_.Get(), PINDIR_INPUT).Get(), nullptr));
    return graph_->ConnectDirect(tools::FindPin(filter_.Get(), PINDIR_OUTPUT).Get(), sink_->Input(), nullptr);
  }

  HRESULT Run() { return media_->Run(); }

  // Notes the figures of the time all streams ran together.
  void EndSteady() {
    steady_ = sink_->Stats();
    sent_ = source_->Stream()->BytesDelivered();
  }

  // Pauses, resumes and sends the stream to live; false when a control got no answer.
  bool ControlRound(ControlTimes* worst, std::vector<ControlTimes>* all) {
    ControlTimes t;
    // Paused while samples flow: right after one arrived.
    const uint64_t samples = sink_->Stats().samples;
    if (!sink_->WaitFor(kWaitMs, [&](const test::TestSinkStats& s) { return s.samples > samples; })) return false;
    const Clock::time_point start = Clock::now();
    control_->Pause();
    t.pauseCall = Ms(start, Clock::now());
    SleepMs(kSettleMs);
    t.pause = std::max(0.0, Ms(start, arrivals_.Last()));

    if (!TimeToFirstMarked([&] { control_->Resume(); }, &t.resume)) return false;
    SleepMs(kSettleMs);
    if (!TimeToFirstMarked([&] { control_->SeekToLive(); }, &t.seekToLive)) return false;
    SleepMs(kSettleMs);

    all->push_back(t);
    worst->pauseCall = std::max(worst->pauseCall, t.pauseCall);
    worst->pause = std::max(worst->pause, t.pause);
    worst->resume = std::max(worst->resume, t.resume);
    worst->seekToLive = std::max(worst->seekToLive, t.seekToLive);
    return true;
  }

  const test::TestSinkStats& steady() const { return steady_; }
  test::TestSinkStats Stats() { return sink_->Stats(); }
  uint64_t sent() const { return sent_; }

 private:
  std::string RegistryBase() const { return std::string(kRegistryBase) + "\\Stream" + std::to_string(index_); }
  std::string FileName() const { return "stream" + std::to_string(index_) + ".mpg"; }
  std::string FilePath() const { return kDirectory + FileName(); }

  // Time from `control` to the first marked sample after it.
  template <class Control>
  bool TimeToFirstMarked(Control control, double* ms) {
    const uint64_t marks = sink_->Stats().discontinuities;
    const Clock::time_point start = Clock::now();
    control();
    if (!sink_->WaitFor(kWaitMs, [&](const test::TestSinkStats& s) { return s.discontinuities > marks; }))
      return false;
    *ms = Ms(start, arrivals_.FirstMarkedSince(start));
    return true;
  }

  static std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

  const uint32_t index_;
  const tools::ModuleLoader& module_;
  Arrivals arrivals_;  // before the sink, which calls into it until it goes
  ComPtr<IGraphBuilder> graph_;
  ComPtr<IMediaControl> media_;
  ComPtr<IBaseFilter> filter_;
  ComPtr<IOVTimeShiftFilter> control_;
  ComPtr<test::CTestSource> source_;
  ComPtr<test::CTestSink> sink_;
  test::TestSinkStats steady_;
  uint64_t sent_ = 0;
};

// The process's working set now and at its peak, in MB.
struct WorkingSet {
  double now = 0;
  double peak = 0;
};

WorkingSet MeasureWorkingSet() {
  PROCESS_MEMORY_COUNTERS memory{sizeof memory};
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory)) return {};
  return {memory.WorkingSetSize / 1048576.0, memory.PeakWorkingSetSize / 1048576.0};
}

void PrintSpread(const char* name, std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  std::printf("control=%s rounds=%u min_ms=%.1f median_ms=%.1f max_ms=%.1f\n", name, static_cast<unsigned>(ms.size()), ms.front(),
              ms[ms.size() / 2], ms.back());
}

void RemoveLeftovers() {
  RegDeleteTreeA(HKEY_CURRENT_USER, kRegistryBase);
  RegDeleteKeyA(HKEY_CURRENT_USER, kRegistryBase);
}

int Bench(const Options& o) {
  ComApartment com;
  if (FAILED(com.result())) return 1;
  tools::ModuleLoader module;
  if (const HRESULT hr = module.Load(std::wstring(o.module.begin(), o.module.end())); FAILED(hr)) {
    std::fprintf(stderr, "ovts-pushbench: cannot load %s: 0x%08lX\n", o.module.c_str(), static_cast<unsigned long>(hr));
    return 1;
  }
  const WorkingSet base = MeasureWorkingSet();
  RemoveLeftovers();
  CreateDirectoryA(kDirectory, nullptr);

  std::vector<std::unique_ptr<Stream>> streams;
  for (uint32_t k = 0; k < o.streams; ++k) {
    streams.push_back(std::make_unique<Stream>(k, module));
    HRESULT hr = streams.back()->Build(o);
    if (SUCCEEDED(hr)) hr = streams.back()->Run();
    if (FAILED(hr)) {
      std::fprintf(stderr, "ovts-pushbench: cannot build or run graph %u: 0x%08lX\n", k,
                   static_cast<unsigned long>(hr));
      return 1;
    }
  }
  std::fprintf(stderr, "%u streams at %.2f MB/s in %u-byte samples for %.0f s, default settings\n", o.streams,
               o.rateMBps, o.sampleBytes, o.seconds);

  // The peak as Wine reports it, and the working set sampled meanwhile, whichever is higher.
  double peakMB = base.peak;
  const Clock::time_point wallStart = Clock::now();
  const double cpuStart = tools::ProcessCpuSeconds();
  while (Ms(wallStart, Clock::now()) < o.seconds * 1000) {
    SleepMs(kWorkingSetSampleMs);
    peakMB = std::max(peakMB, MeasureWorkingSet().now);
  }
  const double wall = Ms(wallStart, Clock::now()) / 1000;
  const double cpuPct = 100 * (tools::ProcessCpuSeconds() - cpuStart) / wall;
  for (auto& s : streams) s->EndSteady();

  std::fprintf(stderr, "host controls: %u round(s) per stream, one stream at a time\n", o.rounds);
  std::vector<ControlTimes> worst(streams.size()), all;
  bool answered = true;
  for (size_t k = 0; k < streams.size() && answered; ++k) {
    for (uint32_t round = 0; round < o.rounds && answered; ++round) {
      answered = streams[k]->ControlRound(&worst[k], &all);
    }
    if (!answered) std::fprintf(stderr, "ovts-pushbench: stream %u delivered nothing within %lu ms\n", static_cast<unsigned>(k), kWaitMs);
  }
  peakMB = std::max({peakMB, MeasureWorkingSet().peak, MeasureWorkingSet().now});

  uint64_t lost = 0, damaged = 0, unmarked = 0;
  ControlTimes worstOfAll;
  for (size_t k = 0; k < streams.size(); ++k) {
    const test::TestSinkStats& steady = streams[k]->steady();
    const test::TestSinkStats whole = streams[k]->Stats();
    const ControlTimes& w = worst[k];
    lost += steady.pattern.lost;
    damaged += whole.pattern.corrupt;
    unmarked += whole.pattern.unreportedJumps;
    std::printf("stream=%u sent_bytes=%llu delivered_bytes=%llu lost_bytes=%llu marks=%llu damaged=%llu "
                "unmarked_jumps=%llu pause_call_ms=%.1f pause_ms=%.1f resume_ms=%.1f seek_to_live_ms=%.1f\n",
                static_cast<unsigned>(k), static_cast<unsigned long long>(streams[k]->sent()),
                static_cast<unsigned long long>(steady.bytes), static_cast<unsigned long long>(steady.pattern.lost),
                static_cast<unsigned long long>(steady.discontinuities),
                static_cast<unsigned long long>(whole.pattern.corrupt),
                static_cast<unsigned long long>(whole.pattern.unreportedJumps), w.pauseCall, w.pause, w.resume,
                w.seekToLive);
    worstOfAll.pause = std::max(worstOfAll.pause, w.pause);
    worstOfAll.resume = std::max(worstOfAll.resume, w.resume);
    worstOfAll.seekToLive = std::max(worstOfAll.seekToLive, w.seekToLive);
  }
  if (!all.empty()) {
    auto spread = [&](const char* name, double ControlTimes::*field) {
      std::vector<double> ms;
      for (const ControlTimes& t : all) ms.push_back(t.*field);
      PrintSpread(name, ms);
    };
    spread("pause_call", &ControlTimes::pauseCall);
    spread("pause", &ControlTimes::pause);
    spread("resume", &ControlTimes::resume);
    spread("seek_to_live", &ControlTimes::seekToLive);
  }
  std::printf("streams=%u seconds=%.1f rate_MBps=%.3f sample_bytes=%u lost_bytes=%llu damaged=%llu "
              "unmarked_jumps=%llu cpu_pct=%.2f cpu_pct_per_stream=%.2f peak_working_set_MB=%.1f "
              "base_working_set_MB=%.1f worst_pause_ms=%.1f worst_resume_ms=%.1f worst_seek_to_live_ms=%.1f\n",
              o.streams, wall, o.rateMBps, o.sampleBytes, static_cast<unsigned long long>(lost),
              static_cast<unsigned long long>(damaged), static_cast<unsigned long long>(unmarked), cpuPct,
              cpuPct / o.streams, peakMB, base.now, worstOfAll.pause, worstOfAll.resume, worstOfAll.seekToLive);
  std::fflush(stdout);

  streams.clear();
  RemoveDirectoryA(kDirectory);
  RemoveLeftovers();
  if (!answered) return 1;
  return lost || damaged || unmarked ? 2 : 0;
}

}  // namespace
}  // namespace ovts

int main(int argc, char** argv) {
  using ovts::tools::ParseNumber;
  using ovts::tools::ParseUnsigned;
  ovts::Options o;
  const std::optional<int> end = ovts::tools::ReadOptions(
      argc, argv, "ovts-pushbench", ovts::kUsage,
      {{"--streams", [&](const char* v) { return ParseUnsigned(v, 64, &o.streams) && o.streams > 0; }},
       {"--seconds", [&](const char* v) { return ParseNumber(v, 1, &o.seconds); }},
       {"--rate-mbps", [&](const char* v) { return ParseNumber(v, 0.001, &o.rateMBps); }},
       {"--sample-bytes", [&](const char* v) { return ParseUnsigned(v, 1u << 24, &o.sampleBytes) && o.sampleBytes > 0; }},
       {"--rounds", [&](const char* v) { return ParseUnsigned(v, 100, &o.rounds) && o.rounds > 0; }},
       {"--module",
        [&](const char* v) {
          o.module = v;
          return !o.module.empty();
        }}},
      3);
  return end ? *end : ovts::Bench(o);
}
