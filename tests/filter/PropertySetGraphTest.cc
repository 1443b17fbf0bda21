// The filter's property sets and instrumentation interface in the platform's graph, between a
// paced test source and the test sink: pass-through switched while Running and while Stopped,
// the playback properties under host control, and slow-call reports on the debugger.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <vector>

#include "DebugOutputCapture.h"
#include "TimeShiftGraph.h"
#include "platform/TestFileFaults.h"

namespace ovts::test {
namespace {

constexpr uint64_t kKB = 1024;
const TestSourceConfig kLiveSource = {.subtype = MEDIASUBTYPE_MPEG2_TRANSPORT, .bytesPerSample = 16384,
                                      .bufferCount = 8, .bytesPerSecond = 2000000};

// One sample as the sink saw it, and the thread that delivered it downstream.
struct Delivery {
  DWORD thread;
  uint64_t position, length;
  bool discontinuity;
};

class PropertySetGraphTest : public TimeShiftGraphTest {
 protected:
  void Start(const TestSourceConfig& source) {
    AddFilter(new CTSFilter(nullptr), 4096, kSmallCaches);
    ASSERT_HRESULT_SUCCEEDED(filter_->QueryInterface(IID_PPV_ARGS(&properties_)));
    AddPushSource(source);
    TestSinkConfig sink;
    sink.onSample = [this](const AM_SAMPLE2_PROPERTIES& p) {
      std::lock_guard<std::mutex> guard(logLock_);
      log_.push_back({GetCurrentThreadId(), PatternPosition(p.pbBuffer), static_cast<uint64_t>(p.lActual),
                      (p.dwSampleFlags & AM_SAMPLE_DATADISCONTINUITY) != 0});
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
  // The playback state, or -1 when the property refuses.
  int PlayState() {
    uint32_t state = 0;
    DWORD returned = 0;
    const HRESULT hr =
        properties_->Get(TSPROPSETID_Control, TSPROPERTY_PLAY_STATE, nullptr, 0, &state, sizeof state, &returned);
    return hr == S_OK ? static_cast<int>(state) : -1;
  }

  std::vector<Delivery> Log() {
    std::lock_guard<std::mutex> guard(logLock_);
    return log_;
  }
  // Samples from index `from` on that were (or were not) delivered on `thread`.
  static size_t CountOn(const std::vector<Delivery>& log, size_t from, DWORD thread, bool on) {
    size_t count = 0;
    for (size_t i = from; i < log.size(); ++i) count += (log[i].thread == thread) == on;
    return count;
  }
  bool WaitForDeliveries(size_t from, size_t count, DWORD thread, bool on) {
    std::unique_lock<std::mutex> guard(logLock_);
    return logged_.wait_for(guard, std::chrono::milliseconds(kWaitMs),
                            [&] { return CountOn(log_, from, thread, on) >= count; });
  }

  ComPtr<IKsPropertySet> properties_;
  std::mutex logLock_;
  std::condition_variable logged_;
  std::vector<Delivery> log_;  // logLock_
};

TEST_F(PropertySetGraphTest, PassThroughWhileRunningBypassesTheBufferAndComesBack) {
  // Catches a play state that does not follow host control, a position property that does not
  // seek to the first 8 bytes of longer data, samples that keep coming from the buffer (or stop)
  // once pass-through is on, a graph pause that then ends the stream downstream, a restart that
  // interleaves, repeats bytes or plays without its discontinuity mark, and a failed restart
  // that is not reported or stops the stream.
  DebugOutputCapture debugger;
  Start(kLiveSource);
  ASSERT_HRESULT_SUCCEEDED(media_->Run());
  ASSERT_TRUE(sink_->WaitForBytes(1024 * kKB, kWaitMs));
  const DWORD output = Log().front().thread;  // the output pin's streaming thread
  EXPECT_EQ(PlayState(), TSSTATE_PLAYING);
  ASSERT_EQ(control_->Pause(), S_OK);
  EXPECT_EQ(PlayState(), TSSTATE_PAUSED);
  const int64_t target[2] = {256 * kKB, -1};
  ASSERT_EQ(properties_->Set(TSPROPSETID_Control, TSPROPERTY_PLAY_POSITION, nullptr, 0,
                             const_cast<int64_t*>(target), sizeof target),
            S_OK);
  const size_t resumed = Log().size();
  ASSERT_EQ(control_->Resume(), S_OK);
  ASSERT_TRUE(WaitForDeliveries(resumed, 1, output, true));
  EXPECT_EQ(Log()[resumed].position, static_cast<uint64_t>(target[0]));

  const size_t bypass = Log().size();
  ASSERT_EQ(SetPassThrough(1), S_OK);
  EXPECT_FALSE(filter_->Buffer().IsOpen());
  EXPECT_EQ(PlayState(), -1);
  ASSERT_TRUE(WaitForDeliveries(bypass, 16, output, false));
  // Paused for longer than the output thread's 50 ms poll.
  ASSERT_HRESULT_SUCCEEDED(media_->Pause());
  ASSERT_TRUE(WaitForDeliveries(bypass, 32, output, false));
  ASSERT_HRESULT_SUCCEEDED(media_->Run());
  EXPECT_EQ(PlayState(), -1);
  const size_t restart = Log().size();
  ASSERT_EQ(SetPassThrough(0), S_OK);
  EXPECT_EQ(PlayState(), TSSTATE_PLAYING);
  ASSERT_TRUE(WaitForDeliveries(restart, 4, output, true));
  EXPECT_EQ(sink_->Stats().endOfStreams, 0u) << "the output thread ended the stream";
  const std::vector<Delivery> log = Log();
  size_t first = bypass, back;
  while (log[first].thread == output) ++first;  // buffered samples the switch let finish
  for (back = first + 1; log[back].thread != output; ++back) {
    ASSERT_EQ(log[back].position, log[back - 1].position + log[back - 1].length) << "bypassed sample " << back;
  }
  EXPECT_EQ(CountOn(log, back, output, false), 0u) << "bypassed and buffered samples interleave";
  EXPECT_TRUE(log[back].discontinuity);
  EXPECT_GE(log[back].position, log[back - 1].position + log[back - 1].length) << "bytes repeated";

  // The disk refuses the buffer file: the restart fails, the stream goes on bypassing it.
  ASSERT_EQ(SetPassThrough(1), S_OK);
  TestFileFaults faults;
  faults.FailAt(port::FileOp::kSeek, 0, port::FileFault::kIoError);  // the file's pre-allocation
  const size_t failed = Log().size();
  EXPECT_TRUE(FAILED(SetPassThrough(0)));
  EXPECT_EQ(debugger.Count("[TShift]: Fatal error! Can't run from file buffer.\n"), 1);
  EXPECT_EQ(PlayState(), -1) << "pass-through stays on";
  EXPECT_TRUE(WaitForDeliveries(failed, 8, output, false));
  ASSERT_HRESULT_SUCCEEDED(media_->Stop());
}

TEST_F(PropertySetGraphTest, PassThroughSetWhileStoppedDecidesTheNextStart) {
  // Catches a start that opens the buffer while pass-through is on (or does not once it is off),
  // and a bypassed stream that loses bytes or whose end does not reach downstream exactly once.
  Start({.subtype = MEDIASUBTYPE_MPEG2_TRANSPORT, .bytesPerSample = 16384, .bufferCount = 8,
         .bytesPerSecond = 4000000, .totalBytes = 1024 * kKB});
  ASSERT_EQ(SetPassThrough(1), S_OK);
  ASSERT_HRESULT_SUCCEEDED(media_->Run());
  EXPECT_FALSE(filter_->Buffer().IsOpen());
  ASSERT_TRUE(sink_->WaitForEndOfStream(kWaitMs));
  EXPECT_EQ(sink_->Stats().pattern.verified, 1024 * kKB);
  EXPECT_EQ(sink_->Stats().endOfStreams, 1u);
  ASSERT_HRESULT_SUCCEEDED(media_->Stop());
  ASSERT_EQ(SetPassThrough(0), S_OK);
  EXPECT_FALSE(filter_->Buffer().IsOpen());
  ASSERT_HRESULT_SUCCEEDED(media_->Pause());
  EXPECT_TRUE(filter_->Buffer().IsOpen());
}

TEST_F(PropertySetGraphTest, SlowCallReportsReachTheDebugger) {
  // Catches reports kept inside the buffer where nobody sees them, a path timed while its flag
  // is clear, and instrumentation settings that do not switch the buffer's reports on for good.
  DebugOutputCapture debugger;
  Start(kLiveSource);
  ComPtr<IOVTSInstrumentation> instrumentation;
  ASSERT_HRESULT_SUCCEEDED(filter_->QueryInterface(IID_PPV_ARGS(&instrumentation)));
  const TSInstrumentationSettings off{0, 0, 0, 0, 0}, both{TSINST_INPUT | TSINST_OUTPUT, 0, 0, 0, 0};
  ASSERT_EQ(instrumentation->SetInstrumentation(&off), S_OK);
  EXPECT_TRUE(filter_->Buffer().IsInstrumentationEnabled());
  ASSERT_HRESULT_SUCCEEDED(media_->Run());
  ASSERT_TRUE(sink_->WaitForBytes(512 * kKB, kWaitMs));
  EXPECT_EQ(debugger.Count("CCircMemBuf::"), 0);
  ASSERT_EQ(instrumentation->SetInstrumentation(&both), S_OK);
  EXPECT_TRUE(debugger.WaitFor("CCircMemBuf::Write Instrumentation", 4, kWaitMs));
  EXPECT_TRUE(debugger.WaitFor("CCircMemBuf::Read Instrumentation", 4, kWaitMs));

  // Calls timed before the switch may still report, none after them: the source's next buffer
  // request follows its last delivery.
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
