// The stream pattern checker: it must find its place after any jump, count what a jump skipped,
// and tell a flagged jump from an unreported one and from corruption.
#include <gtest/gtest.h>

#include <vector>

#include "tools/common/StreamPattern.h"

namespace ovts::tools {
namespace {

std::vector<uint8_t> Bytes(uint64_t position, size_t length) {
  std::vector<uint8_t> v(length);
  FillPattern(v.data(), position, length);
  return v;
}

// Catches: pieces split at odd offsets being misjudged.
TEST(StreamPattern, ContiguousPiecesVerify) {
  PatternChecker c;
  uint64_t pos = 0;
  for (size_t len : {1u, 7u, 16u, 33u, 1000u, 5u}) {
    auto b = Bytes(pos, len);
    c.Feed(b.data(), b.size(), false);
    pos += len;
  }
  EXPECT_EQ(c.stats().verified, pos);
  EXPECT_EQ(c.stats().corrupt, 0u);
  EXPECT_EQ(c.position(), pos);
  EXPECT_EQ(PatternByte(21), Bytes(21, 1)[0]);
}

// Catches: a flagged forward or backward jump not counted as lost or rewound bytes.
TEST(StreamPattern, FlaggedJumpsResynchronise) {
  PatternChecker c;
  auto a = Bytes(0, 100);
  c.Feed(a.data(), a.size(), false);
  auto b = Bytes(1003, 50);  // skips 903 bytes, lands mid-record
  c.Feed(b.data(), b.size(), true);
  EXPECT_EQ(c.stats().lost, 903u);
  EXPECT_EQ(c.stats().jumps, 1u);
  auto back = Bytes(500, 40);
  c.Feed(back.data(), back.size(), true);
  EXPECT_EQ(c.stats().rewound, 553u);
  EXPECT_EQ(c.stats().corrupt, 0u);
  EXPECT_EQ(c.stats().unreportedJumps, 0u);
  EXPECT_EQ(c.stats().discontinuities, 2u);
}

// Catches: a jump without a discontinuity flag passing unnoticed.
TEST(StreamPattern, UnreportedJumpIsCounted) {
  PatternChecker c;
  auto a = Bytes(0, 64);
  c.Feed(a.data(), a.size(), false);
  auto b = Bytes(4096, 64);
  c.Feed(b.data(), b.size(), false);
  EXPECT_EQ(c.stats().unreportedJumps, 1u);
  EXPECT_EQ(c.stats().corrupt, 0u);
}

// Catches: bytes dropped inside a piece (a lapped buffer) counted as damage instead of a loss.
TEST(StreamPattern, UnreportedJumpInsideAPieceIsALoss) {
  PatternChecker c;
  auto a = Bytes(0, 100);
  auto b = Bytes(5003, 200);  // 4903 bytes dropped, mid-record on both sides
  a.insert(a.end(), b.begin(), b.end());
  c.Feed(a.data(), a.size(), false);
  EXPECT_EQ(c.stats().unreportedJumps, 1u);
  EXPECT_EQ(c.stats().lost, 4903u);
  EXPECT_EQ(c.stats().corrupt, 0u);
  EXPECT_EQ(c.stats().verified, 300u);
  EXPECT_EQ(c.position(), 5203u);
}

// Catches: damaged bytes counted as a jump or not counted at all.
TEST(StreamPattern, CorruptionIsCountedWhereItStands) {
  PatternChecker c;
  auto a = Bytes(0, 256);
  a[0] ^= 0xFF;
  a[100] ^= 0x01;
  c.Feed(a.data(), a.size(), false);
  EXPECT_EQ(c.stats().corrupt, 2u);
  EXPECT_EQ(c.stats().unreportedJumps, 0u);
}

// Catches: short pieces after a jump being verified before their position is known.
TEST(StreamPattern, ShortPiecesWaitForARecord) {
  PatternChecker c(0, false);
  auto a = Bytes(777, 60);
  c.Feed(a.data(), 10, false);
  EXPECT_FALSE(c.synchronised());
  c.Feed(a.data() + 10, 50, false);
  EXPECT_TRUE(c.synchronised());
  EXPECT_EQ(c.position(), 837u);
  EXPECT_EQ(c.stats().verified, 60u);
  c.Feed(a.data(), 5, true);
  c.Finish();
  EXPECT_EQ(c.stats().unsynced, 5u);
}

}  // namespace
}  // namespace ovts::tools
