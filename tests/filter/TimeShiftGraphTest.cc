// The time-shift filter between a live, paced test source and the test sink in the platform's
// Filter Graph Manager: host control while recording goes on, a wrapping buffer file, and graph
// state cycles. The sink checks every delivered byte against its stream position.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "TimeShiftGraph.h"

namespace ovts::test {
namespace {

constexpr uint64_t kKB = 1024;
constexpr long kSourceSample = 16384;

class PushGraphTest : public TimeShiftGraphTest {
 protected:
  // Every discontinuous sample: where it starts in the stream and how much the buffer held then.
  struct Jump {
    uint64_t position;
    int64_t retained;
  };

  void Start(uint32_t sizeKB, const TSCacheConfig& caches, uint64_t bytesPerSecond) {
    AddFilter(new CTSFilter(nullptr), sizeKB, caches);
    AddPushSource({.subtype = MEDIASUBTYPE_MPEG2_TRANSPORT, .bytesPerSample = kSourceSample, .bufferCount = 8,
                   .bytesPerSecond = bytesPerSecond});
    TestSinkConfig sink;
    sink.onSample = [this](const AM_SAMPLE2_PROPERTIES& p) {
      if (!(p.dwSampleFlags & AM_SAMPLE_DATADISCONTINUITY)) return;
      std::lock_guard<std::mutex> guard(jumpsLock_);
      jumps_.push_back({PatternPosition(p.pbBuffer), filter_->Buffer().GetDataSize()});
    };
    AddSink(sink);
  }

  // The count-th jump, once the sink has seen it.
  Jump WaitForJump(size_t count) {
    EXPECT_TRUE(sink_->WaitFor(kWaitMs, [&](const TestSinkStats& s) { return s.discontinuities >= count; }));
    std::lock_guard<std::mutex> guard(jumpsLock_);
    return jumps_.size() >= count ? jumps_[count - 1] : Jump{};
  }

  // Lets the paced source take n - 1 more buffers at least, so time passes at its pace.
  void LetSourceDeliver(uint64_t samples) {
    const uint64_t taken = source_->Stream()->BytesDelivered() / kSourceSample;
    ASSERT_TRUE(source_->Stream()->WaitForBufferRequests(taken + samples, kWaitMs));
  }

  // Every byte arrived right for its stream position; every jump was marked, and only jumps.
  void ExpectIntact() {
    const TestSinkStats s = sink_->Stats();
    EXPECT_GT(s.bytes, 0u);
    EXPECT_EQ(s.pattern.corrupt, 0u);
    EXPECT_EQ(s.pattern.unreportedJumps, 0u);
    EXPECT_EQ(s.pattern.unsynced, 0u);
    std::lock_guard<std::mutex> guard(jumpsLock_);
    EXPECT_EQ(s.discontinuities, jumps_.size());
  }

  std::mutex jumpsLock_;
  std::vector<Jump> jumps_;  // jumpsLock_
};

TEST_F(PushGraphTest, HostControlsPlaybackWhileRecordingGoesOn) {
  // Catches output that does not hold on a host pause or does not resume at the file read
  // position, seeks that land elsewhere or are not rate-limited, a jump to live that misses the
  // newest data, a flush that does not prime the output again, and any of these without its
  // discontinuity mark (or with stray marks).
  Start(32768, kSmallCaches, 2000000);
  EXPECT_EQ(Status(&IOVTimeShiftFilter::GetWriteLocation), 0);
  filter_->SetInstrumentationSettings({TSINST_OUTPUT, 750, 1500, 0, 5000});
  filter_->Buffer().EnableInstrumentation(true);
  ASSERT_HRESULT_SUCCEEDED(media_->Run());
  ASSERT_TRUE(sink_->WaitForBytes(1024 * kKB, kWaitMs));
  EXPECT_EQ(WaitForJump(1).position, 0u);

  // Pause: the output holds, recording goes on.
  ASSERT_EQ(control_->Pause(), S_OK);
  const uint64_t held = sink_->Stats().bytes;
  const int64_t readAt = Status(&IOVTimeShiftFilter::GetReadLocation);
  const int64_t writeAt = Status(&IOVTimeShiftFilter::GetWriteLocation);
  LetSourceDeliver(64);
  EXPECT_EQ(sink_->Stats().bytes, held);
  EXPECT_EQ(Status(&IOVTimeShiftFilter::GetReadLocation), readAt);
  EXPECT_GT(Status(&IOVTimeShiftFilter::GetWriteLocation), writeAt);
  // Resume: delivery goes on from the file read position, marked.
  ASSERT_EQ(control_->Resume(), S_OK);
  EXPECT_EQ(WaitForJump(2).position, static_cast<uint64_t>(readAt));

  // An absolute seek from playback (it pauses and resumes around itself).
  ASSERT_EQ(control_->SetPlayPosition(1024 * kKB, 1), S_OK);
  EXPECT_EQ(WaitForJump(3).position, 1024 * kKB);
  // A relative one a second later, from where the paused output stands; another one within the
  // second is ignored.
  LetSourceDeliver(192);
  ASSERT_EQ(control_->Pause(), S_OK);
  const int64_t from = Status(&IOVTimeShiftFilter::GetReadLocation);
  const int64_t back = 256 * kKB;
  ASSERT_EQ(control_->SetPlayPosition(-back, 2), S_OK);
  EXPECT_EQ(Status(&IOVTimeShiftFilter::GetReadLocation), from - back);
  ASSERT_EQ(control_->SetPlayPosition(0, 1), S_OK);
  EXPECT_EQ(Status(&IOVTimeShiftFilter::GetReadLocation), from - back);
  ASSERT_EQ(control_->Resume(), S_OK);
  EXPECT_EQ(WaitForJump(4).position, static_cast<uint64_t>(from - back));

  // Near live: one output cache behind the newest data in the file, which "Write Location" names.
  const int64_t liveBefore = Status(&IOVTimeShiftFilter::GetWriteLocation);
  ASSERT_EQ(control_->SeekToLive(), S_OK);
  const int64_t liveAfter = Status(&IOVTimeShiftFilter::GetWriteLocation);
  const Jump live = WaitForJump(5);
  EXPECT_GE(live.position, static_cast<uint64_t>(liveBefore));
  EXPECT_LE(live.position, static_cast<uint64_t>(liveAfter));

  // Flush: the buffer starts empty and the output waits for 75 % of its read cache again.
  ASSERT_EQ(control_->Flush(), S_OK);
  EXPECT_GE(WaitForJump(6).retained, int64_t{kSmallCaches.outputCacheKB * 768});
  ASSERT_TRUE(sink_->WaitForBytes(sink_->Stats().bytes + 256 * kKB, kWaitMs));
  ASSERT_HRESULT_SUCCEEDED(media_->Stop());
  ExpectIntact();
  // Output timing on with a zero threshold reports every read; input timing stayed off.
  EXPECT_NE(std::strstr(filter_->Buffer().readCache().readRecord().text, "CCircMemBuf::Read"), nullptr);
  EXPECT_EQ(filter_->Buffer().writeCache().writeRecord().text[0], '\0');
}

TEST_F(PushGraphTest, SmallBufferWrapsAndPushesAnOvertakenReaderForward) {
  // Catches bytes lost or damaged where the file wraps, and a paused reader that the writer laps
  // left behind (stale or overwritten bytes) instead of moved to the oldest retained byte.
  constexpr uint32_t kBufferKB = 1024;
  Start(kBufferKB, TSCacheConfig{256, 64, 0, 512, 64, 75}, 2000000);
  ASSERT_HRESULT_SUCCEEDED(media_->Run());
  ASSERT_TRUE(sink_->WaitForBytes(3 * kBufferKB * kKB, kWaitMs));
  EXPECT_EQ(Status(&IOVTimeShiftFilter::GetCurrentBufferSize), Status(&IOVTimeShiftFilter::GetTotalBufferSize));
  EXPECT_EQ(Status(&IOVTimeShiftFilter::GetTotalBufferSize), int64_t{kBufferKB * 1024});
  EXPECT_EQ(sink_->Stats().pattern.lost, 0u);

  ASSERT_EQ(control_->Pause(), S_OK);
  LetSourceDeliver(2 * kBufferKB * kKB / kSourceSample);
  const uint64_t before = sink_->Stats().pattern.lost;
  ASSERT_EQ(control_->Resume(), S_OK);
  WaitForJump(2);
  ASSERT_TRUE(sink_->WaitForBytes(sink_->Stats().bytes + 512 * kKB, kWaitMs));
  ASSERT_HRESULT_SUCCEEDED(media_->Stop());
  // Twice what the file holds was written while paused: more than half of that was overwritten
  // before the reader came back (the write cache keeps at most a chunk and a sample of it).
  EXPECT_GE(sink_->Stats().pattern.lost - before, kBufferKB * kKB / 2);
  ExpectIntact();
}

TEST_F(PushGraphTest, GraphStateCyclesRereadSettingsAndLeaveNothingBehind) {
  // Catches settings not re-read at each start, a streaming thread, worker or buffer file handle
  // left over by a stop, a host pause that keeps a restarted graph silent, and state changes that
  // damage the stream.
  Start(2048, kSmallCaches, 2000000);
  int threads = -1;
  for (uint32_t cycle = 0; cycle < 4; ++cycle) {
    const std::string file = "cycle" + std::to_string(cycle) + ".mpg";
    Configure(2048 + 1024 * cycle, kSmallCaches, PreAllocate, file.c_str());
    ASSERT_HRESULT_SUCCEEDED(media_->Run());
    EXPECT_EQ(Status(&IOVTimeShiftFilter::GetTotalBufferSize), int64_t{(2048 + 1024 * cycle) * 1024});
    ASSERT_TRUE(sink_->WaitForBytes(sink_->Stats().bytes + 512 * kKB, kWaitMs));
    ASSERT_HRESULT_SUCCEEDED(media_->Pause());
    ASSERT_HRESULT_SUCCEEDED(media_->Run());
    ASSERT_TRUE(sink_->WaitForBytes(sink_->Stats().bytes + 512 * kKB, kWaitMs));
    // A host pause does not outlive the stop: the next start plays.
    if (cycle == 1) {
      ASSERT_EQ(control_->Pause(), S_OK);
    }
    ASSERT_HRESULT_SUCCEEDED(media_->Stop());

    EXPECT_FALSE(filter_->OutputPin()->ThreadExists());
    EXPECT_FALSE(filter_->Buffer().IsOpen());
    // No handle to the file is left: it opens without sharing.
    const HANDLE exclusive = CreateFileA(BufferPath(file.c_str()).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                         OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(exclusive, INVALID_HANDLE_VALUE) << file;
    if (exclusive != INVALID_HANDLE_VALUE) CloseHandle(exclusive);
    if (cycle == 0) threads = ThreadCount();
    EXPECT_EQ(ThreadCount(), threads) << "after cycle " << cycle;
  }
  ExpectIntact();
}

}  // namespace
}  // namespace ovts::test
