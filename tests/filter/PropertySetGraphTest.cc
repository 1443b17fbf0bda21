// The filter's property sets and instrumentation interface in the platform's graph, between a
// paced test source and the test sink: pass-through switched while Running and while Stopped,
// the playback properties following host control, and slow-call reports on the debugger.
#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "DebugOutputCapture.h"
#include "TimeShiftGraph.h"

namespace ovts::test {
namespace {

constexpr uint64_t kKB = 1024;
constexpr char kFatalRestart[] = "[TShift]: Fatal error! Can't run from file buffer.\n";
const TestSourceConfig kLiveSource = {.subtype = MEDIASUBTYPE_MPEG2_TRANSPORT, .bytesPerSample = 16384,
                                      .bufferCount = 8, .bytesPerSecond = 2000000};

// One sample as the sink saw it.
struct Delivery {
  DWORD thread;  // the thread that delivered it downstream
  uint64_t position;
  uint64_t length;
  bool discontinuity;
};
using DeliveryLog = std::vector<Delivery>;

// Deliveries from index `from` on that were (or were not) made on `thread`.
size_t CountOn(const DeliveryLog& log, size_t from, DWORD thread, bool on) {
  size_t count = 0;
  for (size_t i = from; i < log.size(); ++i) count += (log[i].thread == thread) == on;
  return count;
}

class PropertySetGraphTest : public TimeShiftGraphTest {
 protected:
  void Start(const TestSourceConfig& source) {
    AddFilter(new CTSFilter(nullptr), 4096, kSmallCaches);
    ASSERT_HRESULT_SUCCEEDED(filter_->QueryInterface(IID_PPV_ARGS(&properties_)));
    AddPushSource(source);
    TestSinkConfig sink;
    sink.onSample = [this](const AM_SAMPLE2_PROPERTIES& p) {
      {
        std::lock_guard<std::mutex> guard(logLock_);
        log_.push_back({GetCurrentThreadId(), PatternPosition(p.pbBuffer), static_cast<uint64_t>(p.lActual),
                        (p.dwSampleFlags & AM_SAMPLE_DATADISCONTINUITY) != 0});
      }
      logged_.notify_all();
    };
    AddSink(sink);
  }

  void TearDown() override {
    properties_.Reset();
    TimeShiftGraphTest::TearDown();
  }

  HRESULT SetPassThrough(uint32_t on) {
    return properties_->Set(TSPROPSETID_PassThrough, TSPROPERTY_PASS_THROUGH, nullptr, 0, &on, sizeof on);
  }
  uint32_t PassThroughFlag() {
    uint32_t on = 0xFF;
    EXPECT_EQ(properties_->Get(TSPROPSETID_PassThrough, TSPROPERTY_PASS_THROUGH, nullptr, 0, &on, sizeof on, nullptr),
              S_OK);
    return on;
  }
  // The playback state, or -1 when the property refuses.
  int PlayState() {
    uint32_t state = 0;
    DWORD returned = 0;
    return properties_->Get(TSPROPSETID_Control, TSPROPERTY_PLAY_STATE, nullptr, 0, &state, sizeof state, &returned) ==
                   S_OK
               ? static_cast<int>(state)
               : -1;
  }

  DeliveryLog Log() {
    std::lock_guard<std::mutex> guard(logLock_);
    return log_;
  }
  bool WaitForLog(const std::function<bool(const DeliveryLog&)>& done) {
    std::unique_lock<std::mutex> guard(logLock_);
    return logged_.wait_for(guard, std::chrono::milliseconds(kWaitMs), [&] { return done(log_); });
  }
  // Waits for `count` samples after index `from` delivered (or not) on `thread`.
  bool WaitForDeliveries(size_t from, size_t count, DWORD thread, bool on) {
    return WaitForLog([&](const DeliveryLog& log) { return CountOn(log, from, thread, on) >= count; });
  }

  ComPtr<IKsPropertySet> properties_;
  std::mutex logLock_;
  std::condition_variable logged_;
  DeliveryLog log_;  // logLock_
};

TEST_F(PropertySetGraphTest, PassThroughWhileRunningBypassesTheBufferAndComesBack) {
  // Catches samples that keep coming from the buffer (or stop) once pass-through is on, a buffer
  // sample delivered after the bypassed stream began, a graph pause that ends the stream
  // downstream, a restart that interleaves, repeats bytes or plays without its discontinuity
  // mark, and a failed restart that is not reported or stops the stream.
  DebugOutputCapture debugger;
  Start(kLiveSource);
  ASSERT_HRESULT_SUCCEEDED(media_->Run());
  ASSERT_TRUE(sink_->WaitForBytes(512 * kKB, kWaitMs));
  const DWORD output = Log().front().thread;  // the output pin's streaming thread

  ASSERT_EQ(SetPassThrough(1), S_OK);
  EXPECT_FALSE(filter_->Buffer().IsOpen());
  EXPECT_EQ(PlayState(), -1);
  ASSERT_TRUE(WaitForDeliveries(0, 16, output, false));
  // The stream goes on through a graph pause (longer than the output thread's poll).
  ASSERT_HRESULT_SUCCEEDED(media_->Pause());
  ASSERT_TRUE(WaitForDeliveries(0, 32, output, false));
  ASSERT_HRESULT_SUCCEEDED(media_->Run());
  ASSERT_TRUE(WaitForDeliveries(0, 40, output, false));
  EXPECT_EQ(sink_->Stats().endOfStreams, 0u) << "the output thread ended the stream";

  const size_t restart = Log().size();
  ASSERT_EQ(SetPassThrough(0), S_OK);
  EXPECT_EQ(PlayState(), TSSTATE_PLAYING);
  EXPECT_TRUE(filter_->Buffer().IsOpen());
  ASSERT_TRUE(WaitForDeliveries(restart, 4, output, true));
  const DeliveryLog log = Log();
  size_t bypass = 0;
  while (log[bypass].thread == output) ++bypass;
  size_t back = bypass;
  while (log[back].thread != output) ++back;
  for (size_t i = bypass + 1; i < back; ++i) {
    ASSERT_EQ(log[i].position, log[i - 1].position + log[i - 1].length) << "bypassed sample " << i;
  }
  EXPECT_EQ(CountOn(log, back, output, false), 0u) << "bypassed and buffered samples interleave";
  EXPECT_TRUE(log[back].discontinuity);
  EXPECT_GE(log[back].position, log[back - 1].position + log[back - 1].length) << "bytes repeated";

  // Another program holds the buffer file: the restart fails, the stream goes on bypassing it.
  ASSERT_EQ(SetPassThrough(1), S_OK);
  const UniqueHandle held(
      CreateFileA(BufferPath("held.mpg").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  ASSERT_NE(held.get(), INVALID_HANDLE_VALUE);
  Configure(4096, kSmallCaches, PreAllocate, "held.mpg");
  const size_t failed = Log().size();
  EXPECT_TRUE(FAILED(SetPassThrough(0)));
  EXPECT_EQ(debugger.Count(kFatalRestart), 1);
  EXPECT_EQ(PassThroughFlag(), 1u);
  EXPECT_FALSE(filter_->Buffer().IsOpen());
  EXPECT_TRUE(WaitForDeliveries(failed, 8, output, false));
  ASSERT_HRESULT_SUCCEEDED(media_->Stop());
}

TEST_F(PropertySetGraphTest, PassThroughSetWhileStoppedDecidesTheNextStart) {
  // Catches a switch on a stopped filter that touches the buffer, a start that opens the buffer
  // while pass-through is on (or does not once it is off), and a bypassed stream that loses
  // bytes or whose end does not reach downstream exactly once.
  Start({.subtype = MEDIASUBTYPE_MPEG2_TRANSPORT, .bytesPerSample = 16384, .bufferCount = 8,
         .bytesPerSecond = 4000000, .totalBytes = 1024 * kKB});
  ASSERT_EQ(SetPassThrough(1), S_OK);
  EXPECT_FALSE(filter_->Buffer().IsOpen());
  ASSERT_HRESULT_SUCCEEDED(media_->Run());
  EXPECT_FALSE(filter_->Buffer().IsOpen());
  ASSERT_TRUE(sink_->WaitForEndOfStream(kWaitMs));
  const TestSinkStats stats = sink_->Stats();
  EXPECT_EQ(stats.bytes, 1024 * kKB);
  EXPECT_EQ(stats.pattern.verified, 1024 * kKB);
  EXPECT_EQ(stats.endOfStreams, 1u);
  ASSERT_HRESULT_SUCCEEDED(media_->Stop());

  ASSERT_EQ(SetPassThrough(0), S_OK);
  EXPECT_FALSE(filter_->Buffer().IsOpen());
  ASSERT_HRESULT_SUCCEEDED(media_->Pause());
  EXPECT_TRUE(filter_->Buffer().IsOpen());
  EXPECT_EQ(PlayState(), TSSTATE_PLAYING);
}

TEST_F(PropertySetGraphTest, PlaybackPropertiesFollowHostControl) {
  // Catches a play state that does not follow host pause, resume and the graph's own pause, and
  // a position property that does not seek to the first 8 bytes of longer data.
  Start(kLiveSource);
  ASSERT_HRESULT_SUCCEEDED(media_->Run());
  ASSERT_TRUE(sink_->WaitForBytes(1024 * kKB, kWaitMs));
  EXPECT_EQ(PlayState(), TSSTATE_PLAYING);
  ASSERT_EQ(control_->Pause(), S_OK);
  EXPECT_EQ(PlayState(), TSSTATE_PAUSED);
  const int64_t target[2] = {256 * kKB, -1};
  ASSERT_EQ(properties_->Set(TSPROPSETID_Control, TSPROPERTY_PLAY_POSITION, nullptr, 0,
                             const_cast<int64_t*>(target), sizeof target),
            S_OK);
  int64_t position = -1;
  DWORD returned = 0;
  ASSERT_EQ(properties_->Get(TSPROPSETID_Control, TSPROPERTY_PLAY_POSITION, nullptr, 0, &position, 8, &returned), S_OK);
  EXPECT_EQ(position, target[0]);
  EXPECT_EQ(returned, 8u);
  const size_t resumed = Log().size();
  ASSERT_EQ(control_->Resume(), S_OK);
  EXPECT_EQ(PlayState(), TSSTATE_PLAYING);
  ASSERT_TRUE(WaitForLog([&](const DeliveryLog& log) { return log.size() > resumed; }));
  EXPECT_EQ(Log()[resumed].position, static_cast<uint64_t>(target[0]));
  ASSERT_HRESULT_SUCCEEDED(media_->Pause());
  EXPECT_EQ(PlayState(), TSSTATE_IDLE);
}

TEST_F(PropertySetGraphTest, SlowCallReportsReachTheDebugger) {
  // Catches reports kept inside the buffer where nobody sees them, a path timed while its flag
  // is clear, and instrumentation settings that do not switch the buffer's reports on for good.
  DebugOutputCapture debugger;
  Start(kLiveSource);
  ComPtr<IOVTSInstrumentation> instrumentation;
  ASSERT_HRESULT_SUCCEEDED(filter_->QueryInterface(IID_PPV_ARGS(&instrumentation)));
  const TSInstrumentationSettings off{0, 0, 0, 0, 0};
  ASSERT_EQ(instrumentation->SetInstrumentation(&off), S_OK);
  EXPECT_TRUE(filter_->Buffer().IsInstrumentationEnabled());
  ASSERT_HRESULT_SUCCEEDED(media_->Run());
  ASSERT_TRUE(sink_->WaitForBytes(512 * kKB, kWaitMs));
  EXPECT_EQ(debugger.Count("CCircMemBuf::"), 0);

  const TSInstrumentationSettings both{TSINST_INPUT | TSINST_OUTPUT, 0, 0, 0, 0};
  ASSERT_EQ(instrumentation->SetInstrumentation(&both), S_OK);
  EXPECT_TRUE(debugger.WaitFor("CCircMemBuf::Write Instrumentation", 4, kWaitMs));
  EXPECT_TRUE(debugger.WaitFor("CCircMemBuf::Read Instrumentation", 4, kWaitMs));

  // Calls already timed may still report; none after them.
  ASSERT_EQ(instrumentation->SetInstrumentation(&off), S_OK);
  CTestSourceStream* source = source_->Stream();
  const uint64_t taken = source->BytesDelivered() / kLiveSource.bytesPerSample;
  ASSERT_TRUE(source->WaitForBufferRequests(taken + 2, kWaitMs));
  const int reports = debugger.Count("CCircMemBuf::");
  ASSERT_TRUE(source->WaitForBufferRequests(taken + 18, kWaitMs));
  EXPECT_EQ(debugger.Count("CCircMemBuf::"), reports);
  ASSERT_HRESULT_SUCCEEDED(media_->Stop());
}

}  // namespace
}  // namespace ovts::test
