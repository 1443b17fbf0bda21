// A live MPEG transport stream made up on the spot: PAT and PMT about every 100 ms, one program
// whose elementary PID carries PES packets of private data and the PCR. Every elementary packet
// carries its own packet number and bytes derived from it, so a TsChecker downstream can tell
// lost, repeated and damaged packets apart. The clock may change its rate or jump on the way
// (a variable-rate stream, a splice); a TsChecker knows only the steady clock from zero.
// Portable; used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ovts::tools {

constexpr size_t kTsPacketSize = 188;

struct TsStreamLayout {
  uint32_t bitRate = 8000000;  // bits per second; sets the PCR clock of the packets
  uint16_t programNumber = 1;
  uint16_t pmtPid = 0x1000;
  uint16_t esPid = 0x0100;  // elementary stream and PCR
  uint32_t pcrEveryPes = 1;  // PES packets from one PCR to the next (at least 1)
};

class TsGenerator {
 public:
  // Elementary packets per PES packet; the first carries the PCR.
  static constexpr uint32_t kPacketsPerPes = 16;

  // 27 MHz ticks in the range of a PCR (its 33-bit base times 300).
  static constexpr uint64_t kPcrWrap = (uint64_t{1} << 33) * 300;

  explicit TsGenerator(const TsStreamLayout& layout = TsStreamLayout());

  // Writes `count` whole packets (count * 188 bytes) into dest.
  void Next(uint8_t* dest, size_t count);
  // From the next packet on the clock runs at `bitRate` bits per second.
  void SetBitRate(uint32_t bitRate);
  // The next packet's clock is `pcr` (27 MHz, modulo kPcrWrap): a splice, or a start near the
  // wrap. With `discontinuity` the next PCR packet carries the discontinuity indicator.
  void SetClock(uint64_t pcr, bool discontinuity);
  // The PCR (27 MHz) of the next packet.
  uint64_t NextPcr() const;
  // Packets written so far; the next packet's number.
  uint64_t packets() const { return packets_; }
  const TsStreamLayout& layout() const { return layout_; }

  // The PCR (27 MHz) that packet number n carries at this bit rate.
  static uint64_t PcrOf(uint64_t packet, uint32_t bitRate);
  // Payload byte j of the elementary packet numbered n (after its number and any header).
  static uint8_t PayloadByte(uint64_t packet, size_t j) { return static_cast<uint8_t>(packet * 31 + j * 7 + 1); }

 private:
  void WritePsi(uint8_t* p, uint16_t pid, const uint8_t* section, size_t sectionLength);
  void WritePat(uint8_t* p);
  void WritePmt(uint8_t* p);
  void WriteElementary(uint8_t* p);

  TsStreamLayout layout_;
  uint64_t packets_ = 0;
  uint32_t bitRate_;               // of the clock since clockPacket_
  uint64_t clockBase_ = 0;         // PCR of packet clockPacket_
  uint64_t clockPacket_ = 0;
  bool markDiscontinuity_ = false;  // on the next PCR packet
  uint32_t pesSincePcr_ = 0;       // PES packets since the last one with a PCR
  uint32_t pesIndex_ = 0;          // position of the next elementary packet in its PES packet
  uint32_t pesSincePsi_ = 0;       // PES packets since the last PAT/PMT pair
  uint32_t pesPerPsi_ = 1;         // PES packets between PAT/PMT pairs (about 100 ms)
  int psiPending_ = 2;             // PAT and PMT still to write before the next PES packet
  uint8_t cc_[3] = {0, 0, 0};      // continuity counters: PAT, PMT, elementary
};

// CRC-32 of MPEG-2 sections (polynomial 0x04C11DB7, no reflection).
uint32_t Mpeg2Crc32(const uint8_t* data, size_t length);

}  // namespace ovts::tools
