// A live source fed by standard input: its one output pin pushes the bytes that arrive on
// standard input downstream as they come (MEDIATYPE_Stream with a null subtype: the bytes pass
// unlooked-at). The end of the input ends the stream.
//
// A read from a pipe cannot be interrupted on this platform (a Unix pipe can be neither peeked
// nor cancelled), so a reader thread of its own does the blocking reads into a bounded queue,
// and the streaming thread takes from the queue with short waits: a stop or pause reaches it at
// once even while the writer is silent. The reader thread is detached and shares the queue, so
// it may outlive the filter; it ends with the input or the process.
//
// Threads: the reader thread reads; the pin's streaming thread takes and delivers; the host
// reads the counters from any thread.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "tools/common/LiveSource.h"

namespace ovts::tshift {

// The queue between the reader thread and the streaming thread.
class StdinQueue {
 public:
  // Starts the detached reader thread on input; false when it cannot start.
  static bool Start(HANDLE input, std::shared_ptr<StdinQueue>* queue);

  // Streaming thread: copies up to capacity queued bytes, waiting at most waitMs for some.
  size_t Take(uint8_t* dest, size_t capacity, uint32_t waitMs);
  // True once the input has ended and every byte was taken.
  bool Drained();
  DWORD ReadError();

 private:
  void ReadAll(HANDLE input);

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::vector<uint8_t>> chunks_;  // mutex_
  size_t front_ = 0;                         // mutex_; bytes of the front chunk already taken
  size_t queued_ = 0;                        // mutex_; bytes not yet taken
  bool ended_ = false;                       // mutex_
  DWORD error_ = 0;                          // mutex_
};

class CStdinStream final : public tools::CLiveStream {
 public:
  CStdinStream(HRESULT* result, CSource* filter, std::shared_ptr<StdinQueue> queue);

  // True once the input has ended (or failed; then ReadError is not 0) and all of it was sent.
  bool Ended() const { return queue_->Drained(); }
  DWORD ReadError() const { return queue_->ReadError(); }

 private:
  // Waits for bytes; an empty sample goes back to the loop, which takes the command waiting.
  HRESULT Produce(uint8_t* data, size_t capacity, uint64_t position, size_t* length) override;

  const std::shared_ptr<StdinQueue> queue_;
};

class CStdinSource final : public tools::CLiveSource<CStdinStream> {
 public:
  // A new source on standard input with one reference; its reader thread starts at once.
  static HRESULT Create(HANDLE input, CStdinSource** source);

 private:
  friend class tools::CLiveSource<CStdinStream>;
  CStdinSource() noexcept;
};

}  // namespace ovts::tshift
