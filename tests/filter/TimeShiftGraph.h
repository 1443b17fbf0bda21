// The time-shift filter in the platform's Filter Graph Manager, for the filter and pins tests:
// its settings under a registry path of the test's own (removed afterwards), its buffer file in a
// test directory, the live test source or the platform's File Source (Async) upstream, and the
// test sink downstream.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>
#include <dshow.h>
#include <tlhelp32.h>

#include <cstring>
#include <string>
#include <vector>

#include "OVTimeShift.h"
#include "tools/common/TestFilters.h"
#include "TestSupport.h"
#include "filter/CTSFilter.h"
#include "framework/CBaseObject.h"
#include "pins/CTSInputPin.h"
#include "pins/CTSOutputPushPin.h"
#include "tools/common/TsGenerator.h"

namespace ovts::test {

constexpr DWORD kWaitMs = 30000;
constexpr TSCacheConfig kSmallCaches = {1024, 64, 0, 512, 64, 75};

// The first pin of a filter in a direction.
inline ComPtr<IPin> FirstPin(IBaseFilter* filter, PIN_DIRECTION direction) {
  ComPtr<IEnumPins> pins;
  EXPECT_EQ(filter->EnumPins(&pins), S_OK);
  for (ComPtr<IPin> pin; pins->Next(1, pin.ReleaseAndGetAddressOf(), nullptr) == S_OK;) {
    PIN_DIRECTION d;
    if (SUCCEEDED(pin->QueryDirection(&d)) && d == direction) return pin;
  }
  return nullptr;
}

// Stream position of a pattern sample's first byte, when the sample starts on a record (as the
// test source's samples and the filter's output do).
inline uint64_t PatternPosition(const BYTE* data) {
  uint64_t position = 0;
  std::memcpy(&position, data, sizeof position);
  return position;
}

// Threads of this process now.
inline int ThreadCount() {
  int count = 0;
  UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  THREADENTRY32 entry{sizeof entry};
  for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
  }
  return count;
}

class TimeShiftGraphTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_HRESULT_SUCCEEDED(com_.result());
    live_ = CBaseObject::ObjectsActive();
    name_ = testing::UnitTest::GetInstance()->current_test_info()->name();
    base_ = "Software\\Orvanta\\Test\\" + name_;
    RemoveKeys();
    dir_ = MakeTestDir(name_);
    ASSERT_HRESULT_SUCCEEDED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&graph_)));
    ASSERT_HRESULT_SUCCEEDED(graph_.As(&media_));
  }

  void TearDown() override {
    if (media_) media_->Stop();
    media_.Reset();
    graph_.Reset();
    control_.Reset();
    filter_.Reset();
    source_.Reset();
    reader_.Reset();
    sink_.Reset();
    EXPECT_EQ(CBaseObject::ObjectsActive(), live_) << "framework objects leaked";
    RemoveKeys();
  }

  void RemoveKeys() {
    RegDeleteTreeA(HKEY_CURRENT_USER, base_.c_str());
    RegDeleteKeyA(HKEY_CURRENT_USER, base_.c_str());
    RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Orvanta\\Test");  // once no other test's key is left
  }

  // Takes over a new filter (no reference yet), points its settings at the test's key and puts
  // it in the graph: a buffer file of sizeKB in the test directory, the given caches.
  void AddFilter(CTSFilter* filter, uint32_t sizeKB = 32768, const TSCacheConfig& caches = kSmallCaches,
                 uint32_t options = PreAllocate) {
    filter_ = filter;
    ASSERT_HRESULT_SUCCEEDED(filter_->QueryInterface(IID_PPV_ARGS(&control_)));
    ASSERT_EQ(control_->SetRegistryBase(base_.c_str()), S_OK);
    Configure(sizeKB, caches, options);
    ASSERT_EQ(graph_->AddFilter(filter_.Get(), L"Time Shift"), S_OK);
  }

  void Configure(uint32_t sizeKB, TSCacheConfig caches, uint32_t options, const char* file = "buffer.mpg") {
    TSBufferConfig config{port::NarrowToBstr(dir_.c_str()), port::NarrowToBstr(file), sizeKB, 128, 524288, options};
    ASSERT_EQ(control_->SetBufferSettings(&config), S_OK);
    ASSERT_EQ(control_->SetCacheSettings(&caches), S_OK);
  }

  void AddPushSource(const TestSourceConfig& config) {
    CTestSource* source = nullptr;
    ASSERT_EQ(CTestSource::Create(config, &source), S_OK);
    source_ = source;  // the ComPtr adds its own reference
    source->Release();
    ASSERT_EQ(graph_->AddFilter(source_.Get(), L"Test Source"), S_OK);
    ASSERT_EQ(graph_->ConnectDirect(source_->Output(), FilterInput(), nullptr), S_OK);
  }

  // The platform's File Source (Async) reading `path`, offered as an MPEG-2 transport stream.
  void AddPullSource(const std::string& path) {
    ASSERT_HRESULT_SUCCEEDED(CoCreateInstance(CLSID_AsyncReader, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&reader_)));
    ComPtr<IFileSourceFilter> file;
    ASSERT_HRESULT_SUCCEEDED(reader_.As(&file));
    const std::wstring wide(path.begin(), path.end());
    const CMediaType type(MEDIATYPE_Stream, MEDIASUBTYPE_MPEG2_TRANSPORT);
    ASSERT_EQ(file->Load(wide.c_str(), &type), S_OK);
    ASSERT_EQ(graph_->AddFilter(reader_.Get(), L"File Source"), S_OK);
    ASSERT_EQ(graph_->ConnectDirect(FirstPin(reader_.Get(), PINDIR_OUTPUT).Get(), FilterInput(), nullptr), S_OK);
  }

  void AddSink(TestSinkConfig config = {}) {
    CTestSink* sink = nullptr;
    ASSERT_EQ(CTestSink::Create(config, &sink), S_OK);
    sink_ = sink;
    sink->Release();
    ASSERT_EQ(graph_->AddFilter(sink_.Get(), L"Test Sink"), S_OK);
    ASSERT_EQ(graph_->ConnectDirect(filter_->OutputPin(), sink_->Input(), nullptr), S_OK);
  }

  IPin* FilterInput() { return filter_->GetPin(0); }
  std::string BufferPath(const char* file = "buffer.mpg") const { return dir_ + file; }

  // A transport stream of `packets` packets from TsGenerator, written to the test directory.
  std::string WriteTsFile(size_t packets, std::vector<uint8_t>* bytes) {
    bytes->resize(packets * tools::kTsPacketSize);
    tools::TsGenerator().Next(bytes->data(), packets);
    const std::string path = dir_ + "stream.ts";
    UniqueHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file.get(), bytes->data(), static_cast<DWORD>(bytes->size()), &written, nullptr));
    EXPECT_EQ(written, bytes->size());
    return path;
  }

  int64_t Status(HRESULT (STDMETHODCALLTYPE IOVTimeShiftFilter::*getter)(int64_t*)) {
    int64_t value = -1;
    EXPECT_EQ((control_.Get()->*getter)(&value), S_OK);
    return value;
  }

  ComApartment com_;
  int32_t live_ = 0;
  std::string name_, base_, dir_;
  ComPtr<IGraphBuilder> graph_;
  ComPtr<IMediaControl> media_;
  ComPtr<CTSFilter> filter_;
  ComPtr<IOVTimeShiftFilter> control_;
  ComPtr<CTestSource> source_;
  ComPtr<IBaseFilter> reader_;
  ComPtr<CTestSink> sink_;
};

}  // namespace ovts::test
