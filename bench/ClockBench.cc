// ovts-clockbench: what the stream clock index costs the input path, beside the copy the buffer
// already makes of every byte. A stream is made up in memory (a transport stream with PCRs at a
// broadcaster's spacing, or bytes without any sync) and goes through in blocks, a ring (the write
// cache, 4 MiB by default) at a time: the copy of those blocks into the ring is timed, and the
// index over the copies just made (the writer feeds it a chunk it has just moved, as fresh), and
// the index over the stream itself, in no cache. Timing a ring at a time keeps the clock's own cost
// out. Prints one line of key=value figures, the medians of the rounds.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#endif

#include "buffer/CTSClockIndex.h"
#include "tools/common/OptionValues.h"
#include "tools/common/TsGenerator.h"

namespace {

using namespace ovts;

constexpr char kUsage[] =
    "usage: ovts-clockbench [options]\n"
    "  --stream ts|other   a transport stream, or bytes without sync (ts)\n"
    "  --rate-mbps R       stream rate in Mbit/s, 10^6 bits (20)\n"
    "  --pcr-ms M          PCR spacing of the transport stream in ms (40)\n"
    "  --block B           bytes per block (65424)\n"
    "  --seconds S         stream length made up in memory (30)\n"
    "  --rounds N          timed rounds of each pass (7)\n"
    "  --ring-kb K         the ring the blocks are copied into, in KB (4096)\n"
    "  --help              this text\n"
    "Prints: stream= rate_mbps= pcr_ms= block_bytes= ring_kb= blocks= memcpy_ns_per_block= index_ns_per_block=\n"
    "cost_pct= cold_index_ns_per_block= cold_cost_pct= entries= source= (medians over the rounds;\n"
    "index_ns_per_block over blocks just copied, cost_pct that over memcpy_ns_per_block; the cold\n"
    "figures over the stream in memory instead; entries and source as the index ends).\n"
    "Exit status: 0, 2 for a bad option.\n";

struct Options {
  bool ts = true;
  double rateMbps = 20;
  double pcrMs = 40;
  uint32_t block = 65424;
  double seconds = 30;
  uint32_t rounds = 7;
  uint32_t ringKB = 4096;
};

std::vector<uint8_t> MakeStream(const Options& o) {
  const double bytesPerSecond = o.rateMbps * 1e6 / 8;
  const auto packets = static_cast<size_t>(o.seconds * bytesPerSecond / tools::kTsPacketSize);
  std::vector<uint8_t> stream(packets * tools::kTsPacketSize);
  if (o.ts) {
    tools::TsStreamLayout layout;
    layout.bitRate = static_cast<uint32_t>(o.rateMbps * 1e6);
    const double pesPerSecond = o.rateMbps * 1e6 / (tools::TsGenerator::kPacketsPerPes * tools::kTsPacketSize * 8);
    layout.pcrEveryPes = std::max(1u, static_cast<uint32_t>(pesPerSecond * o.pcrMs / 1000));
    tools::TsGenerator(layout).Next(stream.data(), packets);
  } else {
    std::mt19937 random(7);
    for (auto& b : stream) b = static_cast<uint8_t>(random());
  }
  return stream;
}

// Waits until every store issued so far has drained.
void DrainStores() {
#if defined(__x86_64__) || defined(_M_X64)
  _mm_mfence();
#else
  std::atomic_thread_fence(std::memory_order_seq_cst);
#endif
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  const std::optional<int> end = tools::ReadOptions(
      argc, argv, "ovts-clockbench", kUsage,
      {{"--stream",
        [&](const char* v) {
          o.ts = std::string(v) == "ts";
          return o.ts || std::string(v) == "other";
        }},
       {"--rate-mbps", [&](const char* v) { return tools::ParseNumber(v, 0.01, &o.rateMbps); }},
       {"--pcr-ms", [&](const char* v) { return tools::ParseNumber(v, 0.1, &o.pcrMs); }},
       {"--block", [&](const char* v) { return tools::ParseUnsigned(v, 1u << 26, &o.block) && o.block > 0; }},
       {"--seconds", [&](const char* v) { return tools::ParseNumber(v, 1, &o.seconds); }},
       {"--rounds", [&](const char* v) { return tools::ParseUnsigned(v, 1000, &o.rounds) && o.rounds > 0; }},
       {"--ring-kb", [&](const char* v) { return tools::ParseUnsigned(v, 1u << 22, &o.ringKB) && o.ringKB > 0; }}},
      2);
  if (end) return *end;
  const std::vector<uint8_t> stream = MakeStream(o);
  const size_t blocks = (stream.size() + o.block - 1) / o.block;
  const double bytesPerSecond = o.rateMbps * 1e6 / 8;
  constexpr int64_t kTicksPerSecond = 1000000;
  const size_t ringBlocks = std::max<size_t>(1, size_t{o.ringKB} * 1024 / o.block);
  std::vector<uint8_t> ring(ringBlocks * o.block);
  CTSClockIndex index(kTicksPerSecond);

  enum class Pass { kCopy, kIndex, kColdIndex };
  // One pass over the stream, a ring of blocks at a time; the time of `timed` in ns per block.
  // Each pass continues the axis and the arrivals of the one before (its clock jumps back, a
  // splice), so start-up work is paid once, in the warm-up.
  int64_t axis = 0;
  auto pass = [&](Pass timed) {
    std::chrono::duration<double, std::nano> took{0};
    for (size_t first = 0; first < stream.size(); first += ringBlocks * o.block) {
      const size_t end = std::min(stream.size(), first + ringBlocks * o.block);
      auto copy = [&] {
        for (size_t at = first; at < end; at += o.block)
          std::memcpy(&ring[at - first], &stream[at], std::min<size_t>(o.block, end - at));
      };
      auto feed = [&](const uint8_t* base) {
        for (size_t at = first; at < end; at += o.block) {
          const size_t n = std::min<size_t>(o.block, end - at);
          const int64_t position = axis + static_cast<int64_t>(at);
          const auto ticks = static_cast<int64_t>(static_cast<double>(position + n) / bytesPerSecond * kTicksPerSecond);
          index.OnBlock(position, base + (at - first), static_cast<uint32_t>(n), ticks);
          index.Forget(position + static_cast<int64_t>(n - stream.size() / 2));  // a ring of half the stream
        }
      };
      if (timed == Pass::kIndex) copy();
      // Each timed part starts once earlier stores have drained and ends once its own have.
      DrainStores();
      const auto start = std::chrono::steady_clock::now();
      if (timed == Pass::kCopy) copy();
      if (timed == Pass::kIndex) feed(ring.data());
      if (timed == Pass::kColdIndex) feed(&stream[first]);
      DrainStores();
      took += std::chrono::steady_clock::now() - start;
    }
    if (timed != Pass::kCopy) axis += static_cast<int64_t>(stream.size());
    return took.count() / static_cast<double>(blocks);
  };

  std::vector<double> copyNs, indexNs, coldNs;
  pass(Pass::kIndex);  // warm-up: pages touched, branch history as in a running stream
  for (uint32_t r = 0; r < o.rounds; ++r) {
    copyNs.push_back(pass(Pass::kCopy));
    indexNs.push_back(pass(Pass::kIndex));
    coldNs.push_back(pass(Pass::kColdIndex));
  }
  const double copy = Median(copyNs), hot = Median(indexNs), cold = Median(coldNs);
  std::printf(
      "stream=%s rate_mbps=%g pcr_ms=%g block_bytes=%u ring_kb=%u blocks=%zu memcpy_ns_per_block=%.0f "
      "index_ns_per_block=%.1f cost_pct=%.3f cold_index_ns_per_block=%.1f cold_cost_pct=%.3f "
      "entries=%zu source=%s\n",
      o.ts ? "ts" : "other", o.rateMbps, o.pcrMs, o.block, o.ringKB, blocks, copy, hot, 100 * hot / copy, cold,
      100 * cold / copy, index.EntryCount(),
      index.Source() == CTSClockIndex::TimeSource::kStreamClock ? "clock" : "rate");
  return 0;
}
