#include "tools/common/TsChecker.h"

namespace ovts::tools {

namespace {
constexpr int kAlignRun = 3;  // sync bytes in a row that prove an alignment
}

void TsChecker::Feed(const uint8_t* data, size_t length, bool discontinuity) {
  stats_.bytes += length;
  if (discontinuity) {
    ++stats_.discontinuities;
    stats_.skippedBytes += pending_.size();
    pending_.clear();
    aligned_ = false;
    renumber_ = true;
    for (int& cc : ccLast_) cc = -1;
  }
  pending_.insert(pending_.end(), data, data + length);
  size_t at = 0;
  for (;;) {
    if (!aligned_) {
      // Drop bytes until kAlignRun sync bytes stand 188 bytes apart.
      size_t need = kTsPacketSize * (kAlignRun - 1) + 1;
      while (at + need <= pending_.size()) {
        bool ok = true;
        for (int k = 0; k < kAlignRun && ok; ++k) ok = pending_[at + k * kTsPacketSize] == 0x47;
        if (ok) break;
        ++at;
        ++stats_.skippedBytes;
      }
      if (at + need > pending_.size()) break;
      aligned_ = true;
    }
    if (at + kTsPacketSize > pending_.size()) break;
    CheckPacket(&pending_[at]);
    at += kTsPacketSize;
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(at));
}

int64_t TsChecker::NextPosition() const {
  if (renumber_ || !aligned_ || lastNumber_ < 0) return -1;
  const uint64_t packets = static_cast<uint64_t>(lastNumber_) + 1 + packetsSinceNumber_;
  return static_cast<int64_t>(packets * kTsPacketSize + pending_.size());
}

void TsChecker::CheckPacket(const uint8_t* p) {
  ++stats_.packets;
  ++packetsSinceNumber_;
  if (p[0] != 0x47) {
    ++stats_.corruptPackets;
    aligned_ = false;  // look for the alignment again
    return;
  }
  const uint16_t pid = static_cast<uint16_t>(((p[1] & 0x1F) << 8) | p[2]);
  const int slot = pid == 0 ? 0 : pid == layout_.pmtPid ? 1 : pid == layout_.esPid ? 2 : -1;
  if (slot < 0) {
    ++stats_.corruptPackets;
    return;
  }
  const int cc = p[3] & 0x0F;
  if (ccLast_[slot] >= 0 && cc != ((ccLast_[slot] + 1) & 0x0F)) ++stats_.ccErrors;
  ccLast_[slot] = cc;
  if (slot != 2) return;

  // Elementary packet: skip the adaptation field and PES header, then the packet number.
  size_t at = 4;
  uint64_t pcr = 0;
  const bool hasField = (p[3] & 0x20) != 0;
  const bool hasPcr = hasField && p[4] >= 7 && (p[5] & 0x10) != 0;
  if (hasPcr) {
    uint64_t base = (uint64_t{p[6]} << 25) | (uint64_t{p[7]} << 17) | (uint64_t{p[8]} << 9) |
                    (uint64_t{p[9]} << 1) | (p[10] >> 7);
    pcr = base * 300 + (((p[10] & 1u) << 8) | p[11]);
  }
  if (hasField) at += 1 + p[4];
  if (p[1] & 0x40) at += 14;  // PES header
  if (at + 8 > kTsPacketSize) {
    ++stats_.corruptPackets;
    return;
  }
  uint64_t number = 0;
  for (int i = 7; i >= 0; --i) number = (number << 8) | p[at + i];
  at += 8;

  if (renumber_) {
    if (lastNumber_ >= 0) {
      int64_t expected = lastNumber_ + static_cast<int64_t>(packetsSinceNumber_);
      if (static_cast<int64_t>(number) != expected) {
        ++stats_.reportedJumps;
        if (static_cast<int64_t>(number) > expected)
          stats_.packetsSkipped += number - expected;
        else
          stats_.packetsRewound += expected - number;
      }
    }
    renumber_ = false;
  } else if (lastNumber_ >= 0) {
    int64_t expected = lastNumber_ + static_cast<int64_t>(packetsSinceNumber_);
    if (static_cast<int64_t>(number) > expected) stats_.lostPackets += number - expected;
    if (static_cast<int64_t>(number) < expected) ++stats_.repeatedPackets;
  }
  lastNumber_ = static_cast<int64_t>(number);
  packetsSinceNumber_ = 0;

  bool intact = !hasPcr || pcr == TsGenerator::PcrOf(number, layout_.bitRate);
  for (size_t j = 0; intact && at < kTsPacketSize; ++j, ++at) intact = p[at] == TsGenerator::PayloadByte(number, j);
  if (!intact) ++stats_.corruptPackets;
}

}  // namespace ovts::tools
