// The host's own filters in the platform's Filter Graph Manager, without the time-shift filter:
// the live MPEG-TS source paced through the graph into the sink and its delivery check, and the
// standard-input source fed through a real pipe. Catches a source that loses or repeats bytes, a
// sink that writes something other than what it received, and a stop that hangs while the
// pipe's writer is silent.
#include <gtest/gtest.h>

#include <windows.h>

#include <thread>
#include <vector>

#include "TestSupport.h"
#include "framework/CBaseObject.h"
#include "framework/ComKit.h"
#include "tools/common/FindPin.h"
#include "tools/common/StreamPattern.h"
#include "tools/tshift/CStdinSource.h"
#include "tools/tshift/CStreamSink.h"
#include "tools/tshift/CTsLiveSource.h"
#include "tools/tshift/DeliveryCheck.h"
#include "tools/tshift/HostSupport.h"

namespace ovts::tshift {
namespace {

constexpr uint32_t kWaitMs = 30000;

std::vector<uint8_t> ReadWholeFile(const std::wstring& path) {
  std::vector<uint8_t> bytes;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  LARGE_INTEGER size{};
  GetFileSizeEx(file, &size);
  bytes.resize(static_cast<size_t>(size.QuadPart));
  DWORD read = 0;
  if (!bytes.empty()) ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
  bytes.resize(read);
  CloseHandle(file);
  return bytes;
}

class TshiftFiltersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_HRESULT_SUCCEEDED(com_.result());
    live_ = CBaseObject::ObjectsActive();
    ASSERT_HRESULT_SUCCEEDED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&graph_)));
    ASSERT_HRESULT_SUCCEEDED(graph_.As(&control_));
    const std::string dir = test::MakeTestDir("tshift");
    // One file per test: ctest runs the tests of this program side by side.
    const std::string name = std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".out";
    outPath_ = std::wstring(dir.begin(), dir.end()) + std::wstring(name.begin(), name.end());
  }
  void TearDown() override {
    if (control_) control_->Stop();
    control_.Reset();
    graph_.Reset();
    EXPECT_EQ(CBaseObject::ObjectsActive(), live_) << "framework objects leaked";
  }

  CStreamSink* AddSink(DeliveryCheck* check) {
    HANDLE out = CreateFileW(outPath_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    EXPECT_NE(out, INVALID_HANDLE_VALUE);
    ComPtr<CStreamSink> sink;
    EXPECT_EQ(CStreamSink::Create(out, true, check, 0, &sink), S_OK);
    EXPECT_EQ(graph_->AddFilter(sink.Get(), L"Sink"), S_OK);
    return sink.Get();  // the graph holds it
  }

  void Connect(IBaseFilter* source, IBaseFilter* sink) {
    ASSERT_EQ(graph_->ConnectDirect(tools::FindPin(source, PINDIR_OUTPUT).Get(), tools::FindPin(sink, PINDIR_INPUT).Get(), nullptr), S_OK);
  }

  ComApartment com_;
  int32_t live_ = 0;
  ComPtr<IGraphBuilder> graph_;
  ComPtr<IMediaControl> control_;
  std::wstring outPath_;
};

TEST_F(TshiftFiltersTest, PacedTransportStreamArrivesWhole) {
  // The live source through the graph's allocator into the sink: one start mark at byte 0, an
  // intact packet sequence, and the file holding exactly what the check saw.
  DeliveryCheck check(tools::TsStreamLayout{.bitRate = 20000000}, 0, 0);
  ComPtr<CTsLiveSource> source;
  ASSERT_EQ(CTsLiveSource::Create(20000000, &source), S_OK);
  ASSERT_EQ(graph_->AddFilter(source.Get(), L"Live"), S_OK);
  CStreamSink* sink = AddSink(&check);
  Connect(source.Get(), sink);

  check.OnControl(Control::kStart, 0);
  ASSERT_HRESULT_SUCCEEDED(control_->Run());
  ASSERT_TRUE(check.WaitForDelivery(3 * 1024 * 1024, kWaitMs));
  ASSERT_HRESULT_SUCCEEDED(control_->Stop());
  const DeliveryCheck::Summary s = check.Finish();
  EXPECT_TRUE(s.Passed()) << (s.faults.empty() ? "" : s.faults[0]);
  ASSERT_EQ(s.marks.size(), 1u);
  EXPECT_EQ(s.marks[0].to, 0);
  EXPECT_EQ(static_cast<int64_t>(s.bytes), source->Stream()->AcceptedEnd());
  EXPECT_EQ(sink->Counts().bytes, s.bytes);
  EXPECT_EQ(ReadWholeFile(outPath_).size(), s.bytes);
}

TEST_F(TshiftFiltersTest, StandardInputPipeArrivesByteExactAndStopsWhileSilent) {
  // A pipe stands for standard input: bytes written in odd pieces arrive unchanged; a stop while
  // the writer is silent (the pipe still open) returns; closing the writer ends the stream.
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 65536));
  UniqueHandle reader(readEnd), writer(writeEnd);
  ComPtr<CStdinSource> source;
  ASSERT_EQ(CStdinSource::Create(reader.get(), &source), S_OK);
  ASSERT_EQ(graph_->AddFilter(source.Get(), L"Stdin"), S_OK);
  CStreamSink* sink = AddSink(nullptr);
  Connect(source.Get(), sink);

  constexpr size_t kTotal = 1500000;
  std::vector<uint8_t> sent(kTotal);
  tools::FillPattern(sent.data(), 0, kTotal);
  ASSERT_HRESULT_SUCCEEDED(control_->Run());
  std::thread feeder([&] {
    for (size_t at = 0, step = 1000; at < kTotal; at += step, step = step * 7 % 90001 + 1)
      WriteAll(writer.get(), &sent[at], std::min(step, kTotal - at));
  });
  feeder.join();
  ASSERT_TRUE(sink->WaitForBytes(kTotal, kWaitMs));
  EXPECT_EQ(sink->Counts().bytes, kTotal);
  EXPECT_FALSE(source->Stream()->Ended());
  ASSERT_HRESULT_SUCCEEDED(control_->Stop());  // the writer is silent, the pipe open

  ASSERT_HRESULT_SUCCEEDED(control_->Run());
  writer.reset();
  ASSERT_TRUE(sink->WaitForEndOfStream(kWaitMs));
  EXPECT_TRUE(source->Stream()->Ended());
  EXPECT_EQ(source->Stream()->ReadError(), 0u);
  ASSERT_HRESULT_SUCCEEDED(control_->Stop());
  EXPECT_EQ(ReadWholeFile(outPath_), sent);
}

}  // namespace
}  // namespace ovts::tshift
