// The time-shift filter fed in pull mode by the platform's File Source (Async): the pull reader
// reads a generated transport stream once into the buffer and the output delivers it unchanged.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "TimeShiftGraph.h"
#include "tools/common/TsChecker.h"

namespace ovts::test {
namespace {


class PullModeTest : public TimeShiftGraphTest {};

TEST_F(PullModeTest, FileArrivesOnceUnchangedWithStreamTimes) {
  // Catches a pull reader or output path that loses, repeats or reorders bytes, stamps output
  // samples with anything but their stream positions, or marks more than the first sample; and
  // a file smaller than the default write cache that never arrives or never completes the graph.
  std::vector<uint8_t> file;
  const std::string path = WriteTsFile(16000, &file);  // about 3 MB: less than the write cache
  AddFilter(new CTSFilter(nullptr), 32768, TSCacheConfig{4096, 4096, 0, 1024, 128, 75});
  AddPullSource(path);
  EXPECT_TRUE(filter_->InputPin()->IsPullMode());
  std::vector<uint8_t> bytes;
  std::vector<AM_SAMPLE2_PROPERTIES> samples;  // pointers not kept valid
  TestSinkConfig sink;
  sink.renderer = true;
  sink.onSample = [&](const AM_SAMPLE2_PROPERTIES& p) {
    bytes.insert(bytes.end(), p.pbBuffer, p.pbBuffer + p.lActual);
    samples.push_back(p);
  };
  AddSink(sink);

  ASSERT_HRESULT_SUCCEEDED(media_->Run());
  ComPtr<IMediaEvent> events;
  ASSERT_HRESULT_SUCCEEDED(graph_->QueryInterface(IID_IMediaEvent, reinterpret_cast<void**>(events.GetAddressOf())));
  long code = 0;
  ASSERT_HRESULT_SUCCEEDED(events->WaitForCompletion(kWaitMs, &code));
  EXPECT_EQ(code, EC_COMPLETE);
  EXPECT_EQ(sink_->Stats().endOfStreams, 1u);
  ASSERT_HRESULT_SUCCEEDED(media_->Stop());

  ASSERT_EQ(bytes.size(), file.size());
  EXPECT_TRUE(bytes == file);
  for (size_t k = 0; k < samples.size(); ++k) {
    const AM_SAMPLE2_PROPERTIES& p = samples[k];
    if (k + 1 < samples.size()) {
      ASSERT_EQ(p.lActual, CTSOutputPushPin::kBufferSize) << k;
    }
    ASSERT_TRUE(p.dwSampleFlags & AM_SAMPLE_TIMEVALID) << k;
    EXPECT_EQ(p.tStart, int64_t(k) * CTSOutputPushPin::kBufferSize * TS_UNITS_PER_SECOND) << k;
    EXPECT_EQ(p.tStop, int64_t(k + 1) * CTSOutputPushPin::kBufferSize * TS_UNITS_PER_SECOND) << k;
    EXPECT_EQ((p.dwSampleFlags & AM_SAMPLE_DATADISCONTINUITY) != 0, k == 0) << k;
  }
}

TEST_F(PullModeTest, DISABLED_FullSpeedPullLossWithDefaultCaches) {
  // A measurement, not a check: how much of a file read at full speed, faster than any live
  // source, the default caches drop (counted and marked) when the disk falls behind.
  std::vector<uint8_t> file;
  const std::string path = WriteTsFile(128000, &file);  // about 23 MB: less than the buffer
  AddFilter(new CTSFilter(nullptr), 32768, TSCacheConfig{4096, 4096, 0, 1024, 128, 75});
  AddPullSource(path);
  tools::TsChecker checker;
  TestSinkConfig sink;
  sink.onSample = [&](const AM_SAMPLE2_PROPERTIES& p) {
    checker.Feed(p.pbBuffer, p.lActual, p.dwSampleFlags & AM_SAMPLE_DATADISCONTINUITY);
  };
  AddSink(sink);
  ASSERT_HRESULT_SUCCEEDED(media_->Run());
  // Done when nothing more arrives for two seconds.
  for (uint64_t seen = 0; sink_->WaitFor(2000, [&](const TestSinkStats& s) { return s.bytes > seen; });) {
    seen = sink_->Stats().bytes;
  }
  ASSERT_HRESULT_SUCCEEDED(media_->Stop());
  const uint64_t delivered = sink_->Stats().bytes;
  const tools::TsChecker::Stats& ts = checker.stats();
  const uint64_t lost = ts.lostPackets * tools::kTsPacketSize;
  std::printf("full-speed pull, default caches: file %zu bytes, delivered %llu, lost %llu (%.1f %%), "
              "kept back %lld; damaged packets %llu, continuity errors %llu\n",
              file.size(), static_cast<unsigned long long>(delivered), static_cast<unsigned long long>(lost),
              100.0 * lost / file.size(), static_cast<long long>(file.size() - delivered - lost),
              static_cast<unsigned long long>(ts.corruptPackets), static_cast<unsigned long long>(ts.ccErrors));
}

}  // namespace
}  // namespace ovts::test
