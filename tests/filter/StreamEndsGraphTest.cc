// The time-shift filter in the platform's graph, where a stream must neither stall nor end early:
// graph pause and run cycles into a sink that refuses samples after an end of stream (as
// renderers do), the end of a pushed or pulled stream reaching EC_COMPLETE with every byte, a
// disk slower than the input, pass-through switched while Paused, a failed start of pulling, and
// the first pin enumerator of a new filter.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "TimeShiftGraph.h"
#include "platform/TestFileFaults.h"

namespace ovts::test {
namespace {

constexpr uint64_t kKB = 1024;
constexpr long kSourceSample = 65424;  // 348 transport packets

class StreamEndsTest : public TimeShiftGraphTest {
 protected:
  void Start(const TestSourceConfig& source, const TSCacheConfig& caches = kSmallCaches, uint32_t sizeKB = 32768) {
    AddFilter(new CTSFilter(nullptr), sizeKB, caches);
    AddPushSource(source);
    TestSinkConfig sink;
    sink.renderer = true;
    AddSink(sink);
  }

  // What the graph reports within the wait: EC_COMPLETE, or 0 when nothing came.
  long WaitForCompletion(DWORD timeoutMs) {
    ComPtr<IMediaEvent> events;
    EXPECT_HRESULT_SUCCEEDED(graph_->QueryInterface(IID_IMediaEvent, reinterpret_cast<void**>(events.GetAddressOf())));
    long code = 0;
    return SUCCEEDED(events->WaitForCompletion(static_cast<long>(timeoutMs), &code)) ? code : 0;
  }

  uint64_t DroppedBytes() {
    ComPtr<IKsPropertySet> properties;
    EXPECT_HRESULT_SUCCEEDED(filter_.As(&properties));
    uint64_t dropped = ~0ull;
    DWORD returned = 0;
    EXPECT_EQ(properties->Get(TSPROPSETID_Recording, TSPROPERTY_RECORDING_DROPPED_BYTES, nullptr, 0, &dropped,
                              sizeof dropped, &returned),
              S_OK);
    EXPECT_EQ(returned, sizeof dropped);
    return dropped;
  }

  void ExpectEveryByte(uint64_t total) {
    const TestSinkStats s = sink_->Stats();
    EXPECT_EQ(s.bytes, total);
    EXPECT_EQ(s.pattern.corrupt, 0u);
    EXPECT_EQ(s.pattern.lost, 0u);
    EXPECT_EQ(s.pattern.unreportedJumps, 0u);
    EXPECT_EQ(s.refused, 0u);
  }
};

TEST_F(StreamEndsTest, GraphPauseAndRunNeverEndTheStream) {
  // Catches an end of stream sent downstream when the graph leaves Running: a renderer then
  // refuses every sample after the next Run, and the picture freezes.
  Start({.subtype = MEDIASUBTYPE_MPEG2_TRANSPORT, .bytesPerSample = 16384, .bufferCount = 8,
         .bytesPerSecond = 4000000});
  ASSERT_HRESULT_SUCCEEDED(media_->Run());
  for (int cycle = 0; cycle < 50; ++cycle) {
    ASSERT_TRUE(sink_->WaitForBytes(sink_->Stats().bytes + 64 * kKB, kWaitMs)) << "cycle " << cycle;
    ASSERT_HRESULT_SUCCEEDED(media_->Pause());
    ASSERT_HRESULT_SUCCEEDED(media_->Run());
  }
  ASSERT_TRUE(sink_->WaitForBytes(sink_->Stats().bytes + 256 * kKB, kWaitMs)) << "still delivering";
  ASSERT_HRESULT_SUCCEEDED(media_->Stop());
  const TestSinkStats s = sink_->Stats();
  EXPECT_EQ(s.endOfStreams, 0u);
  EXPECT_EQ(s.refused, 0u);
  EXPECT_EQ(s.pattern.corrupt, 0u);
  EXPECT_EQ(s.pattern.unreportedJumps, 0u);
}

TEST_F(StreamEndsTest, TheEndOfAPushedStreamDeliversEveryByteThenCompletes) {
  // Catches the last bytes (less than a transfer of the default caches) kept in the caches for
  // ever, and an end of stream that never reaches the graph.
  const uint64_t total = 3 * 1024 * 1024 + 1000;
  Start({.subtype = MEDIASUBTYPE_MPEG2_TRANSPORT, .bytesPerSample = 32768, .bufferCount = 8, .totalBytes = total},
        TSCacheConfig{4096, 4096, 0, 1024, 128, 75});
  ASSERT_HRESULT_SUCCEEDED(media_->Run());
  EXPECT_EQ(WaitForCompletion(kWaitMs), EC_COMPLETE);
  EXPECT_EQ(sink_->Stats().endOfStreams, 1u) << "once";
  ExpectEveryByte(total);
  ASSERT_HRESULT_SUCCEEDED(media_->Stop());
}

TEST_F(StreamEndsTest, ASlowDiskDropsBlocksCountedAndMarkedDownstream) {
  // Catches bytes dropped by a disk slower than the input without a count a host can read, or
  // delivered downstream without a discontinuity at the gap.
  TestFileFaults faults;
  Start({.subtype = MEDIASUBTYPE_MPEG2_TRANSPORT, .bytesPerSample = kSourceSample, .bufferCount = 8,
         .bytesPerSecond = 30000000},
        TSCacheConfig{1024, 256, 0, 512, 64, 75});
  EXPECT_EQ(DroppedBytes(), 0u);
  faults.SetWriteDelayMs(50);
  ASSERT_HRESULT_SUCCEEDED(media_->Run());
  ASSERT_TRUE(sink_->WaitFor(kWaitMs, [](const TestSinkStats& s) { return s.pattern.lost > 0; }))
      << "dropped " << DroppedBytes() << " delivered " << sink_->Stats().bytes << " writes "
      << faults.Count(port::FileOp::kWrite) << " source " << source_->Stream()->BytesDelivered();
  faults.SetWriteDelayMs(0);
  ASSERT_TRUE(sink_->WaitForBytes(sink_->Stats().bytes + 1024 * kKB, kWaitMs));
  ASSERT_HRESULT_SUCCEEDED(media_->Pause());
  const TestSinkStats s = sink_->Stats();
  SCOPED_TRACE(testing::Message() << "dropped " << DroppedBytes() << " lost " << s.pattern.lost << " jumps "
                                  << s.pattern.jumps << " marks " << s.discontinuities << " bytes " << s.bytes);
  EXPECT_GE(DroppedBytes(), s.pattern.lost) << "every byte missing downstream was counted";
  EXPECT_EQ(s.pattern.lost % kSourceSample, 0u) << "whole blocks";
  EXPECT_EQ(s.pattern.unreportedJumps, 0u);
  EXPECT_EQ(s.pattern.corrupt, 0u);
  ASSERT_HRESULT_SUCCEEDED(media_->Stop());
}

TEST_F(StreamEndsTest, PassThroughSwitchedOffWhilePausedRecordsAndPlays) {
  // Catches a buffer left closed when pass-through goes off in a paused graph: nothing was ever
  // delivered again, while the play state said playing.
  AddFilter(new CTSFilter(nullptr), 32768, kSmallCaches);
  ComPtr<IKsPropertySet> properties;
  ASSERT_HRESULT_SUCCEEDED(filter_.As(&properties));
  uint32_t on = 1;
  ASSERT_EQ(properties->Set(TSPROPSETID_PassThrough, TSPROPERTY_PASS_THROUGH, nullptr, 0, &on, sizeof on), S_OK);
  AddPushSource({.subtype = MEDIASUBTYPE_MPEG2_TRANSPORT, .bytesPerSample = 16384, .bufferCount = 8,
                 .bytesPerSecond = 2000000});
  AddSink();
  ASSERT_HRESULT_SUCCEEDED(media_->Pause());
  EXPECT_FALSE(filter_->Buffer().IsOpen());
  on = 0;
  ASSERT_EQ(properties->Set(TSPROPSETID_PassThrough, TSPROPERTY_PASS_THROUGH, nullptr, 0, &on, sizeof on), S_OK);
  EXPECT_TRUE(filter_->Buffer().IsOpen());
  ASSERT_HRESULT_SUCCEEDED(media_->Run());
  EXPECT_TRUE(sink_->WaitForBytes(512 * kKB, kWaitMs)) << "the buffer plays after Run";
  EXPECT_EQ(filter_->PlayState(), TSSTATE_PLAYING);
  ASSERT_HRESULT_SUCCEEDED(media_->Stop());
  EXPECT_EQ(sink_->Stats().pattern.corrupt, 0u);
}

TEST_F(StreamEndsTest, NewSegmentPassesDownstreamInPassThrough) {
  // Catches a new segment only stored by the filter while samples bypass it: downstream then
  // times the samples against the wrong segment.
  AddFilter(new CTSFilter(nullptr), 32768, kSmallCaches);
  ASSERT_EQ(filter_->SetPassThrough(true), S_OK);
  AddPushSource({.subtype = MEDIASUBTYPE_MPEG2_TRANSPORT});
  AddSink();
  ASSERT_EQ(FilterInput()->NewSegment(5000000, 90000000, 1.0), S_OK);
  EXPECT_EQ(sink_->Stats().newSegments, 1u);
  EXPECT_EQ(sink_->Stats().segmentStart, 5000000);
  ASSERT_EQ(filter_->SetPassThrough(false), S_OK);
  ASSERT_EQ(FilterInput()->NewSegment(0, 90000000, 1.0), S_OK);
  EXPECT_EQ(sink_->Stats().newSegments, 1u) << "the buffered stream has segments of its own";
}

TEST_F(StreamEndsTest, AFreshPinEnumeratorIsInSync) {
  // Catches the pins created by the first GetPin bumping the version under the first enumerator.
  CTSFilter* filter = new CTSFilter(nullptr);
  ComPtr<IBaseFilter> base(filter);
  ComPtr<IEnumPins> pins;
  ASSERT_EQ(base->EnumPins(&pins), S_OK);
  IPin* got[2] = {};
  ULONG fetched = 0;
  ASSERT_EQ(pins->Next(2, got, &fetched), S_OK);
  EXPECT_EQ(fetched, 2u);
  for (IPin* pin : got)
    if (pin) pin->Release();
}

// An upstream pin that offers IAsyncReader, with an allocator that refuses to commit: the
// filter's start of pulling fails.
class CRefusingReaderPin final : public CBaseOutputPin, public IAsyncReader {
 public:
  explicit CRefusingReaderPin(CBaseFilter* filter, port::RecursiveLock* lock)
      : CBaseOutputPin(filter, lock, L"Reader") {}
  DECLARE_IUNKNOWN
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** result) override {
    if (IsEqualIID(iid, IID_IAsyncReader)) return GetInterface(static_cast<IAsyncReader*>(this), result);
    return CBaseOutputPin::NonDelegatingQueryInterface(iid, result);
  }
  HRESULT CheckMediaType(const AM_MEDIA_TYPE*) override { return S_OK; }
  HRESULT GetMediaType(int position, CMediaType* type) override {
    if (position != 0) return VFW_S_NO_MORE_ITEMS;
    type->majortype = MEDIATYPE_Stream;
    type->subtype = MEDIASUBTYPE_MPEG2_TRANSPORT;
    return S_OK;
  }
  HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES*) override {
    ALLOCATOR_PROPERTIES wanted{2, 4096, 1, 0}, actual{};
    return allocator->SetProperties(&wanted, &actual);
  }
  // IAsyncReader: an allocator whose Commit fails, a length; reads are never reached.
  HRESULT STDMETHODCALLTYPE RequestAllocator(IMemAllocator*, ALLOCATOR_PROPERTIES*, IMemAllocator** out) override {
    *out = new Refusing();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Request(IMediaSample*, DWORD_PTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE WaitForNext(DWORD, IMediaSample** sample, DWORD_PTR*) override {
    *sample = nullptr;
    return VFW_E_TIMEOUT;
  }
  HRESULT STDMETHODCALLTYPE SyncReadAligned(IMediaSample*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SyncRead(LONGLONG, LONG, BYTE*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Length(LONGLONG* total, LONGLONG* available) override {
    *total = *available = 1 << 20;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE BeginFlush() override { return S_OK; }  // IPin's and the reader's
  HRESULT STDMETHODCALLTYPE EndFlush() override { return S_OK; }

 private:
  class Refusing final : public IMemAllocator {
   public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
      if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IMemAllocator)) return E_NOINTERFACE;
      *out = static_cast<IMemAllocator*>(this);
      AddRef();
      return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
      const ULONG left = --refs_;
      if (left == 0) delete this;
      return left;
    }
    HRESULT STDMETHODCALLTYPE SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) override {
      *actual = *request;
      return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetProperties(ALLOCATOR_PROPERTIES* props) override {
      *props = {2, 4096, 1, 0};
      return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Commit() override { return E_OUTOFMEMORY; }
    HRESULT STDMETHODCALLTYPE Decommit() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetBuffer(IMediaSample**, REFERENCE_TIME*, REFERENCE_TIME*, DWORD) override {
      return VFW_E_NOT_COMMITTED;
    }
    HRESULT STDMETHODCALLTYPE ReleaseBuffer(IMediaSample*) override { return S_OK; }

   private:
    std::atomic<ULONG> refs_{1};
  };
};

class CRefusingReader final : public CBaseFilter {
 public:
  CRefusingReader() : CBaseFilter(nullptr, &lock_, GUID_NULL), pin_(this, &lock_) {}
  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override { return n == 0 ? &pin_ : nullptr; }
  IPin* Output() { return &pin_; }

 private:
  port::RecursiveLock lock_;
  CRefusingReaderPin pin_;
};

TEST_F(StreamEndsTest, AFailedStartOfPullingLeavesNothingRunning) {
  // Catches a filter left Paused, with its buffer open and its output thread running, after the
  // pull reader could not start.
  AddFilter(new CTSFilter(nullptr), 32768, kSmallCaches);
  ComPtr<CRefusingReader> reader(new CRefusingReader());
  ASSERT_EQ(graph_->AddFilter(reader.Get(), L"Refusing Reader"), S_OK);
  ASSERT_EQ(graph_->ConnectDirect(reader->Output(), FilterInput(), nullptr), S_OK);
  ASSERT_TRUE(filter_->InputPin()->IsPullMode());
  AddSink();
  const int threads = ThreadCount();
  EXPECT_EQ(filter_->Pause(), E_OUTOFMEMORY);
  FILTER_STATE state = State_Running;
  EXPECT_EQ(filter_->GetState(0, &state), S_OK);
  EXPECT_EQ(state, State_Stopped);
  EXPECT_FALSE(filter_->Buffer().IsOpen());
  EXPECT_FALSE(filter_->OutputPin()->ThreadExists());
  EXPECT_EQ(ThreadCount(), threads);
  graph_->RemoveFilter(reader.Get());
}

}  // namespace
}  // namespace ovts::test
