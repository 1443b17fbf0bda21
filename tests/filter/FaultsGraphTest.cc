// Faults that must never cost the recording, with the filter in the platform's graph: a disk that
// fills up while recording (through the platform layer's fault seam), two filters configured
// with one buffer file, settings that could never deliver, and a sink that holds a sample until
// it is flushed while the host seeks.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "TimeShiftGraph.h"
#include "filter/COVRegKey.h"
#include "platform/TestFileFaults.h"
#include "platform/Owners.h"

namespace ovts::test {
namespace {

constexpr uint64_t kKB = 1024;

class FaultsTest : public TimeShiftGraphTest {
 protected:
  template <typename T>
  T Recording(TSRecordingPropertyId id, CTSFilter* filter = nullptr) {
    ComPtr<IKsPropertySet> properties;
    EXPECT_HRESULT_SUCCEEDED((filter ? filter : filter_.Get())->QueryInterface(IID_PPV_ARGS(&properties)));
    T value{};
    DWORD returned = 0;
    EXPECT_EQ(properties->Get(TSPROPSETID_Recording, id, nullptr, 0, &value, sizeof value, &returned), S_OK);
    return value;
  }
  std::wstring RecordingText(TSRecordingPropertyId id, CTSFilter* filter = nullptr) {
    return Recording<TSRecordingText>(id, filter).text;
  }

  // The next event of the graph within the wait: its code and first parameter, or code 0.
  // (Wine's GetEvent neither waits nor keeps its handle in step with the queue: polled.)
  std::pair<long, LONG_PTR> NextEvent(DWORD timeoutMs) {
    ComPtr<IMediaEvent> events;
    EXPECT_HRESULT_SUCCEEDED(graph_->QueryInterface(IID_IMediaEvent, reinterpret_cast<void**>(events.GetAddressOf())));
    long code = 0;
    LONG_PTR p1 = 0, p2 = 0;
    if (!WaitUntil([&] { return SUCCEEDED(events->GetEvent(&code, &p1, &p2, 0)); }, timeoutMs)) return {0, 0};
    events->FreeEventParams(code, p1, p2);
    return {code, p1};
  }
  // Waits for an event with this code, passing over others; its first parameter, or -1.
  LONG_PTR WaitForEvent(long code) {
    for (;;) {
      const auto [got, p1] = NextEvent(kWaitMs);
      if (got == 0) return -1;
      if (got == code) return p1;
    }
  }
};

TEST_F(FaultsTest, AFullDiskSuspendsRecordingUntilItTakesDataAgain) {
  // Catches a full disk that ends recording for good (the write worker ended on the failed write
  // and only Stop and Run brought it back), bytes lost unmarked, and an outage the host is not
  // told of, or told of more than once.
  TestFileFaults faults;
  AddFilter(new CTSFilter(nullptr), 32768, kSmallCaches);
  AddPushSource({.subtype = MEDIASUBTYPE_MPEG2_TRANSPORT, .bytesPerSample = 65424, .bufferCount = 8,
                 .bytesPerSecond = 4000000});
  AddSink();
  ASSERT_HRESULT_SUCCEEDED(media_->Run());
  ASSERT_TRUE(sink_->WaitForBytes(1024 * kKB, kWaitMs));
  faults.SetDiskFull(true);
  EXPECT_EQ(WaitForEvent(EC_OVTS_RECORDING_FAULT), HRESULT_FROM_WIN32(ERROR_DISK_FULL));
  EXPECT_EQ(Recording<int32_t>(TSPROPERTY_RECORDING_FAULT), HRESULT_FROM_WIN32(ERROR_DISK_FULL));
  EXPECT_NE(RecordingText(TSPROPERTY_RECORDING_PROBLEM).find(L"Recording stopped"), std::wstring::npos);
  // The retained window keeps playing while the disk is full; retries keep failing.
  const uint64_t refused = faults.Failed();
  ASSERT_TRUE(test::WaitUntil([&] { return faults.Failed() >= refused + 2; }));
  faults.SetDiskFull(false);
  EXPECT_EQ(WaitForEvent(EC_OVTS_RECORDING_RESUMED), 0);
  const uint64_t resumedAt = sink_->Stats().bytes;
  ASSERT_TRUE(sink_->WaitFor(kWaitMs, [&](const TestSinkStats& s) {
    return s.bytes > resumedAt + 1024 * kKB && s.pattern.lost > 0;
  })) << "playback goes on past the outage, marked";
  ASSERT_HRESULT_SUCCEEDED(media_->Stop());
  const TestSinkStats s = sink_->Stats();
  EXPECT_EQ(s.pattern.unreportedJumps, 0u);
  EXPECT_EQ(s.pattern.corrupt, 0u);
  EXPECT_GE(Recording<uint64_t>(TSPROPERTY_RECORDING_DROPPED_BYTES), s.pattern.lost);
  EXPECT_EQ(Recording<int32_t>(TSPROPERTY_RECORDING_FAULT), S_OK);
  EXPECT_EQ(NextEvent(0).first, 0) << "one report per outage and one per resumption";
}

TEST_F(FaultsTest, ASmallVolumeFilledFromOutside) {
  // Catches the same on a real volume (tests/filter/small_volume.sh mounts one and names its
  // drive in OVTS_SMALL_VOLUME): another program fills it while the filter records, then frees it.
  const char* volume = std::getenv("OVTS_SMALL_VOLUME");
  if (!volume) GTEST_SKIP() << "no small volume mounted (tests/filter/small_volume.sh runs this)";
  AddFilter(new CTSFilter(nullptr), 32768, kSmallCaches);
  TSBufferConfig config{port::NarrowToBstr(volume), port::NarrowToBstr("buffer.mpg"), 24576, 0, 524288, PreAllocate};
  ASSERT_EQ(control_->SetBufferSettings(&config), S_OK);
  AddPushSource({.subtype = MEDIASUBTYPE_MPEG2_TRANSPORT, .bytesPerSample = 65424, .bufferCount = 8,
                 .bytesPerSecond = 2000000});
  AddSink();
  ASSERT_HRESULT_SUCCEEDED(media_->Run());
  ASSERT_TRUE(sink_->WaitForBytes(512 * kKB, kWaitMs));
  // Fills what is left of the volume while the buffer file still grows into it.
  const std::string filler = std::string(volume) + "filler.bin";
  {
    UniqueHandle file(CreateFileA(filler.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(file);
    std::vector<char> block(1 << 20, 'f');
    DWORD written = 0;
    while (WriteFile(file.get(), block.data(), static_cast<DWORD>(block.size()), &written, nullptr) && written > 0) {
    }
  }
  EXPECT_EQ(WaitForEvent(EC_OVTS_RECORDING_FAULT), HRESULT_FROM_WIN32(ERROR_DISK_FULL));
  ASSERT_TRUE(DeleteFileA(filler.c_str()));
  EXPECT_EQ(WaitForEvent(EC_OVTS_RECORDING_RESUMED), 0);
  const uint64_t resumedAt = sink_->Stats().bytes;
  ASSERT_TRUE(sink_->WaitFor(kWaitMs, [&](const TestSinkStats& s) {
    return s.bytes > resumedAt + 1024 * kKB && s.pattern.lost > 0;
  })) << "playback goes on past the outage, marked";
  ASSERT_HRESULT_SUCCEEDED(media_->Stop());
  EXPECT_EQ(sink_->Stats().pattern.unreportedJumps, 0u);
  EXPECT_EQ(sink_->Stats().pattern.corrupt, 0u);
}

TEST_F(FaultsTest, TwoFiltersConfiguredWithOneFileRecordTheirOwnStreams) {
  // Catches two filters writing one buffer file: after a host pause and resume one of them
  // delivered the other graph's stream without a mark.
  constexpr uint64_t kOtherStream = 1ull << 40;  // the second source's stream positions
  AddFilter(new CTSFilter(nullptr), 32768, kSmallCaches);
  AddPushSource({.subtype = MEDIASUBTYPE_MPEG2_TRANSPORT, .bytesPerSample = 16384, .bufferCount = 8,
                 .bytesPerSecond = 2000000});
  AddSink();

  // The second graph: its own settings key, but the same folder and file.
  ComPtr<IGraphBuilder> graph;
  ASSERT_HRESULT_SUCCEEDED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&graph)));
  ComPtr<CTSFilter> filter(new CTSFilter(nullptr));
  ComPtr<IOVTimeShiftFilter> control;
  ASSERT_HRESULT_SUCCEEDED(filter->QueryInterface(IID_PPV_ARGS(&control)));
  ASSERT_EQ(control->SetRegistryBase((base_ + "\\Second").c_str()), S_OK);
  TSBufferConfig config{port::NarrowToBstr(dir_.c_str()), port::NarrowToBstr("buffer.mpg"), 32768, 128, 524288,
                        PreAllocate};
  ASSERT_EQ(control->SetBufferSettings(&config), S_OK);
  TSCacheConfig caches = kSmallCaches;
  ASSERT_EQ(control->SetCacheSettings(&caches), S_OK);
  ASSERT_EQ(graph->AddFilter(filter.Get(), L"Second Time Shift"), S_OK);
  CTestSource* rawSource = nullptr;
  ASSERT_EQ(CTestSource::Create({.subtype = MEDIASUBTYPE_MPEG2_TRANSPORT, .bytesPerSample = 16384,
                                 .bufferCount = 8, .bytesPerSecond = 2000000, .startPosition = kOtherStream},
                                &rawSource),
            S_OK);
  ComPtr<CTestSource> source(rawSource);
  rawSource->Release();
  CTestSink* rawSink = nullptr;
  ASSERT_EQ(CTestSink::Create({.start = kOtherStream}, &rawSink), S_OK);
  ComPtr<CTestSink> sink(rawSink);
  rawSink->Release();
  ASSERT_EQ(graph->AddFilter(source.Get(), L"Second Source"), S_OK);
  ASSERT_EQ(graph->AddFilter(sink.Get(), L"Second Sink"), S_OK);
  ASSERT_EQ(graph->ConnectDirect(source->Output(), filter->GetPin(0), nullptr), S_OK);
  ASSERT_EQ(graph->ConnectDirect(filter->OutputPin(), sink->Input(), nullptr), S_OK);
  ComPtr<IMediaControl> media;
  ASSERT_HRESULT_SUCCEEDED(graph.As(&media));

  ASSERT_HRESULT_SUCCEEDED(media_->Run());
  ASSERT_HRESULT_SUCCEEDED(media->Run());
  EXPECT_EQ(RecordingText(TSPROPERTY_RECORDING_FILE), std::wstring(dir_.begin(), dir_.end()) + L"buffer.mpg");
  EXPECT_EQ(RecordingText(TSPROPERTY_RECORDING_FILE, filter.Get()),
            std::wstring(dir_.begin(), dir_.end()) + L"buffer-2.mpg");
  ASSERT_TRUE(sink_->WaitForBytes(1024 * kKB, kWaitMs));
  ASSERT_TRUE(sink->WaitForBytes(1024 * kKB, kWaitMs));
  for (IOVTimeShiftFilter* host : {control_.Get(), control.Get()}) {
    ASSERT_EQ(host->Pause(), S_OK);
    ASSERT_TRUE(source->Stream()->WaitForBufferRequests(source->Stream()->BytesDelivered() / 16384 + 32, kWaitMs));
    ASSERT_EQ(host->Resume(), S_OK);
  }
  ASSERT_TRUE(sink_->WaitForBytes(sink_->Stats().bytes + 1024 * kKB, kWaitMs));
  ASSERT_TRUE(sink->WaitForBytes(sink->Stats().bytes + 1024 * kKB, kWaitMs));
  ASSERT_HRESULT_SUCCEEDED(media->Stop());
  ASSERT_HRESULT_SUCCEEDED(media_->Stop());
  for (CTestSink* each : {sink_.Get(), sink.Get()}) {
    const TestSinkStats s = each->Stats();
    EXPECT_EQ(s.pattern.corrupt, 0u);
    EXPECT_EQ(s.pattern.unreportedJumps, 0u);
    EXPECT_EQ(s.pattern.unsynced, 0u);
  }
  EXPECT_EQ(sink->Stats().pattern.bytes, sink->Stats().bytes);
  EXPECT_TRUE(RecordingText(TSPROPERTY_RECORDING_FILE, filter.Get()).empty()) << "stopped";
  graph->RemoveFilter(filter.Get());
  graph->RemoveFilter(source.Get());
  graph->RemoveFilter(sink.Get());
}

TEST_F(FaultsTest, SettingsThatCouldNeverDeliverAreRefusedWithTheirReason) {
  // Catches a graph that runs silently and delivers nothing: a ring of 1 KB (a huge size
  // wrapped to 32 bits), a chunk larger than its cache; and names too long to read back stored
  // as if they were fine.
  AddFilter(new CTSFilter(nullptr), 32768, kSmallCaches);
  AddPushSource({.subtype = MEDIASUBTYPE_MPEG2_TRANSPORT});
  AddSink();
  {
    COVRegKey key((base_ + "\\TShift").c_str(), KEY_READ | KEY_WRITE);
    ASSERT_EQ(key.WriteDWORD("Max BufSize (KB)", 0x00400001), 0);
  }
  // Paused first, as a host under Wine must: a graph whose Run failed can no longer be released.
  EXPECT_EQ(media_->Pause(), E_INVALIDARG);
  EXPECT_EQ(RecordingText(TSPROPERTY_RECORDING_PROBLEM),
            L"The buffer (1024 bytes) is smaller than one output chunk (64 KB)");
  media_->Stop();

  TSCacheConfig chunky{1024, 2048, 0, 512, 1024, 250};
  ASSERT_EQ(control_->SetCacheSettings(&chunky), S_OK);
  EXPECT_EQ(chunky.inputChunkKB, 1024u) << "normalised where the sizes are";
  EXPECT_EQ(chunky.outputChunkKB, 512u);
  EXPECT_EQ(chunky.outputThreshold, 100u);
  Configure(32768, kSmallCaches, PreAllocate);
  {
    COVRegKey key((base_ + "\\TShift").c_str(), KEY_READ | KEY_WRITE);
    const uint32_t refused[3] = {512, 1024, 75};  // written past the normalisation
    ASSERT_EQ(key.WriteBinary("Output Cache", refused, sizeof refused), 0);
  }
  EXPECT_EQ(media_->Pause(), E_INVALIDARG);
  EXPECT_EQ(RecordingText(TSPROPERTY_RECORDING_PROBLEM),
            L"The output chunk (1024 KB) does not fit the output cache (512 KB)");
  media_->Stop();

  const std::string longName(300, 'n');
  TSBufferConfig config{port::NarrowToBstr(dir_.c_str()), port::NarrowToBstr(longName.c_str()), 32768, 128, 524288,
                        PreAllocate};
  EXPECT_EQ(control_->SetBufferSettings(&config), E_INVALIDARG);
  EXPECT_EQ(config.fileName, nullptr) << "consumed, as always";
  port::BufferConfigHolder stored;
  ASSERT_EQ(control_->GetBufferSettings(stored.get()), S_OK);
  EXPECT_STREQ(stored->fileName, L"buffer.mpg") << "nothing stored";
}

TEST_F(FaultsTest, AHeldSampleDoesNotHoldUpHostSeeks) {
  // Catches SeekToLive and SetPlayPosition waiting for an output thread that a sink holds in
  // Receive until it is flushed (as a paused renderer does): they flushed downstream only after.
  AddFilter(new CTSFilter(nullptr), 32768, kSmallCaches);
  AddPushSource({.subtype = MEDIASUBTYPE_MPEG2_TRANSPORT, .bytesPerSample = 16384, .bufferCount = 8,
                 .bytesPerSecond = 4000000});
  TestSinkConfig config;
  config.holdUntilFlush = true;
  AddSink(config);
  ASSERT_HRESULT_SUCCEEDED(media_->Run());
  double longestMs = 0;
  auto hostCall = [&](const char* name, auto call) {
    ASSERT_TRUE(sink_->WaitFor(kWaitMs, [](const TestSinkStats& s) { return s.holding > 0; })) << name;
    std::atomic<bool> done{false};
    port::Event returned(port::Event::Mode::kManualReset);
    const int64_t start = port::PerformanceCounter();
    std::thread caller([&] {
      EXPECT_EQ(call(), S_OK) << name;
      done = true;
      returned.Set();
    });
    const bool back = returned.Wait(10000);
    longestMs = std::max(longestMs, (port::PerformanceCounter() - start) * 1000.0 / port::PerformanceFrequency());
    if (!back) sink_->Pin().BeginFlush();  // lets the stuck call finish, so the test can end
    caller.join();
    EXPECT_TRUE(back) << name << " waited for the held sample";
  };
  hostCall("SeekToLive", [&] { return control_->SeekToLive(); });
  hostCall("SetPlayPosition", [&] { return control_->SetPlayPosition(0, 1); });
  std::printf("longest host call with a held sample: %.1f ms\n", longestMs);
  ASSERT_HRESULT_SUCCEEDED(media_->Stop());
}

}  // namespace
}  // namespace ovts::test
