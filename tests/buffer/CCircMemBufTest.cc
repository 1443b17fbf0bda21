// The memory ring buffer's position arithmetic (wrap, overtake, end of store, end of stream,
// seek, reset), its configuration and trace, and its timing stamps.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BufferTestSupport.h"
#include "TestSupport.h"
#include "buffer/CCircMemBuf.h"
#include "buffer/TSInstrumentationRecord.h"
#include "platform/Owners.h"

namespace ovts {
namespace {

// A memory buffer of any size (SetConfig only knows whole KB), with a view of its positions.
class SizedMemBuf : public CCircMemBuf {
 public:
  explicit SizedMemBuf(int64_t size) { size_ = size; }
  int64_t oldest() {
    port::LockGuard state(stateLock_);
    return oldest_;
  }
  bool wrapped() {
    port::LockGuard state(stateLock_);
    return wrapped_;
  }
};

using test::Get;
using test::Got;
using test::Put;

// Catches: wrong wrap point, a wrapped writer not pushing the reader, or lost bytes not reported.
TEST(MemBuf, WrapsAndPushesAnOvertakenReaderForward) {
  SizedMemBuf b(1000);
  ASSERT_EQ(b.Open(), S_OK);
  EXPECT_EQ(b.GetDataSize(), 0);
  EXPECT_EQ(b.GetReadOffset(), 0);
  EXPECT_EQ(b.GetWritePosition(), 0);
  EXPECT_EQ(b.GetUnreadBytes(), 0u);
  EXPECT_EQ(b.GetFreeSpace(), 1000u);

  EXPECT_EQ(Put(b, 0, 600), 600u);  // pieces of 500 and 100
  EXPECT_EQ(b.GetWritePosition(), 600);
  EXPECT_EQ(b.GetUnreadBytes(), 600u);
  EXPECT_FALSE(b.wrapped());

  EXPECT_EQ(Put(b, 600, 600), 600u);  // 400 up to the end, then 200 over retained data
  EXPECT_TRUE(b.wrapped());
  EXPECT_EQ(b.GetWritePosition(), 200);
  EXPECT_EQ(b.GetUnreadBytes(), 1000u);
  EXPECT_EQ(b.GetReadOffset(), 0);
  EXPECT_EQ(b.oldest(), 200);
  EXPECT_EQ(b.GetDataSize(), 1000);

  Got first = Get(b, 800);
  EXPECT_EQ(first.hr, S_OK);
  EXPECT_TRUE(first.discontinuity);
  EXPECT_EQ(first.bytes, test::PatternBytes(200, 800));
  Got second = Get(b, 200);
  EXPECT_FALSE(second.discontinuity);
  EXPECT_EQ(second.bytes, test::PatternBytes(1000, 200));
  EXPECT_TRUE(Get(b, 1).bytes.empty());

  SizedMemBuf small(1000);
  ASSERT_EQ(small.Open(), S_OK);
  EXPECT_EQ(Put(small, 0, 5000), 1000u) << "a write stores at most the size of the store";
}

// Catches: a read that runs past the end of the store instead of stopping there.
TEST(MemBuf, ReadsStopAtTheEndOfTheStore) {
  SizedMemBuf b(1000);
  ASSERT_EQ(b.Open(), S_OK);
  Put(b, 0, 500);
  Put(b, 500, 500);
  Put(b, 1000, 200);
  int64_t at = -1;
  ASSERT_EQ(b.Seek(700, 0, &at), S_OK);  // read position 900, 300 unread
  EXPECT_EQ(b.GetUnreadBytes(), 300u);
  Got tail = Get(b, 300);
  EXPECT_EQ(tail.bytes, test::PatternBytes(900, 100));
  EXPECT_TRUE(tail.discontinuity);
  Got head = Get(b, 200);
  EXPECT_EQ(head.bytes, test::PatternBytes(1000, 200));
  EXPECT_FALSE(head.discontinuity);
}

// Catches: short reads handed out before end of stream, or none after it.
TEST(MemBuf, EndOfStreamHandsOutTheRemainder) {
  SizedMemBuf b(1000);
  ASSERT_EQ(b.Open(), S_OK);
  Put(b, 0, 200);
  Got early = Get(b, 300);
  EXPECT_EQ(early.hr, S_OK);
  EXPECT_TRUE(early.bytes.empty());
  ASSERT_EQ(b.SetEndOfStream(), S_OK);
  EXPECT_TRUE(b.IsEndOfStream());
  Got rest = Get(b, 300);
  EXPECT_EQ(rest.hr, S_OK);
  EXPECT_EQ(rest.bytes, test::PatternBytes(0, 200));
  Got none = Get(b, 300);
  EXPECT_EQ(none.hr, E_FAIL);
  EXPECT_TRUE(none.bytes.empty());
  EXPECT_EQ(b.Reset(), S_OK);
  EXPECT_TRUE(b.IsEndOfStream()) << "Reset leaves end of stream alone";
}

// Catches a gap mark that is read across, reported early or late, reported twice, or lost while
// the reader waits for a whole request.
TEST(MemBuf, GapMarkEndsAReadAndFlagsTheNext) {
  SizedMemBuf b(1000);
  ASSERT_EQ(b.Open(), S_OK);
  Put(b, 0, 100);
  b.MarkGap();
  Put(b, 300, 100);  // bytes 100..299 never arrived
  Got before = Get(b, 150);
  EXPECT_EQ(before.bytes, test::PatternBytes(0, 100)) << "stops at the mark, though 150 are there";
  EXPECT_FALSE(before.discontinuity);
  Got waiting = Get(b, 150);
  EXPECT_TRUE(waiting.bytes.empty()) << "100 unread: too few for the request";
  Put(b, 400, 100);
  Got after = Get(b, 150);
  EXPECT_EQ(after.bytes, test::PatternBytes(300, 150));
  EXPECT_TRUE(after.discontinuity) << "the first byte after the gap";
  Got on = Get(b, 50);
  EXPECT_FALSE(on.discontinuity);
  b.MarkGap();
  EXPECT_TRUE(b.TakeTrailingGap()) << "a mark after everything read is handed to the writer";
  EXPECT_FALSE(b.TakeTrailingGap());
  Put(b, 900, 10);
  EXPECT_FALSE(Get(b, 10).discontinuity);
}

// Copies the bytes a lease lends, in order.
std::vector<uint8_t> LeaseBytes(const CCircMemBuf::Lease& lease) {
  std::vector<uint8_t> bytes(lease.at[0], lease.at[0] + lease.length[0]);
  if (lease.length[1] > 0) bytes.insert(bytes.end(), lease.at[1], lease.at[1] + lease.length[1]);
  return bytes;
}

// Reads until nothing is unread (a read stops at the end of the store).
std::vector<uint8_t> Drain(CCircBufBase& b) {
  std::vector<uint8_t> all;
  while (uint32_t unread = b.GetUnreadBytes()) {
    const Got got = Get(b, unread);
    if (got.bytes.empty()) break;
    all.insert(all.end(), got.bytes.begin(), got.bytes.end());
  }
  return all;
}

// Catches: a lease of unread bytes that crosses a gap or the store's end wrongly, loses its gap
// report, lets the writer overwrite lent bytes (also after a Reset), or moves positions when it
// comes back stale.
TEST(MemBufLease, UnreadBytesAreLentInTwoPiecesAndKeptFromTheWriter) {
  SizedMemBuf b(1000);
  ASSERT_EQ(b.Open(), S_OK);
  CCircMemBuf::Lease lease;
  EXPECT_EQ(b.LendUnread(100, &lease), S_FALSE) << "nothing written yet";
  b.ReturnUnread(lease, 0);
  Put(b, 0, 900);
  ASSERT_EQ(Get(b, 800).bytes.size(), 800u);
  Put(b, 900, 300);  // 100 up to the end, 200 from the start over read bytes
  ASSERT_EQ(b.LendUnread(1000, &lease), S_OK);
  EXPECT_EQ(lease.length[0], 200u) << "up to the store's end";
  EXPECT_EQ(lease.length[1], 200u) << "then on from its start";
  EXPECT_EQ(LeaseBytes(lease), test::PatternBytes(800, 400));
  EXPECT_EQ(b.GetUnreadBytes(), 400u) << "lent bytes stay unread until they come back";
  // A writer that must overwrite to store anything leaves the lent bytes alone.
  uint32_t put = 0;
  const std::vector<uint8_t> more = test::PatternBytes(1200, 800);
  ASSERT_EQ(b.Write(more.data(), 800, &put), S_OK);
  EXPECT_EQ(put, 600u) << "only the read bytes before the lent ones are overwritten";
  EXPECT_EQ(LeaseBytes(lease), test::PatternBytes(800, 400));
  b.ReturnUnread(lease, 150);
  EXPECT_EQ(Drain(b), test::PatternBytes(950, 850)) << "the rest follows in order";

  // A gap mark ends a lease, and the lease that starts at it reports it.
  SizedMemBuf g(1000);
  ASSERT_EQ(g.Open(), S_OK);
  Put(g, 0, 100);
  g.MarkGap();
  Put(g, 300, 100);
  ASSERT_EQ(g.LendUnread(500, &lease), S_OK);
  EXPECT_EQ(lease.total(), 100u);
  EXPECT_FALSE(lease.atGap) << "the bytes before the mark";
  g.ReturnUnread(lease, 100);
  ASSERT_EQ(g.LendUnread(500, &lease), S_OK);
  EXPECT_TRUE(lease.atGap);
  g.ReturnUnread(lease, 0);
  ASSERT_EQ(g.LendUnread(500, &lease), S_OK);
  EXPECT_TRUE(lease.atGap) << "a lease given back unused leaves the mark to report";
  EXPECT_EQ(LeaseBytes(lease), test::PatternBytes(300, 100));
  g.ReturnUnread(lease, 100);

  // Reset while lent: the stream after it writes elsewhere (the lent bytes are still on their
  // way to the disk), and the lease comes back stale and moves nothing.
  SizedMemBuf r(100);
  ASSERT_EQ(r.Open(), S_OK);
  Put(r, 400, 100);
  ASSERT_EQ(r.LendUnread(100, &lease), S_OK);
  ASSERT_EQ(r.Reset(), S_OK);
  Put(r, 0, 50);
  EXPECT_EQ(LeaseBytes(lease), test::PatternBytes(400, 100));
  r.ReturnUnread(lease, 100);
  EXPECT_EQ(r.GetUnreadBytes(), 50u);
  EXPECT_EQ(Get(r, 50).bytes, test::PatternBytes(0, 50));
}

// Catches: room lent over unread bytes, bytes visible before they are filled, a stale or unfilled
// lease that moves positions, or a Close that frees memory still lent (ASan sees the use).
TEST(MemBufLease, RoomIsLentOnlyWhereNothingUnreadLivesAndSurvivesClose) {
  SizedMemBuf b(1000);
  ASSERT_EQ(b.Open(), S_OK);
  Put(b, 0, 700);
  ASSERT_EQ(Get(b, 600).bytes.size(), 600u);
  CCircMemBuf::Lease room;
  EXPECT_EQ(b.LendRoom(901, &room), S_FALSE) << "100 unread bytes leave 900 of room";
  ASSERT_EQ(b.LendRoom(500, &room), S_OK);
  EXPECT_EQ(room.length[0], 300u);
  EXPECT_EQ(room.length[1], 200u);
  const std::vector<uint8_t> fill = test::PatternBytes(700, 500);
  std::memcpy(room.at[0], fill.data(), 300);
  std::memcpy(room.at[1], fill.data() + 300, 200);
  EXPECT_EQ(Get(b, 200).bytes.size(), 0u) << "room is not readable until it comes back filled";
  b.ReturnRoom(room, true);
  EXPECT_EQ(Drain(b), test::PatternBytes(600, 600));

  ASSERT_EQ(b.LendRoom(100, &room), S_OK);
  b.ReturnRoom(room, false);
  EXPECT_EQ(b.GetUnreadBytes(), 0u) << "an unfilled lease adds nothing";

  ASSERT_EQ(b.LendRoom(100, &room), S_OK);
  ASSERT_EQ(b.Close(), S_OK);
  std::memset(room.at[0], 0x5A, room.length[0]);  // still ours after Close
  ASSERT_EQ(b.Open(), S_OK);
  b.ReturnRoom(room, true);
  EXPECT_EQ(b.GetUnreadBytes(), 0u) << "a lease from before the Close is stale";
}

// Catches: unclamped seeks, a seek without a discontinuity, or a failed seek that moves or locks.
TEST(MemBuf, SeekClampsByOriginAndFlagsTheNextRead) {
  SizedMemBuf b(1000);
  ASSERT_EQ(b.Open(), S_OK);
  Put(b, 0, 600);
  Get(b, 100);
  int64_t at = -1;
  ASSERT_EQ(b.Seek(-5, 0, &at), S_OK);
  EXPECT_EQ(at, 0);
  EXPECT_EQ(b.GetUnreadBytes(), 600u);
  Got again = Get(b, 10);
  EXPECT_TRUE(again.discontinuity);
  EXPECT_EQ(again.bytes, test::PatternBytes(0, 10));

  ASSERT_EQ(b.Seek(5000, 0, &at), S_OK);
  EXPECT_EQ(at, 600);
  EXPECT_EQ(b.GetUnreadBytes(), 0u);
  EXPECT_TRUE(Get(b, 1).bytes.empty()) << "at the live edge";
  Put(b, 600, 10);
  Got live = Get(b, 10);
  EXPECT_TRUE(live.discontinuity) << "kept for the first read that finds data";
  EXPECT_EQ(live.bytes, test::PatternBytes(600, 10));

  ASSERT_EQ(b.Seek(-300, 1, &at), S_OK);
  ASSERT_EQ(b.Seek(-(b.GetReadOffset() + 100), 1, &at), S_OK);
  EXPECT_EQ(at, -310);
  EXPECT_EQ(b.GetReadOffset(), 0) << "lands on the oldest retained byte";
  Get(b, 1);

  ASSERT_EQ(b.Seek(-1000, 0, &at), S_OK);
  Get(b, 50);
  EXPECT_EQ(b.Seek(10, 2, &at), E_FAIL);
  EXPECT_EQ(at, 0);
  EXPECT_EQ(b.GetReadOffset(), 50);
  EXPECT_FALSE(Get(b, 10).discontinuity) << "a failed seek changes nothing";
  std::thread other([&] {  // would block on a lock left held by this thread
    Put(b, 610, 10);
    EXPECT_EQ(Get(b, 10).bytes.size(), 10u);
  });
  other.join();

  SizedMemBuf closed(1000);
  EXPECT_EQ(closed.Seek(0, 0, &at), E_FAIL);
}

// Catches: a Reset that keeps positions or whose discontinuity a read without data swallows.
TEST(MemBuf, ResetEmptiesAndFlagsTheNextReadThatFindsData) {
  SizedMemBuf b(1000);
  ASSERT_EQ(b.Open(), S_OK);
  Put(b, 0, 300);
  EXPECT_FALSE(Get(b, 100).discontinuity);
  ASSERT_EQ(b.Reset(), S_OK);
  EXPECT_EQ(b.GetDataSize(), 0);
  EXPECT_EQ(b.GetWritePosition(), 0);
  EXPECT_EQ(b.GetUnreadBytes(), 0u);
  EXPECT_TRUE(Get(b, 10).bytes.empty());
  Put(b, 300, 50);
  Got after = Get(b, 50);
  EXPECT_TRUE(after.discontinuity);
  EXPECT_EQ(after.bytes, test::PatternBytes(300, 50));
  EXPECT_FALSE(Get(b, 0).discontinuity);
}

// Catches: Open discarding an open store, or positions lost over Close and Open.
TEST(MemBuf, ReopeningKeepsPositions) {
  SizedMemBuf b(1000);
  ASSERT_EQ(b.Open(), S_OK);
  Put(b, 0, 100);
  ASSERT_EQ(b.Open(), S_OK);
  EXPECT_EQ(Get(b, 100).bytes, test::PatternBytes(0, 100));
  Put(b, 100, 40);
  ASSERT_EQ(b.Close(), S_OK);
  EXPECT_EQ(Get(b, 40).hr, E_FAIL);
  ASSERT_EQ(b.Open(), S_OK);
  EXPECT_EQ(b.GetUnreadBytes(), 40u);
  EXPECT_EQ(b.GetWritePosition(), 140);
}

std::string Narrow(const OLECHAR* text) {
  std::unique_ptr<char[]> narrow(port::WideToNarrow(text));
  return narrow ? narrow.get() : "";
}

std::string ReadFile(const std::string& path) {
  std::string out;
  if (std::FILE* f = std::fopen(port::HostPath(path.c_str()).c_str(), "r")) {
    char chunk[256];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) out.append(chunk, n);
    std::fclose(f);
  }
  return out;
}

// Catches: sizes in the wrong unit, a missing trailing backslash, a non-fixed drive accepted,
// an open store resized under its users, and trace lines written below their level.
TEST(MemBuf, ConfigurationAndTrace) {
  const std::string dir = test::MakeTestDir("buffer-mem");
  CCircMemBuf b("Probe");
  EXPECT_STREQ(b.name(), "Probe");
  const std::string tracePath = dir + "trace.txt";
  b.trace().SetFile(tracePath.c_str(), true);

  test::OwnedConfig noSlash("C:\\ovts-test-buffer-mem", "x.bin", 1, NoWrap, 3);
  ASSERT_EQ(b.SetConfig(noSlash.get()), S_OK);
  EXPECT_EQ(ReadFile(tracePath), "") << "level 0 writes nothing";
  EXPECT_EQ(b.GetBufferSize(), 1024);
  port::BufferConfigHolder held;
  TSBufferConfig& out = *held.get();
  out.initialTimeShift = 77;
  ASSERT_EQ(b.GetConfig(&out), S_OK);
  EXPECT_EQ(Narrow(out.directory), "C:\\ovts-test-buffer-mem\\");
  EXPECT_EQ(Narrow(out.fileName), "x.bin");
  EXPECT_EQ(out.sizeKB, 1u);
  EXPECT_EQ(out.minFreeMB, 3u);
  EXPECT_EQ(out.options, static_cast<uint32_t>(NoWrap));
  EXPECT_EQ(out.initialTimeShift, 77u) << "left as the caller set it";
  held.Clear();

  b.trace().SetLevel(3);
  test::OwnedConfig slash(dir, "y.bin", 2);
  ASSERT_EQ(b.SetConfig(slash.get()), S_OK);
  EXPECT_NE(ReadFile(tracePath).find("  New Buf size 2048\n"), std::string::npos);
  ASSERT_EQ(b.GetConfig(&out), S_OK);
  EXPECT_EQ(Narrow(out.directory), dir) << "an existing backslash is kept";

  test::OwnedConfig remote("Q:\\nowhere", "z.bin", 8);
  EXPECT_EQ(b.SetConfig(remote.get()), E_INVALIDARG);
  EXPECT_EQ(b.GetBufferSize(), 2048) << "a refused configuration changes nothing";

  ASSERT_EQ(b.Open(), S_OK);
  EXPECT_NE(ReadFile(tracePath).find("  Init Mem Buffer.  Size = 2048\n"), std::string::npos);
  test::OwnedConfig bigger(dir, "y.bin", 4);
  ASSERT_EQ(b.SetConfig(bigger.get()), S_OK);
  EXPECT_EQ(b.GetBufferSize(), 2048) << "an open store keeps its size";
  EXPECT_EQ(Put(b, 0, 4096), 2048u);
  ASSERT_EQ(b.Close(), S_OK);
  ASSERT_EQ(b.Open(), S_OK);
  EXPECT_EQ(b.GetBufferSize(), 4096);
  EXPECT_EQ(b.SetParam(1, 2), E_NOTIMPL);
  EXPECT_EQ(b.GetParam(0), E_NOTIMPL);
  EXPECT_EQ(b.SetMediaType(nullptr), S_OK);
}

int g_counterReads = 0;
int64_t ZeroCounter() {
  ++g_counterReads;
  return 0;
}

// Catches: a stamp that gives up before three reads of a zero counter, or reads it forever.
TEST(TSInstrumentation, ZeroCounterIsReadThreeTimes) {
  int64_t stamp = 5;
  TSStamp(stamp, ZeroCounter);
  EXPECT_EQ(g_counterReads, 3);
  EXPECT_EQ(stamp, 0);
}

// Catches: wrong spans, rounding or layout in the timing report.
TEST(TSInstrumentation, ReportTurnsTicksIntoMicroseconds) {
  TSInstrumentationRecord r;
  r.name = "Write";
  r.ticksPerMicrosecond = 10;
  r.start = 1000;
  r.reserved = 1500;
  r.copied = 2500;
  r.end = 3000;
  EXPECT_STREQ(r.Format(),
               "          CCircMemBuf::Write Instrumentation\n"
               "               LockFor4Write time:       50 uS\n"
               "               MemCopy time:         100 uS\n"
               "               Total to complete:    200 uS\n");
}

// Catches: stamps taken in the wrong place, or left over from an earlier call.
TEST(TSInstrumentation, MemoryCallsStampWhereTheyGetTo) {
  CCircMemBuf b;
  std::vector<uint8_t> buf(64);
  uint32_t n = 0;
  bool d = false;
  EXPECT_EQ(b.Write(buf.data(), 64, &n), E_FAIL);
  EXPECT_NE(b.writeRecord().start, 0) << "taken before the open check";
  EXPECT_EQ(b.writeRecord().reserved, 0);
  ASSERT_EQ(b.Open(), S_OK);
  ASSERT_EQ(b.Write(buf.data(), 64, &n), S_OK);
  const TSInstrumentationRecord& w = b.writeRecord();
  EXPECT_NE(w.start, 0);
  EXPECT_LE(w.start, w.reserved);
  EXPECT_LE(w.reserved, w.copied);
  EXPECT_LE(w.copied, w.end);
  EXPECT_STREQ(w.name, "Write");

  ASSERT_EQ(b.Read(buf.data(), 64, &n, &d), S_OK);
  const TSInstrumentationRecord& r = b.readRecord();
  EXPECT_NE(r.start, 0);
  EXPECT_LE(r.start, r.reserved);
  EXPECT_LE(r.reserved, r.copied);
  EXPECT_LE(r.copied, r.end);
  ASSERT_EQ(b.Read(buf.data(), 64, &n, &d), S_OK);
  EXPECT_EQ(n, 0u);
  EXPECT_NE(r.start, 0);
  EXPECT_EQ(r.reserved, 0) << "nothing was available to reserve";
  EXPECT_EQ(r.end, 0);
  EXPECT_STREQ(r.name, "Read");
}

}  // namespace
}  // namespace ovts
