#include "tools/tshift/DeliveryCheck.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "tools/tshift/StatusFigures.h"

namespace ovts::tshift {

const char* ControlName(Control control) {
  switch (control) {
    case Control::kStart: return "start";
    case Control::kPause: return "pause";
    case Control::kResume: return "resume";
    case Control::kSeek: return "seek";
    case Control::kLive: return "jump to live";
    case Control::kFlush: return "flush";
  }
  return "?";
}

DeliveryCheck::DeliveryCheck(const tools::TsStreamLayout& layout, int64_t writeCacheBytes, int64_t readCacheBytes)
    : writeCacheBytes_(writeCacheBytes), readCacheBytes_(readCacheBytes), checker_(layout) {}

void DeliveryCheck::OnControl(Control control, int64_t recorded) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (control == Control::kPause) {
      paused_ = true;
      samplesWhilePaused_ = 0;
      return;
    }
    if (control == Control::kResume) {
      paused_ = false;
      // One sample may have been on its way when the pause came.
      if (samplesWhilePaused_ > 1)
        Fault(std::to_string(samplesWhilePaused_) + " samples delivered while paused");
    }
    Mark mark{control};
    mark.recorded = recorded;
    pending_.push_back(mark);
  }
  changed_.notify_all();
}

void DeliveryCheck::OnSample(const uint8_t* data, size_t length, bool discontinuity) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (paused_) ++samplesWhilePaused_;
    const int64_t before = checker_.NextPosition();
    checker_.Feed(data, length, discontinuity);
    ++summary_.samples;
    summary_.bytes += length;
    if (discontinuity) {
      const int64_t after = checker_.NextPosition();
      const int64_t to = after >= 0 ? after - static_cast<int64_t>(length) : -1;
      if (pending_.empty()) {
        Fault("unexpected mark at stream byte " + std::to_string(to));
      } else {
        Mark mark = pending_.front();
        pending_.pop_front();
        mark.from = before;
        mark.to = to;
        JudgeMark(mark);
        if (!mark.fault.empty()) Fault(std::string(ControlName(mark.control)) + ": " + mark.fault);
        summary_.marks.push_back(std::move(mark));
      }
    }
  }
  changed_.notify_all();
}

void DeliveryCheck::JudgeMark(Mark& mark) const {
  if (mark.to < 0) {
    mark.fault = "the marked sample could not be placed in the stream";
    return;
  }
  const int64_t jump = mark.to - mark.from;
  switch (mark.control) {
    case Control::kStart:
      if (mark.to != 0) mark.fault = "delivery began at stream byte " + std::to_string(mark.to) + ", not at the first one";
      break;
    case Control::kResume:
      if (mark.from < 0 || jump < 0 || jump > readCacheBytes_)
        mark.fault = "resumed " + FormatSignedBytes(jump) + " from the pause point; at most the read cache (" +
                     FormatBytes(readCacheBytes_) + ") may be skipped";
      break;
    case Control::kSeek:
      if (mark.to > mark.recorded) mark.fault = "landed past the recorded data";
      break;
    case Control::kLive:
      if (mark.recorded - mark.to > writeCacheBytes_ + readCacheBytes_)
        mark.fault = "landed " + FormatBytes(mark.recorded - mark.to) + " behind the newest recorded byte; the caches hold " +
                     FormatBytes(writeCacheBytes_ + readCacheBytes_);
      break;
    case Control::kFlush:
      if (mark.to < mark.recorded)
        mark.fault = "delivered " + FormatBytes(mark.recorded - mark.to) + " recorded before the flush";
      break;
    case Control::kPause:
      break;
  }
}

void DeliveryCheck::Fault(std::string text) { summary_.faults.push_back(std::move(text)); }

bool DeliveryCheck::WaitForMarks(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> guard(mutex_);
  return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return pending_.empty(); });
}

bool DeliveryCheck::WaitForDelivery(uint64_t bytes, uint32_t timeoutMs) {
  std::unique_lock<std::mutex> guard(mutex_);
  const uint64_t target = summary_.bytes + bytes;
  return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return summary_.bytes >= target; });
}

int64_t DeliveryCheck::DeliveredPosition() {
  std::lock_guard<std::mutex> guard(mutex_);
  return checker_.NextPosition();
}

uint64_t DeliveryCheck::DeliveredBytes() {
  std::lock_guard<std::mutex> guard(mutex_);
  return summary_.bytes;
}

DeliveryCheck::Summary DeliveryCheck::Finish() {
  std::lock_guard<std::mutex> guard(mutex_);
  for (const Mark& mark : pending_) Fault(std::string("no mark after ") + ControlName(mark.control));
  pending_.clear();
  const tools::TsChecker::Stats& s = checker_.stats();
  if (!checker_.Clean())
    Fault("stream damaged between marks: " + std::to_string(s.lostPackets) + " packets lost, " +
          std::to_string(s.repeatedPackets) + " repeated, " + std::to_string(s.ccErrors) + " continuity errors, " +
          std::to_string(s.corruptPackets) + " corrupt");
  if (summary_.bytes == 0) Fault("nothing was delivered");
  summary_.stream = s;
  return summary_;
}

ExportCheck::Verdict ExportCheck::Judge(const uint8_t* data, size_t length) const {
  constexpr size_t kPacket = tools::kTsPacketSize;
  // Enough packets to hold an elementary one whatever the cut: it places the stream.
  constexpr size_t kPlacingPackets = 2 * tools::TsGenerator::kPacketsPerPes;
  Verdict v;
  v.packets = length / kPacket;
  v.seconds = static_cast<double>(length) * 8.0 / layout.bitRate;
  if (length == 0) {
    v.faults.push_back("the file is empty");
    return v;
  }
  if (length % kPacket)
    v.faults.push_back(std::to_string(length) + " bytes are no whole packets: " + std::to_string(length % kPacket) +
                       " bytes over");
  if (data[0] != 0x47) v.faults.push_back("the file does not start with a sync byte");

  tools::TsChecker placer(layout);
  const size_t placing = std::min(length - length % kPacket, kPlacingPackets * kPacket);
  placer.Feed(data, placing, true);
  if (placer.stats().skippedBytes || placer.NextPosition() < 0) {
    v.faults.push_back("the file does not start on a packet of the source's stream");
    return v;
  }
  v.first = placer.NextPosition() - static_cast<int64_t>(placing);

  // Byte for byte against the source's stream, regenerated from its start.
  tools::TsGenerator source(layout);
  std::vector<uint8_t> packets(kPlacingPackets * kPacket);
  for (uint64_t skip = static_cast<uint64_t>(v.first) / kPacket; skip > 0;) {
    const uint64_t n = std::min<uint64_t>(skip, kPlacingPackets);
    source.Next(packets.data(), n);
    skip -= n;
  }
  uint64_t differing = 0;
  int64_t firstDiffering = -1;
  for (uint64_t at = 0; at < v.packets;) {
    const uint64_t n = std::min<uint64_t>(v.packets - at, kPlacingPackets);
    source.Next(packets.data(), n);
    for (uint64_t i = 0; i < n; ++i, ++at) {
      if (std::memcmp(&packets[i * kPacket], data + at * kPacket, kPacket) == 0) continue;
      if (differing++ == 0) firstDiffering = static_cast<int64_t>(at * kPacket);
    }
  }
  if (differing)
    v.faults.push_back(std::to_string(differing) + " of " + std::to_string(v.packets) +
                       " packets differ from what the source sent, the first at file byte " +
                       std::to_string(firstDiffering));

  // The last `seconds` at the time of asking: it ends at the live edge the filter saw then.
  const int64_t end = v.first + static_cast<int64_t>(length);
  const int64_t slack = static_cast<int64_t>(layout.bitRate / 8);  // a second of the stream
  if (end > recordedAfter) v.faults.push_back("the file holds bytes the source had not sent");
  if (end < recordedBefore - writeCacheBytes - slack)
    v.faults.push_back("the file ends " + FormatBytes(recordedBefore - end) + " before the live edge it was asked at");
  if (v.seconds < seconds - 1.0 || v.seconds > seconds + 1.0)
    v.faults.push_back("the file lasts " + FormatSeconds(v.seconds) + ", not " + FormatSeconds(seconds));
  return v;
}

}  // namespace ovts::tshift
