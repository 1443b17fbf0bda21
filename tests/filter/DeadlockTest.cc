// The three waits that could close into a deadlock, each provoked on purpose: a graph or host
// thread holds the playback or receive lock while a streaming thread already waits for it, and
// then waits for that streaming thread. Without the filter's way out each test hangs, and the
// watchdog fails it.
#include <gtest/gtest.h>

#include <optional>

#include "TimeShiftGraph.h"

namespace ovts::test {
namespace {

// Tells the test when a streaming thread has found the playback or receive lock held.
class CProbeTSFilter final : public CTSFilter {
 public:
  CProbeTSFilter() noexcept : CTSFilter(nullptr) {}
  port::Event playbackWaited{port::Event::Mode::kManualReset};
  port::Event receiveWaited{port::Event::Mode::kManualReset};

 protected:
  void OnLockContended(port::WaitableLock& lock) override {
    (&lock == &PlaybackLock() ? playbackWaited : receiveWaited).Set();
  }
};

class DeadlockTest : public TimeShiftGraphTest {
 protected:
  void StartPushing() {
    probe_ = new CProbeTSFilter();
    AddFilter(probe_);
    AddPushSource({.subtype = MEDIASUBTYPE_MPEG2_TRANSPORT, .bytesPerSample = 16384, .bytesPerSecond = 4000000});
    AddSink();
    ASSERT_HRESULT_SUCCEEDED(media_->Run());
    ASSERT_TRUE(sink_->WaitForBytes(64 * 1024, kWaitMs));
  }

  CProbeTSFilter* probe_ = nullptr;  // held by filter_
};

TEST_F(DeadlockTest, HostPauseWhileTheOutputThreadWaitsForThePlaybackLock) {
  // Catches the output thread blocking on the playback lock while host Pause, holding it, waits
  // for that thread to answer CMD_PAUSE.
  StartPushing();
  {
    port::LockGuard held(filter_->PlaybackLock());
    ASSERT_TRUE(probe_->playbackWaited.Wait(kWaitMs));
    EXPECT_EQ(control_->Pause(), S_OK);
  }
  const uint64_t before = sink_->Stats().bytes;
  ASSERT_EQ(control_->Resume(), S_OK);
  EXPECT_TRUE(sink_->WaitForBytes(before + 64 * 1024, kWaitMs));
}

TEST_F(DeadlockTest, GraphStopWhileTheOutputThreadWaitsForThePlaybackLock) {
  // Catches Stop, holding the playback lock, waiting for an output thread that entered
  // ReadSample while the graph still showed Running and now waits for that lock.
  StartPushing();
  {
    // In the order the filter's Stop takes them; the other filters stop afterwards.
    port::LockGuard state(filter_->StateLock());
    port::LockGuard held(filter_->PlaybackLock());
    ASSERT_TRUE(probe_->playbackWaited.Wait(kWaitMs));
    EXPECT_HRESULT_SUCCEEDED(filter_->Stop());
  }
  EXPECT_FALSE(filter_->OutputPin()->ThreadExists());
  EXPECT_HRESULT_SUCCEEDED(media_->Stop());
}

TEST_F(DeadlockTest, StopOrFlushWhileThePullThreadWaitsForTheReceiveLock) {
  // Catches a Stop or an input BeginFlush, holding the receive lock, waiting for the pull thread
  // to end while that thread, inside Receive, waits for the same lock.
  std::vector<uint8_t> file;
  const std::string path = WriteTsFile(4000, &file);
  probe_ = new CProbeTSFilter();
  AddFilter(probe_);
  AddPullSource(path);
  AddSink();
  for (const bool flush : {false, true}) {
    // In the order Stop (state, playback, receive) and BeginFlush (state, receive) take them.
    port::LockGuard state(filter_->StateLock());
    std::optional<port::LockGuard<port::WaitableLock>> playback;
    if (!flush) playback.emplace(filter_->PlaybackLock());
    port::LockGuard held(filter_->ReceiveLock());
    probe_->receiveWaited.Reset();
    ASSERT_HRESULT_SUCCEEDED(media_->Pause());  // pulling starts, and its first write waits
    ASSERT_TRUE(probe_->receiveWaited.Wait(kWaitMs));
    if (flush) {
      EXPECT_EQ(FilterInput()->BeginFlush(), S_OK);
      EXPECT_EQ(FilterInput()->EndFlush(), S_OK);
    } else {
      EXPECT_HRESULT_SUCCEEDED(media_->Stop());
    }
  }
  ASSERT_HRESULT_SUCCEEDED(media_->Stop());
}

}  // namespace
}  // namespace ovts::test
