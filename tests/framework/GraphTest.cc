// The test source and sink in the platform's Filter Graph Manager: connection through the graph,
// state changes driven by IMediaControl, and a counted byte stream through the platform's
// memory allocator.
#include <gtest/gtest.h>

#include "tools/common/TestFilters.h"
#include "framework/CBaseObject.h"
#include "framework/ComKit.h"

namespace ovts::test {
namespace {

constexpr DWORD kWaitMs = 30000;

class GraphTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_HRESULT_SUCCEEDED(com_.result());
    live_ = CBaseObject::ObjectsActive();
    ASSERT_HRESULT_SUCCEEDED(
        CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&graph_)));
    ASSERT_HRESULT_SUCCEEDED(graph_.As(&control_));
  }
  void TearDown() override {
    if (control_) control_->Stop();
    control_.Reset();
    graph_.Reset();
    source_.Reset();
    sink_.Reset();
    EXPECT_EQ(CBaseObject::ObjectsActive(), live_) << "framework objects leaked";
  }

  void AddFilters(const TestSourceConfig& sourceConfig, const TestSinkConfig& sinkConfig) {
    CTestSource* source = nullptr;
    CTestSink* sink = nullptr;
    ASSERT_EQ(CTestSource::Create(sourceConfig, &source), S_OK);
    ASSERT_EQ(CTestSink::Create(sinkConfig, &sink), S_OK);
    source_ = source;  // the ComPtr adds its own reference
    source->Release();
    sink_ = sink;
    sink->Release();
    ASSERT_EQ(graph_->AddFilter(source_.Get(), L"Test Source"), S_OK);
    ASSERT_EQ(graph_->AddFilter(sink_.Get(), L"Test Sink"), S_OK);
  }

  // The whole stream arrived once, in order, unchanged, with one discontinuity mark per start.
  void ExpectCleanStream(uint64_t starts) {
    const TestSinkStats stats = sink_->Stats();
    EXPECT_EQ(stats.bytes, source_->Stream()->BytesDelivered());
    EXPECT_EQ(stats.pattern.verified, stats.bytes);
    EXPECT_EQ(stats.pattern.corrupt, 0u);
    EXPECT_EQ(stats.pattern.lost, 0u);
    EXPECT_EQ(stats.pattern.rewound, 0u);
    EXPECT_EQ(stats.pattern.unreportedJumps, 0u);
    EXPECT_EQ(stats.discontinuities, starts);
    EXPECT_EQ(stats.timedSamples, stats.samples);
    EXPECT_EQ(stats.timeMismatches, 0u);
  }

  void ExpectStoppedWithoutThread() {
    FILTER_STATE state = State_Running;
    EXPECT_EQ(source_->GetState(0, &state), S_OK);
    EXPECT_EQ(state, State_Stopped);
    EXPECT_FALSE(source_->Stream()->ThreadExists());
  }

  ComApartment com_;
  int32_t live_ = 0;
  ComPtr<IGraphBuilder> graph_;
  ComPtr<IMediaControl> control_;
  ComPtr<CTestSource> source_;
  ComPtr<CTestSink> sink_;
};

TEST_F(GraphTest, CountedStreamSurvivesRepeatedRunPauseStop) {
  // Catches bytes lost, repeated or corrupted between starts, a missing discontinuity mark, and a
  // streaming thread or reference left behind when the platform's graph drives the state changes.
  AddFilters({.subtype = MEDIASUBTYPE_MPEG2_TRANSPORT, .bytesPerSample = 3000}, {.subtypes = {MEDIASUBTYPE_MPEG2_TRANSPORT}});
  ASSERT_EQ(graph_->ConnectDirect(source_->Output(), sink_->Input(), nullptr), S_OK);
  ComPtr<IMemAllocator> allocator;
  ASSERT_EQ(sink_->Pin().GetAllocator(&allocator), S_OK);

  uint64_t target = 0;
  for (uint64_t start = 1; start <= 3; ++start) {
    ASSERT_HRESULT_SUCCEEDED(control_->Run());
    target += 300000;
    ASSERT_TRUE(sink_->WaitForBytes(target, kWaitMs));
    ASSERT_HRESULT_SUCCEEDED(control_->Pause());
    target += 100000;  // the stream flows on while paused
    ASSERT_TRUE(sink_->WaitForBytes(target, kWaitMs));
    ASSERT_HRESULT_SUCCEEDED(control_->Run());
    ASSERT_HRESULT_SUCCEEDED(control_->Stop());
    ExpectStoppedWithoutThread();
    ExpectCleanStream(start);
  }
  ASSERT_EQ(graph_->RemoveFilter(source_.Get()), S_OK);
  EXPECT_FALSE(sink_->Pin().IsConnected());
  ASSERT_EQ(graph_->RemoveFilter(sink_.Get()), S_OK);
  EXPECT_EQ(RefCount(static_cast<IBaseFilter*>(source_.Get())), 1u);
  EXPECT_EQ(RefCount(static_cast<IBaseFilter*>(sink_.Get())), 1u);
  source_.Reset();
  sink_.Reset();
  EXPECT_EQ(RefCount(allocator.Get()), 1u);
}

TEST_F(GraphTest, PacedStreamEndsOnceAndRestartsAfterStop) {
  // Catches a source that overruns its end, skips end of stream, or cannot start a new streaming
  // thread after the graph has stopped it.
  constexpr uint64_t kTotal = 600000;
  AddFilters({.subtype = MEDIASUBTYPE_MPEG2_PROGRAM, .bytesPerSample = 8192, .bytesPerSecond = 4000000, .totalBytes = kTotal},
             {});
  ASSERT_HRESULT_SUCCEEDED(graph_->Connect(source_->Output(), sink_->Input()));
  ComPtr<IPin> peer;
  ASSERT_EQ(source_->Output()->ConnectedTo(&peer), S_OK);
  EXPECT_EQ(peer.Get(), sink_->Input());
  peer.Reset();
  AM_MEDIA_TYPE agreed;
  ASSERT_EQ(sink_->Input()->ConnectionMediaType(&agreed), S_OK);
  EXPECT_TRUE(IsEqualGUID(agreed.subtype, MEDIASUBTYPE_MPEG2_PROGRAM));
  FreeMediaType(agreed);

  ASSERT_HRESULT_SUCCEEDED(control_->Run());
  ASSERT_TRUE(sink_->WaitForEndOfStream(kWaitMs));
  ASSERT_HRESULT_SUCCEEDED(control_->Stop());
  ExpectStoppedWithoutThread();
  ExpectCleanStream(1);
  EXPECT_EQ(sink_->Stats().bytes, kTotal);

  // Nothing is left to send: the new thread ends the stream at once.
  ASSERT_HRESULT_SUCCEEDED(control_->Run());
  ASSERT_TRUE(sink_->WaitFor(kWaitMs, [](const TestSinkStats& s) { return s.endOfStreams == 2; }));
  ASSERT_HRESULT_SUCCEEDED(control_->Stop());
  ExpectStoppedWithoutThread();
  EXPECT_EQ(sink_->Stats().bytes, kTotal);
}

}  // namespace
}  // namespace ovts::test
