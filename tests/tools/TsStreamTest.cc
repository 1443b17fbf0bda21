// The transport stream made up by the test sources and the checker that judges what comes out
// of the filter: a checker that misses a lost or damaged packet would let a buffer fault through.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tools/common/TsChecker.h"
#include "tools/common/TsGenerator.h"

namespace ovts::tools {
namespace {

std::vector<uint8_t> Stream(size_t packets, TsStreamLayout layout = TsStreamLayout()) {
  TsGenerator gen(layout);
  std::vector<uint8_t> v(packets * kTsPacketSize);
  gen.Next(v.data(), packets);
  return v;
}

// Catches: a wrong section CRC (players would drop our PAT and PMT).
TEST(TsStream, SectionCrcAndTables) {
  const char* check = "123456789";
  EXPECT_EQ(Mpeg2Crc32(reinterpret_cast<const uint8_t*>(check), 9), 0x0376E6E7u);
  auto s = Stream(2);
  EXPECT_EQ(s[0], 0x47);
  EXPECT_EQ(s[1] & 0x1F, 0) << "PAT first";
  // A section followed by its CRC checks to zero.
  EXPECT_EQ(Mpeg2Crc32(&s[5], 3 + 13), 0u);
  const uint8_t* pmt = &s[kTsPacketSize];
  EXPECT_EQ(((pmt[1] & 0x1F) << 8) | pmt[2], 0x1000);
  EXPECT_EQ(Mpeg2Crc32(pmt + 5, 3 + 18), 0u);
}

// Catches: the checker flagging an intact stream fed in odd pieces, or PSI that stops repeating.
TEST(TsStream, IntactStreamInOddPiecesIsClean) {
  auto s = Stream(20000);
  TsChecker c;
  size_t at = 0, step = 1;
  while (at < s.size()) {
    size_t n = std::min(step, s.size() - at);
    c.Feed(&s[at], n, false);
    at += n;
    step = step * 7 % 5003 + 1;
  }
  EXPECT_TRUE(c.Clean());
  EXPECT_EQ(c.stats().packets, 20000u);
  EXPECT_EQ(c.lastPacketNumber(), 19999);
  int pats = 0;
  for (size_t p = 0; p < 20000; ++p) pats += (s[p * kTsPacketSize + 1] & 0x1F) == 0 && s[p * kTsPacketSize + 2] == 0;
  // 20000 packets at 8 Mbit/s last 3.76 s: a PAT about every 100 ms.
  EXPECT_GE(pats, 35);
  EXPECT_LE(pats, 45);
}

// Catches: bytes lost without a discontinuity mark passing as clean.
TEST(TsStream, UnflaggedLossIsCaught) {
  auto s = Stream(500);
  TsChecker c;
  c.Feed(s.data(), 100 * kTsPacketSize, false);
  c.Feed(&s[150 * kTsPacketSize], 350 * kTsPacketSize, false);
  EXPECT_FALSE(c.Clean());
  EXPECT_GT(c.stats().lostPackets + c.stats().ccErrors, 0u);
}

// Catches: a flagged jump to an unaligned position counted as damage, or its size miscounted.
TEST(TsStream, FlaggedJumpResynchronises) {
  auto s = Stream(2000);
  TsChecker c;
  c.Feed(s.data(), 100 * kTsPacketSize, false);
  c.Feed(&s[700 * kTsPacketSize + 57], 500 * kTsPacketSize, true);  // forward, mid-packet
  c.Feed(&s[1200 * kTsPacketSize + 57], 100 * kTsPacketSize, false);
  c.Feed(&s[300 * kTsPacketSize + 5], 300 * kTsPacketSize, true);  // backward
  EXPECT_TRUE(c.Clean());
  EXPECT_EQ(c.stats().reportedJumps, 2u);
  EXPECT_EQ(c.stats().discontinuities, 2u);
  EXPECT_GT(c.stats().packetsSkipped, 550u);
  EXPECT_GT(c.stats().packetsRewound, 850u);
}

// Catches: a damaged payload byte or PCR going unnoticed.
TEST(TsStream, DamageIsCaught) {
  auto s = Stream(100);
  s[10 * kTsPacketSize + 100] ^= 0x10;
  TsChecker c;
  c.Feed(s.data(), s.size(), false);
  EXPECT_EQ(c.stats().corruptPackets, 1u);
  EXPECT_FALSE(c.Clean());
}

}  // namespace
}  // namespace ovts::tools
