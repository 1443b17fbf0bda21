// Connection negotiation, the filter state machine over its pins, and the enumerators, on
// scripted pins.
#include <gtest/gtest.h>

#include "ProbeFilter.h"
#include "tools/common/TestFilters.h"
#include "framework/CBaseObject.h"
#include "framework/ComKit.h"

namespace ovts::test {
namespace {

const GUID& kA = MEDIASUBTYPE_MPEG2_TRANSPORT;
const GUID& kB = MEDIASUBTYPE_MPEG2_PROGRAM;
const GUID& kC = MEDIASUBTYPE_Avi;
const GUID& kD = MEDIASUBTYPE_MPEG1System;

// Partially specified (no format type), as pins offer their types.
CMediaType Stream(const GUID& subtype) { return CMediaType(MEDIATYPE_Stream, subtype); }

std::function<HRESULT(const AM_MEDIA_TYPE&)> AcceptOnly(const GUID& subtype, HRESULT refusal) {
  return [subtype, refusal](const AM_MEDIA_TYPE& type) { return IsEqualGUID(type.subtype, subtype) ? S_OK : refusal; };
}

bool Connected(IPin* pin) {
  ComPtr<IPin> peer;
  return pin->ConnectedTo(&peer) == S_OK;
}

class FrameworkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_HRESULT_SUCCEEDED(com_.result());
    live_ = CBaseObject::ObjectsActive();
    up_ = ProbeFilter::Make();
    down_ = ProbeFilter::Make();
    out_ = up_->Add<ProbeOutputPin>(L"Out");
    in_ = down_->Add<ProbeInputPin>(L"In");
  }
  void TearDown() override {
    up_->Stop();
    down_->Stop();
    out_->Disconnect();
    in_->Disconnect();
    EXPECT_EQ(RefCount(static_cast<IBaseFilter*>(up_.Get())), 1u);
    EXPECT_EQ(RefCount(static_cast<IBaseFilter*>(down_.Get())), 1u);
    up_.Reset();
    down_.Reset();
    EXPECT_EQ(CBaseObject::ObjectsActive(), live_) << "framework objects leaked";
  }

  ComApartment com_;
  int32_t live_ = 0;
  ComPtr<ProbeFilter> up_, down_;
  ProbeOutputPin* out_ = nullptr;
  ProbeInputPin* in_ = nullptr;
};

TEST_F(FrameworkTest, NegotiationTriesPeerTypesFirstAndMapsRefusals) {
  // Catches negotiation that prefers its own types, takes an S_FALSE refusal as consent, or lets
  // a partial type or a full type widen the search.
  out_->script.offered = {Stream(kA)};
  in_->script.offered = {Stream(kB), Stream(kC)};
  out_->script.verdict = AcceptOnly(kA, S_FALSE);
  ASSERT_EQ(out_->Connect(in_, nullptr), S_OK);
  EXPECT_EQ(out_->script.tried, (std::vector<GUID>{kB, kC, kA}));
  EXPECT_EQ(in_->script.tried, (std::vector<GUID>{kA}));
  EXPECT_EQ(out_->script.breaks, 2);
  AM_MEDIA_TYPE agreed;
  ASSERT_EQ(in_->ConnectionMediaType(&agreed), S_OK);
  EXPECT_TRUE(IsEqualGUID(agreed.subtype, kA));
  FreeMediaType(agreed);
  EXPECT_EQ(out_->Connect(in_, nullptr), VFW_E_ALREADY_CONNECTED);
  EXPECT_EQ(in_->ReceiveConnection(out_, &agreed), VFW_E_ALREADY_CONNECTED);
  ASSERT_EQ(out_->Disconnect(), S_OK);
  ASSERT_EQ(in_->Disconnect(), S_OK);
  EXPECT_EQ(in_->Disconnect(), S_FALSE);

  // A partial pattern skips the peer's video type and keeps the order among the rest.
  out_->script.tried.clear();
  out_->script.offered = {Stream(kA), Stream(kB)};
  in_->script.offered = {CMediaType(MEDIATYPE_Video, kD), Stream(kC)};
  out_->script.verdict = AcceptOnly(kB, S_FALSE);
  const CMediaType anyStream(MEDIATYPE_Stream, GUID_NULL);
  ASSERT_EQ(out_->Connect(in_, &anyStream), S_OK);
  EXPECT_EQ(out_->script.tried, (std::vector<GUID>{kC, kA, kB}));
  ASSERT_EQ(out_->Disconnect(), S_OK);
  ASSERT_EQ(in_->Disconnect(), S_OK);

  // A fully specified type is the only one tried.
  out_->script.tried.clear();
  CMediaType full = Stream(kA);
  full.formattype = FORMAT_None;
  EXPECT_EQ(out_->Connect(in_, &full), VFW_E_TYPE_NOT_ACCEPTED);
  EXPECT_EQ(out_->script.tried, (std::vector<GUID>{kA}));
  EXPECT_FALSE(Connected(out_));
  EXPECT_FALSE(Connected(in_));
}

TEST_F(FrameworkTest, FailedNegotiationLeavesBothPinsUnconnected) {
  // Catches a failed attempt that leaves either side connected or reports a generic code where the
  // peer gave a specific one.
  out_->script.offered = {Stream(kA), Stream(kB)};
  in_->script.offered = {Stream(kC)};
  out_->script.verdict = [](const AM_MEDIA_TYPE&) { return E_FAIL; };
  EXPECT_EQ(out_->Connect(in_, nullptr), VFW_E_NO_ACCEPTABLE_TYPES);
  AM_MEDIA_TYPE none;
  EXPECT_EQ(out_->ConnectionMediaType(&none), VFW_E_NOT_CONNECTED);
  EXPECT_EQ(out_->QueryAccept(&none), S_FALSE);

  out_->script.verdict = [](const AM_MEDIA_TYPE&) { return S_OK; };
  in_->script.verdict = AcceptOnly(kB, VFW_E_INVALIDMEDIATYPE);
  in_->script.completeResult = E_OUTOFMEMORY;
  EXPECT_EQ(out_->Connect(in_, nullptr), VFW_E_INVALIDMEDIATYPE);
  EXPECT_FALSE(Connected(out_));
  EXPECT_FALSE(Connected(in_));

  // The receiving side accepts but the connecting side cannot complete: the peer is disconnected.
  in_->script.completeResult = S_OK;
  in_->script.verdict = [](const AM_MEDIA_TYPE&) { return S_OK; };
  out_->script.completeResult = E_OUTOFMEMORY;
  const int inBreaks = in_->script.breaks;
  EXPECT_EQ(out_->Connect(in_, nullptr), E_OUTOFMEMORY);
  EXPECT_FALSE(Connected(out_));
  EXPECT_FALSE(Connected(in_));
  EXPECT_GT(in_->script.breaks, inBreaks);

  auto* otherOut = down_->Add<ProbeOutputPin>(L"Other");
  EXPECT_EQ(out_->Connect(otherOut, nullptr), VFW_E_INVALID_DIRECTION);
  EXPECT_FALSE(Connected(otherOut));

  // Connection changes need a stopped filter, even on an unconnected pin.
  out_->script.completeResult = S_OK;
  ASSERT_EQ(down_->Pause(), S_OK);
  EXPECT_EQ(out_->Connect(in_, nullptr), VFW_E_NOT_STOPPED);
  EXPECT_FALSE(Connected(out_));
  ASSERT_EQ(down_->Stop(), S_OK);
  ASSERT_EQ(out_->Connect(in_, nullptr), S_OK);
  ASSERT_EQ(up_->Pause(), S_OK);
  EXPECT_EQ(out_->Disconnect(), VFW_E_NOT_STOPPED);
  EXPECT_TRUE(Connected(out_));
}

TEST_F(FrameworkTest, StateChangesTellConnectedPinsAndStopKeepsFirstFailure) {
  // Catches state changes that reach unconnected pins, a Stop that gives up at the first failing
  // pin or stays active, and a failed Pause that leaves the filter Paused.
  auto* unconnected = up_->Add<ProbeOutputPin>(L"Idle");
  auto* out3 = up_->Add<ProbeOutputPin>(L"Out3");
  auto* in3 = down_->Add<ProbeInputPin>(L"In3");
  CMediaType a = Stream(kA);
  a.formattype = FORMAT_None;
  ASSERT_EQ(out_->Connect(in_, &a), S_OK);
  ASSERT_EQ(out3->Connect(in3, &a), S_OK);

  ASSERT_EQ(up_->Run(0), S_OK);
  FILTER_STATE state;
  up_->GetState(0, &state);
  EXPECT_EQ(state, State_Running);
  EXPECT_EQ(out_->script.actives, 1);
  EXPECT_EQ(out3->script.actives, 1);
  EXPECT_EQ(unconnected->script.actives, 0);

  out_->script.inactiveResult = VFW_E_NO_ALLOCATOR;
  out3->script.inactiveResult = E_UNEXPECTED;
  EXPECT_EQ(up_->Stop(), VFW_E_NO_ALLOCATOR);
  up_->GetState(0, &state);
  EXPECT_EQ(state, State_Stopped);
  EXPECT_EQ(out3->script.inactives, 1);
  EXPECT_EQ(unconnected->script.inactives, 0);
  EXPECT_EQ(up_->Stop(), S_OK);  // already stopped: nobody is told again
  EXPECT_EQ(out_->script.inactives, 1);

  out_->script.activeResult = E_OUTOFMEMORY;
  EXPECT_EQ(up_->Run(0), E_OUTOFMEMORY);
  up_->GetState(0, &state);
  EXPECT_EQ(state, State_Stopped);
  EXPECT_EQ(out3->script.actives, 1);
  out3->Disconnect();
  in3->Disconnect();
}

TEST_F(FrameworkTest, PinEnumeratorRecoversAfterPinSetChange) {
  // Catches an enumerator that hands a pin out twice, misses a new pin, or leaks pin references.
  ComPtr<IEnumPins> pins;
  ASSERT_EQ(up_->EnumPins(&pins), S_OK);
  IPin* got[3] = {};
  ULONG fetched = 0;
  ASSERT_EQ(pins->Next(1, got, nullptr), S_OK);
  EXPECT_EQ(got[0], static_cast<IPin*>(out_));
  got[0]->Release();
  EXPECT_EQ(pins->Next(2, got, nullptr), E_INVALIDARG);

  auto* second = up_->Add<ProbeOutputPin>(L"Second");
  ComPtr<IEnumPins> stale;
  EXPECT_EQ(pins->Clone(&stale), VFW_E_ENUM_OUT_OF_SYNC);
  EXPECT_EQ(pins->Skip(1), VFW_E_ENUM_OUT_OF_SYNC);
  ASSERT_EQ(pins->Next(3, got, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 1u);
  EXPECT_EQ(got[0], static_cast<IPin*>(second));
  got[0]->Release();

  ASSERT_EQ(pins->Reset(), S_OK);
  EXPECT_EQ(pins->Skip(3), S_FALSE);
  ASSERT_EQ(pins->Skip(1), S_OK);
  ComPtr<IEnumPins> clone;
  ASSERT_EQ(pins->Clone(&clone), S_OK);
  ASSERT_EQ(clone->Next(3, got, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 1u);
  EXPECT_EQ(got[0], static_cast<IPin*>(second));
  got[0]->Release();
}

TEST_F(FrameworkTest, MediaTypeEnumeratorFailsAfterTypeChangeUntilReset) {
  // Catches an enumerator that goes on over a changed type list or hands out types the caller
  // cannot free as task memory.
  out_->script.offered = {Stream(kA), Stream(kB), Stream(kC)};
  ComPtr<IEnumMediaTypes> types;
  ASSERT_EQ(out_->EnumMediaTypes(&types), S_OK);
  AM_MEDIA_TYPE* got[4] = {};
  ULONG fetched = 0;
  EXPECT_EQ(types->Next(2, got, nullptr), E_INVALIDARG);
  ASSERT_EQ(types->Next(1, got, nullptr), S_OK);
  EXPECT_TRUE(IsEqualGUID(got[0]->subtype, kA));
  DeleteMediaType(got[0]);
  ComPtr<IEnumMediaTypes> clone;
  ASSERT_EQ(types->Clone(&clone), S_OK);
  ASSERT_EQ(clone->Next(1, got, nullptr), S_OK);
  EXPECT_TRUE(IsEqualGUID(got[0]->subtype, kB));
  DeleteMediaType(got[0]);

  out_->script.offered = {Stream(kD)};
  out_->IncrementTypeVersion();
  EXPECT_EQ(types->Next(1, got, &fetched), VFW_E_ENUM_OUT_OF_SYNC);
  EXPECT_EQ(types->Skip(1), VFW_E_ENUM_OUT_OF_SYNC);
  EXPECT_EQ(types->Skip(0), S_OK);
  EXPECT_EQ(types->Clone(&clone), VFW_E_ENUM_OUT_OF_SYNC);

  ASSERT_EQ(types->Reset(), S_OK);
  ASSERT_EQ(types->Next(4, got, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 1u);
  EXPECT_TRUE(IsEqualGUID(got[0]->subtype, kD));
  DeleteMediaType(got[0]);
  ASSERT_EQ(types->Reset(), S_OK);
  EXPECT_EQ(types->Skip(1), S_OK);
  EXPECT_EQ(types->Skip(1), S_FALSE);
}

TEST_F(FrameworkTest, ReceiveChecksFollowStateFlushingAndTypeChanges) {
  // Catches samples accepted while stopped or flushing, and a type change to a refused type that
  // does not end the stream and block later samples until the next flush.
  in_->script.verdict = AcceptOnly(kA, VFW_E_TYPE_NOT_ACCEPTED);
  ComPtr<IMemAllocator> allocator;
  ASSERT_HRESULT_SUCCEEDED(
      CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&allocator)));
  ALLOCATOR_PROPERTIES wanted{4, 256, 1, 0}, actual{};
  ASSERT_HRESULT_SUCCEEDED(allocator->SetProperties(&wanted, &actual));
  ASSERT_HRESULT_SUCCEEDED(allocator->Commit());
  ComPtr<IMediaSample> sample;
  ASSERT_HRESULT_SUCCEEDED(allocator->GetBuffer(&sample, nullptr, nullptr, 0));
  sample->SetActualDataLength(100);
  REFERENCE_TIME start = 10, stop = 20;
  sample->SetTime(&start, &stop);
  sample->SetDiscontinuity(TRUE);

  EXPECT_EQ(in_->Receive(sample.Get()), VFW_E_WRONG_STATE);
  ASSERT_EQ(down_->Pause(), S_OK);
  ASSERT_EQ(in_->Receive(sample.Get()), S_OK);
  const AM_SAMPLE2_PROPERTIES& props = in_->SampleProps();
  EXPECT_EQ(props.lActual, 100);
  EXPECT_EQ(props.tStop, 20);
  const DWORD expected = AM_SAMPLE_DATADISCONTINUITY | AM_SAMPLE_TIMEVALID | AM_SAMPLE_STOPVALID;
  EXPECT_EQ(props.dwSampleFlags & expected, expected);
  BYTE* data = nullptr;
  sample->GetPointer(&data);
  EXPECT_EQ(props.pbBuffer, data);

  ASSERT_EQ(in_->BeginFlush(), S_OK);
  IMediaSample* batch[2] = {sample.Get(), sample.Get()};
  long done = -1;
  EXPECT_EQ(in_->ReceiveMultiple(batch, 2, &done), S_FALSE);
  EXPECT_EQ(done, 0);
  ASSERT_EQ(in_->EndFlush(), S_OK);
  EXPECT_EQ(in_->ReceiveMultiple(batch, 2, &done), S_OK);
  EXPECT_EQ(done, 2);

  ComPtr<IMediaSample> changed;
  ASSERT_HRESULT_SUCCEEDED(allocator->GetBuffer(&changed, nullptr, nullptr, 0));
  CMediaType refused = Stream(kB);
  ASSERT_HRESULT_SUCCEEDED(changed->SetMediaType(&refused));
  EXPECT_EQ(in_->Receive(changed.Get()), VFW_E_INVALIDMEDIATYPE);
  EXPECT_EQ(in_->script.endOfStreams, 1);
  EXPECT_EQ(in_->Receive(sample.Get()), VFW_E_RUNTIME_ERROR);
  ASSERT_EQ(in_->EndFlush(), S_OK);
  EXPECT_EQ(in_->Receive(sample.Get()), S_OK);

  sample.Reset();
  changed.Reset();
  EXPECT_HRESULT_SUCCEEDED(allocator->Decommit());
}

TEST(MediaTypeValue, CopiesOwnTheirPartsAndCompareByTheRules) {
  // Catches shallow copies, a leaked or unbalanced pUnk reference, and comparisons that look at
  // the wrong fields.
  ComApartment com;
  ComPtr<IMemAllocator> unk;
  ASSERT_HRESULT_SUCCEEDED(CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&unk)));
  const ULONG baseRefs = RefCount(unk.Get());
  const BYTE format[4] = {1, 2, 3, 4};
  {
    CMediaType a = Stream(kA);
    a.formattype = FORMAT_None;
    ASSERT_EQ(a.SetFormat(format, sizeof format), S_OK);
    a.pUnk = unk.Get();
    unk->AddRef();
    CMediaType b(a);
    EXPECT_NE(a.pbFormat, b.pbFormat);
    EXPECT_EQ(RefCount(unk.Get()), baseRefs + 2);
    b.bTemporalCompression = !a.bTemporalCompression;
    EXPECT_TRUE(a == b);
    b = b;
    EXPECT_TRUE(a == b);
    CMediaType noFormat = Stream(kA);
    noFormat.formattype = FORMAT_None;
    EXPECT_FALSE(a == noFormat);
    EXPECT_FALSE(a.IsPartiallySpecified());

    CMediaType anyMajor(GUID_NULL, kA);
    anyMajor.formattype = FORMAT_None;
    EXPECT_TRUE(anyMajor.IsPartiallySpecified());
    EXPECT_TRUE(a.MatchesPartial(CMediaType(MEDIATYPE_Stream, GUID_NULL)));
    EXPECT_FALSE(a.MatchesPartial(CMediaType(MEDIATYPE_Video, GUID_NULL)));
    EXPECT_FALSE(a.MatchesPartial(noFormat));  // a pattern with a format type compares blocks
    AM_MEDIA_TYPE* handed = CreateMediaType(a);
    ASSERT_NE(handed, nullptr);
    EXPECT_TRUE(MediaTypesEqual(*handed, a));
    DeleteMediaType(handed);
    a.Clear();
    EXPECT_EQ(RefCount(unk.Get()), baseRefs + 1);
    EXPECT_TRUE(a.bFixedSizeSamples);
    EXPECT_EQ(a.lSampleSize, 1u);
  }
  EXPECT_EQ(RefCount(unk.Get()), baseRefs);
}

}  // namespace
}  // namespace ovts::test
