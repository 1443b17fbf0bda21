#include "tools/tshift/DeliveryCheck.h"

#include <chrono>

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

}  // namespace ovts::tshift
