#include "tools/common/TsGenerator.h"

#include <cstring>

namespace ovts::tools {

namespace {
constexpr uint8_t kStreamTypePrivatePes = 0x06;
constexpr uint8_t kStreamIdPrivate1 = 0xBD;
constexpr size_t kPcrFieldBytes = 8;      // adaptation length, flags, 6 PCR bytes
constexpr size_t kPesHeaderBytes = 14;    // start code, id, length, flags, PTS
constexpr size_t kNumberBytes = 8;        // the packet number at the start of the payload
}  // namespace

uint32_t Mpeg2Crc32(const uint8_t* data, size_t length) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < length; ++i) {
    crc ^= static_cast<uint32_t>(data[i]) << 24;
    for (int b = 0; b < 8; ++b) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
  }
  return crc;
}

uint64_t TsGenerator::PcrOf(uint64_t packet, uint32_t bitRate) {
  // 27 MHz clock: packet * 188 * 8 bits at bitRate bits per second.
  return packet * kTsPacketSize * 8 * 27000000ull / (bitRate ? bitRate : 1);
}

TsGenerator::TsGenerator(const TsStreamLayout& layout) : layout_(layout), bitRate_(layout.bitRate) {
  uint64_t pesBits = uint64_t{kPacketsPerPes} * kTsPacketSize * 8;
  uint64_t per100ms = layout_.bitRate / 10 / (pesBits ? pesBits : 1);
  pesPerPsi_ = per100ms > 0 ? static_cast<uint32_t>(per100ms) : 1;
}

void TsGenerator::SetBitRate(uint32_t bitRate) {
  clockBase_ = NextPcr();
  clockPacket_ = packets_;
  bitRate_ = bitRate;
}

void TsGenerator::SetClock(uint64_t pcr, bool discontinuity) {
  clockBase_ = pcr % kPcrWrap;
  clockPacket_ = packets_;
  markDiscontinuity_ = discontinuity;
}

uint64_t TsGenerator::NextPcr() const {
  return (clockBase_ + PcrOf(packets_ - clockPacket_, bitRate_)) % kPcrWrap;
}

void TsGenerator::Next(uint8_t* dest, size_t count) {
  for (size_t i = 0; i < count; ++i, dest += kTsPacketSize, ++packets_) {
    if (pesIndex_ == 0 && psiPending_ == 0 && pesSincePsi_ >= pesPerPsi_) {
      psiPending_ = 2;
      pesSincePsi_ = 0;
    }
    if (pesIndex_ == 0 && psiPending_ == 2) {
      WritePat(dest);
      --psiPending_;
    } else if (pesIndex_ == 0 && psiPending_ == 1) {
      WritePmt(dest);
      --psiPending_;
    } else {
      WriteElementary(dest);
    }
  }
}

void TsGenerator::WritePsi(uint8_t* p, uint16_t pid, const uint8_t* section, size_t sectionLength) {
  uint8_t& cc = cc_[pid == 0 ? 0 : 1];
  p[0] = 0x47;
  p[1] = static_cast<uint8_t>(0x40 | (pid >> 8));  // payload unit start
  p[2] = static_cast<uint8_t>(pid);
  p[3] = static_cast<uint8_t>(0x10 | cc);  // payload only
  cc = (cc + 1) & 0x0F;
  p[4] = 0;  // pointer field
  std::memcpy(p + 5, section, sectionLength);
  std::memset(p + 5 + sectionLength, 0xFF, kTsPacketSize - 5 - sectionLength);
}

void TsGenerator::WritePat(uint8_t* p) {
  uint8_t s[16];
  size_t n = 0;
  s[n++] = 0x00;  // table id: program association
  s[n++] = 0xB0;  // section syntax, length follows
  s[n++] = 13;    // 5 header bytes + one program (4) + CRC (4)
  s[n++] = 0x00;
  s[n++] = 0x01;  // transport stream id 1
  s[n++] = 0xC1;  // version 0, current
  s[n++] = 0x00;
  s[n++] = 0x00;
  s[n++] = static_cast<uint8_t>(layout_.programNumber >> 8);
  s[n++] = static_cast<uint8_t>(layout_.programNumber);
  s[n++] = static_cast<uint8_t>(0xE0 | (layout_.pmtPid >> 8));
  s[n++] = static_cast<uint8_t>(layout_.pmtPid);
  uint32_t crc = Mpeg2Crc32(s, n);
  for (int i = 3; i >= 0; --i) s[n++] = static_cast<uint8_t>(crc >> (8 * i));
  WritePsi(p, 0, s, n);
}

void TsGenerator::WritePmt(uint8_t* p) {
  uint8_t s[32];
  size_t n = 0;
  s[n++] = 0x02;  // table id: program map
  s[n++] = 0xB0;
  s[n++] = 18;  // 9 header bytes + one stream (5) + CRC (4)
  s[n++] = static_cast<uint8_t>(layout_.programNumber >> 8);
  s[n++] = static_cast<uint8_t>(layout_.programNumber);
  s[n++] = 0xC1;
  s[n++] = 0x00;
  s[n++] = 0x00;
  s[n++] = static_cast<uint8_t>(0xE0 | (layout_.esPid >> 8));  // PCR PID
  s[n++] = static_cast<uint8_t>(layout_.esPid);
  s[n++] = 0xF0;  // no program descriptors
  s[n++] = 0x00;
  s[n++] = kStreamTypePrivatePes;
  s[n++] = static_cast<uint8_t>(0xE0 | (layout_.esPid >> 8));
  s[n++] = static_cast<uint8_t>(layout_.esPid);
  s[n++] = 0xF0;
  s[n++] = 0x00;
  uint32_t crc = Mpeg2Crc32(s, n);
  for (int i = 3; i >= 0; --i) s[n++] = static_cast<uint8_t>(crc >> (8 * i));
  WritePsi(p, layout_.pmtPid, s, n);
}

void TsGenerator::WriteElementary(uint8_t* p) {
  const bool start = pesIndex_ == 0;
  p[0] = 0x47;
  p[1] = static_cast<uint8_t>((start ? 0x40 : 0x00) | (layout_.esPid >> 8));
  p[2] = static_cast<uint8_t>(layout_.esPid);
  p[3] = static_cast<uint8_t>((start ? 0x30 : 0x10) | cc_[2]);
  cc_[2] = (cc_[2] + 1) & 0x0F;
  size_t at = 4;
  if (start) {
    // Adaptation field with the PCR: 33-bit base at 90 kHz, 6 reserved bits, 9-bit extension.
    // A PES packet between PCRs has the same field, stuffed.
    uint64_t pcr = NextPcr();
    uint64_t base = pcr / 300, ext = pcr % 300;
    const bool withPcr = pesSincePcr_ == 0;
    pesSincePcr_ = (pesSincePcr_ + 1) % (layout_.pcrEveryPes ? layout_.pcrEveryPes : 1);
    p[at++] = 7;
    if (withPcr) {
      p[at++] = static_cast<uint8_t>(0x10 | (markDiscontinuity_ ? 0x80 : 0));
      markDiscontinuity_ = false;
      p[at++] = static_cast<uint8_t>(base >> 25);
      p[at++] = static_cast<uint8_t>(base >> 17);
      p[at++] = static_cast<uint8_t>(base >> 9);
      p[at++] = static_cast<uint8_t>(base >> 1);
      p[at++] = static_cast<uint8_t>(((base & 1) << 7) | 0x7E | (ext >> 8));
      p[at++] = static_cast<uint8_t>(ext);
    } else {
      p[at++] = 0x00;
      std::memset(p + at, 0xFF, kPcrFieldBytes - 2);
      at += kPcrFieldBytes - 2;
    }
    // PES header: private stream 1, a length covering this PES packet's payload, a PTS.
    size_t pesPayload = (kTsPacketSize - 4 - kPcrFieldBytes - kPesHeaderBytes) +
                        (kPacketsPerPes - 1) * (kTsPacketSize - 4);
    size_t pesLength = pesPayload + 8;  // the bytes after the length field: flags (3) + PTS (5)
    uint64_t pts = base;
    p[at++] = 0x00;
    p[at++] = 0x00;
    p[at++] = 0x01;
    p[at++] = kStreamIdPrivate1;
    p[at++] = static_cast<uint8_t>(pesLength >> 8);
    p[at++] = static_cast<uint8_t>(pesLength);
    p[at++] = 0x80;  // marker bits
    p[at++] = 0x80;  // PTS only
    p[at++] = 5;
    p[at++] = static_cast<uint8_t>(0x21 | ((pts >> 29) & 0x0E));
    p[at++] = static_cast<uint8_t>(pts >> 22);
    p[at++] = static_cast<uint8_t>(0x01 | ((pts >> 14) & 0xFE));
    p[at++] = static_cast<uint8_t>(pts >> 7);
    p[at++] = static_cast<uint8_t>(0x01 | ((pts << 1) & 0xFE));
  }
  for (size_t i = 0; i < kNumberBytes; ++i) p[at++] = static_cast<uint8_t>(packets_ >> (8 * i));
  for (size_t j = 0; at < kTsPacketSize; ++j) p[at++] = PayloadByte(packets_, j);
  pesIndex_ = (pesIndex_ + 1) % kPacketsPerPes;
  if (pesIndex_ == 0) ++pesSincePsi_;
}

}  // namespace ovts::tools
