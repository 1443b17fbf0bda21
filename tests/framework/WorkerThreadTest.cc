// The command-driven worker thread and the source stream's use of it.
#include <gtest/gtest.h>

#include <atomic>
#include <cwchar>
#include <thread>
#include <vector>

#include "tools/common/TestFilters.h"
#include "framework/CAMThread.h"
#include "framework/CBaseObject.h"
#include "framework/ComKit.h"

namespace ovts::test {
namespace {

constexpr DWORD kWaitMs = 10000;
using port::Event;

// Answers each command with command + 1 once its gate is open; kExit ends it.
class GatedWorker final : public CAMThread {
 public:
  static constexpr DWORD kExit = 0xFFFF;
  ~GatedWorker() override { Close(); }  // before the members the thread uses go away

  Event taken{Event::Mode::kManualReset};
  Event gate{Event::Mode::kManualReset, true};
  bool peekFirst = false;              // look with CheckRequest before taking each command
  std::atomic<DWORD> peeked{0};
  std::atomic<bool> stillPending{false};

  DWORD ThreadProc() override {
    for (;;) {
      if (peekFirst) {
        DWORD first = 0, second = 0;
        while (!CheckRequest(&first)) port::YieldThread();
        stillPending.store(CheckRequest(&second) && second == first);
        peeked.store(first);
      }
      const DWORD command = GetRequest();
      taken.Set();
      gate.Wait(port::kInfinite);
      if (command == kExit) {
        Reply(S_OK);
        return 0;
      }
      Reply(static_cast<HRESULT>(command + 1));
    }
  }
};

TEST(CAMThreadTest, CommandsAreSynchronousAndClientsSerialised) {
  // Catches a client that returns before the worker's reply, and crossed commands or replies
  // when two clients call at once.
  GatedWorker worker;
  EXPECT_EQ(worker.CallWorker(1), E_FAIL);
  ASSERT_TRUE(worker.Create());
  EXPECT_FALSE(worker.Create());

  worker.gate.Reset();
  Event clientDone(Event::Mode::kManualReset);
  HRESULT reply = E_FAIL;
  std::thread client([&] {
    reply = worker.CallWorker(41);
    clientDone.Set();
  });
  ASSERT_TRUE(worker.taken.Wait(kWaitMs));
  EXPECT_FALSE(clientDone.Wait(0));
  worker.gate.Set();
  ASSERT_TRUE(clientDone.Wait(kWaitMs));
  client.join();
  EXPECT_EQ(reply, 42);

  std::atomic<int> wrong{0};
  auto hammer = [&](DWORD base) {
    for (DWORD i = 0; i < 300; ++i) {
      if (worker.CallWorker(base + i) != static_cast<HRESULT>(base + i + 1)) ++wrong;
    }
  };
  std::thread a(hammer, 1000), b(hammer, 5000);
  a.join();
  b.join();
  EXPECT_EQ(wrong.load(), 0);

  EXPECT_EQ(worker.CallWorker(GatedWorker::kExit), S_OK);
  worker.Close();
  EXPECT_FALSE(worker.ThreadExists());
  EXPECT_EQ(worker.CallWorker(1), E_FAIL);
}

TEST(CAMThreadTest, CheckRequestLeavesTheCommandPending) {
  // Catches a CheckRequest that consumes the command, so the worker's later GetRequest would wait
  // for ever or the client would never get its answer.
  GatedWorker worker;
  worker.peekFirst = true;
  ASSERT_TRUE(worker.Create());
  EXPECT_EQ(worker.CallWorker(9), 10);
  EXPECT_EQ(worker.peeked.load(), 9u);
  EXPECT_TRUE(worker.stillPending.load());
  EXPECT_EQ(worker.CallWorker(GatedWorker::kExit), S_OK);
}

TEST(CAMThreadTest, RacingClosersEndTheThreadOnce) {
  // Catches two closers both waiting on and closing the same thread handle.
  for (int round = 0; round < 25; ++round) {
    GatedWorker worker;
    ASSERT_TRUE(worker.Create());
    worker.gate.Reset();
    std::thread exiter([&] { worker.CallWorker(GatedWorker::kExit); });
    ASSERT_TRUE(worker.taken.Wait(kWaitMs));
    Event go(Event::Mode::kManualReset);
    std::vector<std::thread> closers;
    for (int i = 0; i < 2; ++i) closers.emplace_back([&] {
      go.Wait(port::kInfinite);
      worker.Close();
    });
    go.Set();
    worker.gate.Set();
    for (auto& closer : closers) closer.join();
    exiter.join();
    EXPECT_FALSE(worker.ThreadExists());
    worker.gate.Set();
    ASSERT_TRUE(worker.Create());  // a new thread can follow
    EXPECT_EQ(worker.CallWorker(GatedWorker::kExit), S_OK);
  }
}

class SourceStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_HRESULT_SUCCEEDED(com_.result());
    live_ = CBaseObject::ObjectsActive();
  }
  void TearDown() override { EXPECT_EQ(CBaseObject::ObjectsActive(), live_) << "framework objects leaked"; }

  ComApartment com_;
  int32_t live_ = 0;
};

TEST_F(SourceStreamTest, ThreadWaitsForInitAndUnconnectedPinStartsNothing) {
  // Catches a streaming thread that acts on commands before CMD_INIT, and a pause or stop that
  // starts or commands a thread for a pin nobody connected.
  CTestSource* source = nullptr;
  ASSERT_EQ(CTestSource::Create({}, &source), S_OK);
  CTestSourceStream* stream = source->Stream();

  LPWSTR id = nullptr;
  ASSERT_EQ(stream->QueryId(&id), S_OK);
  EXPECT_STREQ(id, L"1");
  CoTaskMemFree(id);
  ComPtr<IPin> found;
  ASSERT_EQ(source->FindPin(L"1", &found), S_OK);
  EXPECT_EQ(found.Get(), static_cast<IPin*>(stream));
  found.Reset();
  EXPECT_EQ(source->FindPin(L"2", &found), VFW_E_NOT_FOUND);

  ASSERT_EQ(source->Pause(), S_OK);
  EXPECT_FALSE(stream->ThreadExists());
  ASSERT_EQ(source->Stop(), S_OK);

  ASSERT_TRUE(stream->Create());
  EXPECT_EQ(stream->CallWorker(CSourceStream::CMD_RUN), E_UNEXPECTED);
  EXPECT_EQ(stream->CallWorker(CSourceStream::CMD_STOP), E_UNEXPECTED);
  EXPECT_EQ(stream->CallWorker(CSourceStream::CMD_INIT), S_OK);
  EXPECT_EQ(stream->CallWorker(CSourceStream::CMD_INIT), E_NOTIMPL);
  EXPECT_EQ(stream->CallWorker(CSourceStream::CMD_STOP), S_OK);
  EXPECT_EQ(stream->CallWorker(CSourceStream::CMD_EXIT), S_OK);
  stream->Close();
  EXPECT_FALSE(stream->ThreadExists());
  source->Release();
}

TEST_F(SourceStreamTest, StopEndsPromptlyWhileThreadWaitsForBuffer) {
  // Catches a Stop that commands the streaming thread before decommitting the allocator: the
  // thread, blocked for a buffer downstream holds, would never see the command.
  CTestSource* source = nullptr;
  CTestSink* sink = nullptr;
  ASSERT_EQ(CTestSource::Create({.bytesPerSample = 1000, .bufferCount = 2}, &source), S_OK);
  ASSERT_EQ(CTestSink::Create({.holdSamples = true}, &sink), S_OK);
  ASSERT_EQ(source->Output()->Connect(sink->Input(), nullptr), S_OK);
  ASSERT_EQ(sink->Pause(), S_OK);
  ASSERT_EQ(source->Pause(), S_OK);
  ASSERT_TRUE(sink->WaitFor(kWaitMs, [](const TestSinkStats& s) { return s.samples == 2; }));
  ASSERT_TRUE(source->Stream()->WaitForBufferRequests(3, kWaitMs));

  Event stopped(Event::Mode::kManualReset);
  HRESULT stopResult = E_FAIL;
  std::thread stopper([&] {
    stopResult = source->Stop();
    stopped.Set();
  });
  const bool prompt = stopped.Wait(kWaitMs);
  sink->ReleaseSamples();  // lets a stuck Stop finish, so a failure does not hang the test
  stopper.join();
  EXPECT_TRUE(prompt);
  EXPECT_EQ(stopResult, S_OK);
  EXPECT_FALSE(source->Stream()->ThreadExists());
  EXPECT_EQ(sink->Stats().samples, 2u);

  ASSERT_EQ(sink->Stop(), S_OK);
  ASSERT_EQ(source->Output()->Disconnect(), S_OK);
  ASSERT_EQ(sink->Input()->Disconnect(), S_OK);
  EXPECT_EQ(RefCount(static_cast<IBaseFilter*>(source)), 1u);
  EXPECT_EQ(RefCount(static_cast<IBaseFilter*>(sink)), 1u);
  source->Release();
  sink->Release();
}

}  // namespace
}  // namespace ovts::test
