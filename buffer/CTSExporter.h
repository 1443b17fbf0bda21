// Saves a stretch of the recorded stream into a file while recording and playback go on. A
// thread of its own reads the buffer file through a handle of its own (CCircFileBuf::ReadStream)
// from a start position to an end position, or follows the live edge until stopped, waiting on
// the buffer's stored-bytes event for bytes still in the write cache. A transport stream is
// saved as whole packets only, each starting with its sync byte: the file starts and ends on
// packet boundaries, and bytes around a gap that break the packet step are left out.
//
// The export ends on its own at its end position (TSEXPORT_DONE), when the writer overwrites
// bytes it has not read yet (TSEXPORT_FAILED, OVTS_E_OVERTAKEN), when the stream is flushed or the
// buffer stops (OVTS_E_STREAM_RESET; a live-following export is then simply done), or when the
// file refuses data. Whatever it wrote before stays in the file.
//
// Threads: control threads (Start, Stop, Cancel, Join, Progress) and the export thread, which
// this class starts and ends.
//
// Lock order: lock_ -> the buffer's locks. lock_ serializes the control calls and is held while
// they wait for the export thread to end; the export thread never takes it, and takes only the
// buffer's state lock, briefly, inside ReadStream. The thread publishes its progress in atomics,
// its state last.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "OVTimeShiftTypes.h"
#include "buffer/CCircFileBuf.h"
#include "platform/Platform.h"
#include "util/COVStringT.h"

namespace ovts {

class CTSExporter {
 public:
  // Bytes the thread reads at a time: whole transport packets.
  static constexpr uint32_t kChunk = 188 * 1024;
  // An end that follows the live edge until Stop.
  static constexpr double kFollowLive = -1.0;

  explicit CTSExporter(CCircFileBuf& buffer) : buffer_(buffer) {}
  ~CTSExporter() { Stop(); }
  CTSExporter(const CTSExporter&) = delete;
  CTSExporter& operator=(const CTSExporter&) = delete;

  // Starts saving from `startBehindLive` to `endBehindLive` seconds behind the newest byte
  // received (kFollowLive: until Stop) into a new file at `path`, replacing one there. The range
  // is clamped to what the buffer retains. HRESULT_FROM_WIN32(ERROR_BUSY) while an export runs;
  // E_INVALIDARG for seconds that are negative or not finite, or an end not later than the start;
  // E_PENDING while the stream cannot be timed; E_FAIL while the buffer is closed; the system's
  // failure to create the file.
  HRESULT Start(const char* path, double startBehindLive, double endBehindLive);
  // Ends the export where it is and waits for its thread: S_FALSE when none ran.
  HRESULT Stop();
  // Stop, then the file goes: S_FALSE (and the file stays) when none ran.
  HRESULT Cancel();
  // Waits for a thread that ends by itself (the buffer stopped or was flushed).
  void Join();
  TSExportProgress Progress() const;

 private:
  static uint32_t ThreadMain(void* self);
  uint32_t Run();
  // The export's end: the file closed (deleted when cancelled), the outcome published.
  void Finish(TSExportState state, HRESULT result);
  // Saves what `data` holds from stream position pos_: whole packets in a transport stream.
  // Returns the bytes of the stream it is done with (0: it waits for more), or a failure.
  HRESULT Save(uint8_t* data, uint32_t length, bool atEnd, uint32_t* consumed);
  HRESULT Append(const uint8_t* data, uint32_t length);
  // Ends the thread, cancelled or not.
  HRESULT EndThread(bool cancel) REQUIRES(lock_);

  enum class Kind { kUnknown, kTransport, kOther };

  CCircFileBuf& buffer_;
  port::RecursiveLock lock_{port::LockRank::kExporter, "exporter"};
  port::Thread thread_ GUARDED_BY(lock_);
  port::Event stopWake_{port::Event::Mode::kManualReset};  // set to end the thread
  std::atomic<bool> cancel_{false};                        // atomic; read by the thread at its end
  // Set by Start before the thread starts, then the thread's alone.
  COVStringT path_;
  port::File reader_;
  port::File file_;
  uint32_t epoch_ = 0;
  int64_t pos_ = 0;
  int64_t end_ = 0;
  bool follow_ = false;
  Kind kind_ = Kind::kUnknown;
  // Progress: written by Start and the thread.
  std::atomic<uint32_t> state_{TSEXPORT_NONE};  // atomic; written last
  std::atomic<int32_t> result_{0};               // atomic
  std::atomic<uint64_t> bytes_{0};               // atomic
  std::atomic<double> seconds_{0};               // atomic
};

}  // namespace ovts
