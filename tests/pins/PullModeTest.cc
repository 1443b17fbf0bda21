// The time-shift filter fed in pull mode by the platform's File Source (Async): the pull reader
// reads a generated transport stream once into the buffer and the output delivers it unchanged.
#include <gtest/gtest.h>

#include "TimeShiftGraph.h"

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

}  // namespace
}  // namespace ovts::test
