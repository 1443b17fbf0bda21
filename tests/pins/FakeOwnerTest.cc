// The output pin against a small fake owner instead of the time-shift filter, in the platform's
// graph: catches a streaming loop that delivers an empty sample, ends the stream when the owner
// merely has nothing yet or leaves Running, sends its end more than once, or keeps polling
// instead of waiting for the owner's wake.
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <mutex>

#include <dshow.h>

#include "TestSupport.h"
#include "framework/ComKit.h"
#include "pins/CTSOutputPushPin.h"
#include "pins/ITSPinOwner.h"
#include "tools/common/StreamPattern.h"
#include "tools/common/TestFilters.h"

namespace ovts::test {
namespace {

constexpr DWORD kWaitMs = 30000;

// Fills samples from a script: a number of pattern bytes, nothing (0), or the end of the stream.
class FakeOwner final : public CSource, public ITSPinOwner {
 public:
  static constexpr int64_t kEnd = -1;

  FakeOwner() noexcept : CSource(nullptr, GUID_NULL) {
    HRESULT hr = S_OK;
    output_ = new CTSOutputPushPin(&hr, this, *this, L"Push");  // the pin list owns it
  }
  CTSOutputPushPin* Output() { return output_; }
  void Script(std::initializer_list<int64_t> steps) {
    std::lock_guard<std::mutex> guard(mutex_);
    script_.insert(script_.end(), steps);
    wake_.Set();
  }
  uint64_t Reads() const { return reads_.load(); }
  // As the filter does: the streaming loop starts on a command.
  HRESULT STDMETHODCALLTYPE Run(REFERENCE_TIME start) override {
    RETURN_IF_FAILED(CSource::Run(start));
    output_->CallWorker(CSourceStream::CMD_RUN);
    return S_OK;
  }

  HRESULT ReadSample(IMediaSample* sample) override {
    ++reads_;
    sample->SetActualDataLength(0);
    if (State() != State_Running) return S_FALSE;
    std::lock_guard<std::mutex> guard(mutex_);
    if (script_.empty()) return S_OK;
    const int64_t step = script_.front();
    script_.pop_front();
    if (step == kEnd) return kEndOfStream;
    BYTE* data = nullptr;
    RETURN_IF_FAILED(sample->GetPointer(&data));
    tools::FillPattern(data, position_, static_cast<size_t>(step));
    position_ += static_cast<uint64_t>(step);
    return sample->SetActualDataLength(static_cast<long>(step));
  }
  port::Event& OutputWake() override { return wake_; }
  void MarkDiscontinuity() override {}
  CTSOutputPushPin* OutputPin() const override { return output_; }
  CTSInputPin* InputPin() const override { return nullptr; }
  HRESULT CheckConnectionType(const AM_MEDIA_TYPE*, bool) override { return S_OK; }
  HRESULT SetOutputTypeIndex(const AM_MEDIA_TYPE*) override { return S_OK; }
  // The input side is not used here.
  HRESULT WriteSample(IMediaSample*) override { return E_UNEXPECTED; }
  HRESULT EndOfStream() override { return S_OK; }
  HRESULT ClearEndOfStream() override { return S_OK; }
  port::WaitableLock& ReceiveLock() override { return receive_; }
  bool PassThrough() const override { return false; }
  HRESULT BeginFlushDownstream() override { return S_OK; }
  HRESULT EndFlushDownstream() override { return S_OK; }

 private:
  CTSOutputPushPin* output_ = nullptr;
  port::Event wake_{port::Event::Mode::kAutoReset};
  port::WaitableLock receive_{port::LockRank::kReceive, "receive"};
  std::mutex mutex_;
  std::deque<int64_t> script_;  // mutex_
  uint64_t position_ = 0;       // mutex_
  std::atomic<uint64_t> reads_{0};
};

TEST(FakeOwnerTest, OutputPinDeliversWhatItsOwnerGivesAndEndsOnce) {
  ComApartment com;
  ComPtr<IGraphBuilder> graph;
  ASSERT_HRESULT_SUCCEEDED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&graph)));
  ComPtr<FakeOwner> owner(new FakeOwner());
  CTestSink* rawSink = nullptr;
  ASSERT_EQ(CTestSink::Create({.renderer = true}, &rawSink), S_OK);
  ComPtr<CTestSink> sink(rawSink);
  rawSink->Release();
  ASSERT_EQ(graph->AddFilter(owner.Get(), L"Fake Owner"), S_OK);
  ASSERT_EQ(graph->AddFilter(sink.Get(), L"Sink"), S_OK);
  ASSERT_EQ(graph->ConnectDirect(owner->Output(), sink->Input(), nullptr), S_OK);
  ComPtr<IMediaControl> media;
  ASSERT_HRESULT_SUCCEEDED(graph.As(&media));
  ASSERT_HRESULT_SUCCEEDED(media->Run());

  owner->Script({1000, 0, 2000});  // an empty answer between two samples delivers nothing
  ASSERT_TRUE(sink->WaitForBytes(3000, kWaitMs));
  EXPECT_EQ(sink->Stats().samples, 2u);
  // Idle: the thread waits for the wake rather than asking every few milliseconds.
  const uint64_t reads = owner->Reads();
  owner->Output()->CallWorker(CSourceStream::CMD_RUN);  // answered at once by a waiting loop
  EXPECT_LE(owner->Reads(), reads + 2);
  owner->Script({700, FakeOwner::kEnd, 0, FakeOwner::kEnd});
  EXPECT_TRUE(sink->WaitForEndOfStream(kWaitMs));
  owner->Script({500});  // after the end, a sample is refused by the renderer: none was held back
  ASSERT_TRUE(test::WaitUntil([&] { return sink->Stats().refused > 0; }));
  ASSERT_HRESULT_SUCCEEDED(media->Pause());
  ASSERT_HRESULT_SUCCEEDED(media->Stop());
  const TestSinkStats s = sink->Stats();
  EXPECT_EQ(s.endOfStreams, 2u) << "each end the owner reports, once";
  EXPECT_EQ(s.bytes, 3700u);
  EXPECT_EQ(s.pattern.corrupt, 0u);
  EXPECT_EQ(s.pattern.unreportedJumps, 0u);
  graph->RemoveFilter(owner.Get());
  graph->RemoveFilter(sink.Get());
}

}  // namespace
}  // namespace ovts::test
