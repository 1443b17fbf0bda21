#include "tools/common/StreamPattern.h"

#include <bit>
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

// Little-endian 64-bit values, the record's byte order on every host.
uint64_t Load64(const uint8_t* p) {
  uint64_t v = 0;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&v, p, sizeof v);
  } else {
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  }
  return v;
}

void Store64(uint8_t* p, uint64_t v) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(p, &v, sizeof v);
  } else {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
  }
}

void Record(uint64_t base, uint8_t out[kRecord]) {
  Store64(out, base);
  Store64(out + 8, Mix(base));
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
    const uint64_t base = position & ~uint64_t{kRecord - 1};
    const size_t offset = static_cast<size_t>(position - base);
    if (offset == 0 && length >= kRecord) {  // whole records, four at a time so the mixes overlap
      const size_t records = length / kRecord;
      size_t r = 0;
      for (; r + 4 <= records; r += 4) {
        const uint64_t b0 = base + r * kRecord, b1 = b0 + kRecord, b2 = b1 + kRecord, b3 = b2 + kRecord;
        const uint64_t m0 = Mix(b0), m1 = Mix(b1), m2 = Mix(b2), m3 = Mix(b3);
        uint8_t* out = dest + r * kRecord;
        Store64(out, b0);
        Store64(out + 8, m0);
        Store64(out + 16, b1);
        Store64(out + 24, m1);
        Store64(out + 32, b2);
        Store64(out + 40, m2);
        Store64(out + 48, b3);
        Store64(out + 56, m3);
      }
      for (; r < records; ++r) {
        Store64(dest + r * kRecord, base + r * kRecord);
        Store64(dest + r * kRecord + 8, Mix(base + r * kRecord));
      }
      dest += records * kRecord;
      position += records * kRecord;
      length -= records * kRecord;
      continue;
    }
    const size_t n = kRecord - offset < length ? kRecord - offset : length;
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
  size_t i = 0;
  while (i < length) {
    // Whole records that are right, compared a word at a time (in locals: the data may alias).
    if ((position_ & (kRecord - 1)) == 0) {
      uint64_t position = position_;
      const size_t start = i;
      while (length - i >= 4 * kRecord) {  // four records at a time so the mixes overlap
        const uint8_t* in = data + i;
        const uint64_t diff = (Load64(in) ^ position) | (Load64(in + 8) ^ Mix(position)) |
                              (Load64(in + 16) ^ (position + 16)) | (Load64(in + 24) ^ Mix(position + 16)) |
                              (Load64(in + 32) ^ (position + 32)) | (Load64(in + 40) ^ Mix(position + 32)) |
                              (Load64(in + 48) ^ (position + 48)) | (Load64(in + 56) ^ Mix(position + 48));
        if (diff != 0) break;
        i += 4 * kRecord;
        position += 4 * kRecord;
      }
      while (length - i >= kRecord && Load64(data + i) == position && Load64(data + i + 8) == Mix(position)) {
        i += kRecord;
        position += kRecord;
      }
      position_ = position;
      stats_.verified += i - start;
      if (i == length) break;
    }
    const uint64_t base = position_ & ~uint64_t{kRecord - 1};
    if (base != recordBase) {
      Record(base, rec);
      recordBase = base;
    }
    if (data[i] == rec[position_ & (kRecord - 1)]) {
      ++stats_.verified;
      ++i;
      ++position_;
      continue;
    }
    // A wrong byte either starts bytes of another position (a jump nobody reported) or is damage.
    uint64_t first = 0;
    if (FindPosition(data + i, length - i, &first) && first != position_) {
      ++stats_.unreportedJumps;
      Place(first);
      recordBase = ~uint64_t{0};
      continue;
    }
    ++stats_.corrupt;
    ++i;
    ++position_;
  }
}

}  // namespace ovts::tools
