#include "tools/common/StreamPattern.h"

#include <cstring>

namespace ovts::tools {

namespace {

constexpr size_t kRecord = 16;

uint64_t Mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

void Record(uint64_t base, uint8_t out[kRecord]) {
  uint64_t check = Mix(base);
  for (int i = 0; i < 8; ++i) {
    out[i] = static_cast<uint8_t>(base >> (8 * i));
    out[8 + i] = static_cast<uint8_t>(check >> (8 * i));
  }
}

uint64_t Load64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

}  // namespace

uint8_t PatternByte(uint64_t position) {
  uint8_t rec[kRecord];
  Record(position & ~uint64_t{kRecord - 1}, rec);
  return rec[position & (kRecord - 1)];
}

void FillPattern(uint8_t* dest, uint64_t position, size_t length) {
  uint8_t rec[kRecord];
  while (length > 0) {
    uint64_t base = position & ~uint64_t{kRecord - 1};
    size_t offset = static_cast<size_t>(position - base);
    size_t n = kRecord - offset < length ? kRecord - offset : length;
    Record(base, rec);
    std::memcpy(dest, rec + offset, n);
    dest += n;
    position += n;
    length -= n;
  }
}

PatternChecker::PatternChecker(uint64_t start, bool startKnown)
    : position_(start), synced_(startKnown), known_(startKnown) {}

void PatternChecker::Feed(const uint8_t* data, size_t length, bool discontinuity) {
  stats_.bytes += length;
  if (discontinuity) {
    ++stats_.discontinuities;
    stats_.unsynced += pending_.size();
    pending_.clear();
    synced_ = false;
  }
  if (!synced_) {
    pending_.insert(pending_.end(), data, data + length);
    uint64_t first = 0;
    if (!FindPosition(pending_.data(), pending_.size(), &first)) return;
    if (known_ && first != position_) ++stats_.jumps;
    Place(first);
    std::vector<uint8_t> piece;
    piece.swap(pending_);
    Verify(piece.data(), piece.size());
    return;
  }
  // Synchronised and not flagged: a piece that starts elsewhere is a jump nobody reported.
  uint64_t first = 0;
  if (length > 0 && data[0] != PatternByte(position_) && FindPosition(data, length, &first) &&
      first != position_) {
    ++stats_.unreportedJumps;
    Place(first);
  }
  Verify(data, length);
}

void PatternChecker::Finish() {
  stats_.unsynced += pending_.size();
  pending_.clear();
}

bool PatternChecker::FindPosition(const uint8_t* data, size_t length, uint64_t* first) {
  for (size_t k = 0; k < kRecord && k + kRecord <= length; ++k) {
    uint64_t base = Load64(data + k);
    if ((base & (kRecord - 1)) != 0 || base < k || Load64(data + k + 8) != Mix(base)) continue;
    *first = base - k;
    return true;
  }
  return false;
}

void PatternChecker::Place(uint64_t first) {
  if (known_) {
    if (first > position_) stats_.lost += first - position_;
    if (first < position_) stats_.rewound += position_ - first;
  }
  position_ = first;
  synced_ = true;
  known_ = true;
}

void PatternChecker::Verify(const uint8_t* data, size_t length) {
  uint8_t rec[kRecord];
  uint64_t recordBase = ~uint64_t{0};
  for (size_t i = 0; i < length; ++i, ++position_) {
    uint64_t base = position_ & ~uint64_t{kRecord - 1};
    if (base != recordBase) {
      Record(base, rec);
      recordBase = base;
    }
    if (data[i] == rec[position_ & (kRecord - 1)])
      ++stats_.verified;
    else
      ++stats_.corrupt;
  }
}

}  // namespace ovts::tools
