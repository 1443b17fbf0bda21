// The host's threads around its graph: commands typed as lines on standard input, the bounded
// queue behind the standard-input source, and the watchdog that ends a hung operation. Catches
// commands lost or reordered between the reader thread and the main thread, a queue that grows
// without bound when nobody takes from it, and a hang that the watchdog lets through.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <thread>
#include <vector>

#include "framework/ComKit.h"
#include "tools/common/StreamPattern.h"
#include "tools/tshift/CStdinSource.h"
#include "tools/tshift/CommandInput.h"
#include "tools/tshift/HostSupport.h"

namespace ovts::tshift {
namespace {

constexpr DWORD kWaitMs = 10000;

TEST(TshiftCommandInput, LinesArriveInOrderAndJunkIsReported) {
  // Lines typed in one burst reach the main thread in order; a junk line is reported, not lost
  // silently, and the ready event does not stay set once everything was taken.
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 0));
  UniqueHandle writer(writeEnd);
  const HANDLE savedInput = GetStdHandle(STD_INPUT_HANDLE);
  SetStdHandle(STD_INPUT_HANDLE, readEnd);
  CommandInput input;
  std::string error;
  ASSERT_EQ(input.Start(false, "", &error), CommandInput::Source::kLines);
  SetStdHandle(STD_INPUT_HANDLE, savedInput);

  const std::string typed = "pause\r\nback 30\nrewind\n\nlive\nquit\n";
  ASSERT_TRUE(WriteAll(writer.get(), typed.data(), typed.size()));
  std::vector<HostCommand::Kind> kinds;
  std::string messages;
  while (kinds.size() < 4 && WaitForSingleObject(input.Ready(), kWaitMs) == WAIT_OBJECT_0) {
    messages += input.TakeMessage();
    for (HostRequest r = input.Take(); r.command.kind != HostCommand::kNone; r = input.Take())
      kinds.push_back(r.command.kind);
  }
  // The junk line's report may have come in while the last commands were being taken.
  messages += input.TakeMessage();
  EXPECT_EQ(kinds, (std::vector<HostCommand::Kind>{HostCommand::kPause, HostCommand::kSeek, HostCommand::kLive,
                                                    HostCommand::kQuit}));
  EXPECT_NE(messages.find("rewind"), std::string::npos);
  EXPECT_EQ(WaitForSingleObject(input.Ready(), 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "nothing left, yet ready";
  writer.reset();  // the reader thread sees the end of its input and ends
}

TEST(TshiftCommandInput, TerminalKeysThroughAPipe) {
  // The bytes of a terminal's keys, written as a terminal writes them, arrive as the console's
  // keys in order; a keys pipe that cannot be opened is said, not ignored.
  const std::string name = "\\\\.\\pipe\\tshift-keys-test-" + std::to_string(GetCurrentProcessId());
  UniqueHandle terminal(CreateNamedPipeW(Widen(name).c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 256,
                                         256, 0, nullptr));
  ASSERT_TRUE(terminal);
  CommandInput input;
  std::string error;
  ASSERT_EQ(input.Start(true, name, &error), CommandInput::Source::kTerminalKeys) << error;
  ConnectNamedPipe(terminal.get(), nullptr);  // the reader has connected already, or does now
  std::vector<HostCommand> got;
  struct Key {
    const char* bytes;
    size_t commands;
  };
  for (const Key key : {Key{"\x1b[D", 1}, Key{" ", 1}, Key{"\x1b[A", 0}, Key{"l", 1}, Key{"\x1b", 1}}) {
    ASSERT_TRUE(WriteAll(terminal.get(), key.bytes, strlen(key.bytes)));
    // As a person types: the next key comes once this one has arrived (up means nothing).
    const size_t expected = got.size() + key.commands;
    while (got.size() < expected && WaitForSingleObject(input.Ready(), kWaitMs) == WAIT_OBJECT_0)
      for (HostRequest r = input.Take(); r.command.kind != HostCommand::kNone; r = input.Take()) got.push_back(r.command);
  }
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0].kind, HostCommand::kSeek);
  EXPECT_DOUBLE_EQ(got[0].seconds, -kSeekStepSeconds);
  EXPECT_EQ(got[1].kind, HostCommand::kTogglePause);
  EXPECT_EQ(got[2].kind, HostCommand::kLive);
  EXPECT_EQ(got[3].kind, HostCommand::kQuit) << "Esc";
  terminal.reset();

  CommandInput missing;
  EXPECT_EQ(missing.Start(true, "Z:\\nonexistent\\keys", &error), CommandInput::Source::kNone);
  EXPECT_NE(error.find("Z:\\nonexistent\\keys"), std::string::npos) << error;
}

TEST(TshiftStdinQueue, WriterWaitsAtTheLimitAndEveryByteComesOutOnce) {
  // 20 MB through a pipe while the taker starts late: the queue stays bounded (the writer is
  // held back) and the bytes come out exactly once, in order, then the end.
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 65536));
  UniqueHandle reader(readEnd), writer(writeEnd);
  std::shared_ptr<StdinQueue> queue;
  ASSERT_TRUE(StdinQueue::Start(reader.get(), &queue));

  constexpr size_t kTotal = 20 * 1024 * 1024;
  constexpr size_t kPiece = 100003;
  std::atomic<size_t> written{0};
  std::thread feeder([&] {
    std::vector<uint8_t> piece(kPiece);
    for (size_t at = 0; at < kTotal; at += kPiece) {
      const size_t n = std::min(kPiece, kTotal - at);
      tools::FillPattern(piece.data(), at, n);
      if (!WriteAll(writer.get(), piece.data(), n)) return;
      written.store(at + n);
    }
    writer.reset();
  });
  // Nobody takes: the writer must stall well short of the whole stream.
  for (size_t stalled = 0, last = 0; stalled < 20;) {
    Sleep(50);  // observes a standstill: no event marks "the writer is blocked"
    const size_t now = written.load();
    stalled = now == last ? stalled + 1 : 0;
    last = now;
  }
  EXPECT_LT(written.load(), kTotal / 2);

  tools::PatternChecker checker;
  std::vector<uint8_t> buffer(65536);
  while (!queue->Drained()) {
    const size_t got = queue->Take(buffer.data(), buffer.size(), 100);
    checker.Feed(buffer.data(), got, false);
  }
  feeder.join();
  EXPECT_EQ(checker.stats().bytes, kTotal);
  EXPECT_EQ(checker.stats().verified, kTotal);
  EXPECT_EQ(queue->ReadError(), 0u);
}

TEST(TshiftWatchdogDeathTest, EndsAHungOperationWithItsName) {
  // A hung graph operation ends the program with exit status 3 and names the operation.
  EXPECT_EXIT(
      {
        tools::Watchdog::Scope armed(HostWatchdog(), "stopping the graph", 200);
        Sleep(INFINITE);
      },
      ::testing::ExitedWithCode(kExitHung), "stopping the graph did not finish");
}

}  // namespace
}  // namespace ovts::tshift
