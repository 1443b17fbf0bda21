// The ring buffer whose store is one block of memory. A writer and a reader copy into and out of
// the store at the same time: each reserves a contiguous piece under the state lock, copies it
// holding only its own side's lock, and settles it under the state lock again.
// In the filter it serves as the file buffer's "Write Cache" and "Read cache".
//
// The file buffer's workers move bytes between a cache and the disk without a copy of their own:
// the store lends them its memory (up to two pieces, the second continuing at the store's start)
// and no lock is held while they use it. A lent piece of unread bytes stays unread, so the writer
// leaves it alone; a lent piece of room is not seen by the reader until it is given back. Reset
// makes a lease stale (giving it back changes nothing) and moves the stream to fresh memory while
// unread bytes are lent; Close keeps lent memory until it comes back.
//
// Threads: one writer thread calls Write (or lends room) and one reader thread calls Read (or
// lends unread bytes); for the caches: the input streaming thread and the write worker, or the
// read worker and the output streaming thread. Any thread may call the other operations. Locks as
// in CCircBufBase.
#pragma once

#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

#include "buffer/CCircBufBase.h"
#include "buffer/TSInstrumentationRecord.h"

namespace ovts {

class CCircMemBuf : public CCircBufBase {
 public:
  static constexpr int64_t kDefaultSize = 524288;

  // Bytes of the store lent to its reader or its writer.
  struct Lease {
    uint8_t* at[2] = {nullptr, nullptr};
    uint32_t length[2] = {0, 0};
    bool atGap = false;       // unread bytes: they follow a gap, or the reader was moved
    uint64_t generation = 0;  // the store's, when lent
    uint32_t total() const { return length[0] + length[1]; }
  };

  explicit CCircMemBuf(const char* name = nullptr);
  ~CCircMemBuf() override;

  // Stores at most two pieces, each at most half the store and neither crossing its end;
  // `written` tells how much was taken. Overwrites the oldest bytes when the store is full.
  HRESULT Write(const void* data, uint32_t length, uint32_t* written) override;
  // Reads nothing until `length` bytes are unread (or end of stream was set), and never across
  // the end of the store: a read that would continue at offset 0 stops at the end. Nor across a
  // gap mark: a read stops before it, and the read that starts there reports a discontinuity.
  HRESULT Read(void* dest, uint32_t length, uint32_t* read, bool* discontinuity) override;
  // As Read, but takes whatever is unread now, up to `length` (S_OK with 0 bytes when none).
  HRESULT ReadAvailable(void* dest, uint32_t length, uint32_t* read, bool* discontinuity);
  // Reader: lends up to `length` unread bytes, stopping before a gap mark; S_FALSE (nothing lent)
  // when none wait, E_FAIL when closed. Give every lease back, with the bytes consumed.
  HRESULT LendUnread(uint32_t length, Lease* lease);
  void ReturnUnread(const Lease& lease, uint32_t consumed);
  // Writer: lends `length` bytes of room after the last byte written, never over unread bytes;
  // S_FALSE (nothing lent) when there is less room. Given back all filled or none.
  HRESULT LendRoom(uint32_t length, Lease* lease);
  void ReturnRoom(const Lease& lease, bool filled);
  // Writer side: bytes are missing between what was written so far and what comes next. The
  // reader reports a discontinuity exactly there, however late it gets there.
  void MarkGap();
  // A mark after the last byte written, once every byte has been read: taken away and reported
  // (true), for a writer that continues the stream elsewhere.
  bool TakeTrailingGap();
  HRESULT Reset() override;
  HRESULT Seek(int64_t offset, uint32_t origin, int64_t* newOffset) override;
  HRESULT Close() override;
  HRESULT Open() override;
  uint32_t GetBufferType() override { return kMemoryBuffer; }

  // Stamps of the latest Read and Write; each is touched only by the thread making those calls.
  TSInstrumentationRecord& readRecord() { return readRecord_; }
  TSInstrumentationRecord& writeRecord() { return writeRecord_; }

 private:
  // Releases the store. Caller holds all three locks.
  void CloseLocked() REQUIRES(writeLock_, readLock_, stateLock_);
  // Reserves one piece for writing and returns where it goes, holding writeLock_ until
  // CommitWrite; null (and no lock held) for a length of 0 or a closed store. (The lock is handed
  // from one call to the other, which the analysis cannot follow.)
  uint8_t* GetWritePointer(uint32_t length, uint32_t* piece) NO_THREAD_SAFETY_ANALYSIS;
  void CommitWrite(uint32_t actual) NO_THREAD_SAFETY_ANALYSIS;
  // Reserves one piece for reading, holding readLock_ until CommitRead: S_OK with the piece,
  // S_FALSE when too few bytes are unread, E_FAIL when closed (no lock held for either). With
  // `partial` any unread bytes will do. `atGap` tells that the piece starts right after a gap.
  HRESULT GetReadPointer(uint32_t length, bool partial, uint8_t** piece, uint32_t* pieceLength, bool* atGap)
      NO_THREAD_SAFETY_ANALYSIS;
  HRESULT ReadImpl(void* dest, uint32_t length, bool partial, uint32_t* read, bool* discontinuity);
  void CommitRead(uint32_t actual) NO_THREAD_SAFETY_ANALYSIS;
  // The writer's positions move past `length` bytes it has stored at writePos_ (not past the
  // store's end), overwriting the oldest bytes when the store is full.
  void Advance(int64_t length) REQUIRES(stateLock_);
  // Frees the store, or keeps it until its leases are back.
  void ReleaseStore() REQUIRES(stateLock_);
  // Lends `length` bytes of the store from `from`, in two pieces when they wrap.
  void Lend(int64_t from, uint32_t length, Lease* lease) REQUIRES(stateLock_);
  // A lease came back: memory a Close kept for it goes once no lease is out.
  // True when the lease is of the stream now in the store (no Reset or Close since it was lent).
  bool LeaseBack(const Lease& lease) REQUIRES(stateLock_);
  // Whether a read piece at `position` would run past the end of the store. Caller holds stateLock_.
  bool RunsPastEnd(int64_t position, uint32_t length) const REQUIRES(stateLock_);

  // The pointer; the bytes belong to the holder of a piece.
  uint8_t* store_ GUARDED_BY(stateLock_) = nullptr;
  size_t storeBytes_ GUARDED_BY(stateLock_) = 0;  // length of the block behind store_
  uint32_t pendingRead_ GUARDED_BY(stateLock_) = 0;
  uint32_t pendingWrite_ GUARDED_BY(stateLock_) = 0;
  // Bytes ever reserved for writing less those given back: with unread_ it places the reader on
  // one stream-long axis (its position is writeCount_ - unread_), on which gaps_ are marked.
  int64_t writeCount_ GUARDED_BY(stateLock_) = 0;
  std::deque<int64_t> gaps_ GUARDED_BY(stateLock_);  // ascending positions of gap marks
  uint64_t generation_ GUARDED_BY(stateLock_) = 1;  // moved by Reset and Close: leases go stale
  uint32_t lentUnread_ GUARDED_BY(stateLock_) = 0;   // unread bytes lent to the reader
  int leasesOut_ GUARDED_BY(stateLock_) = 0;
  // Stores closed while lent: freed when the last lease is back.
  std::vector<std::pair<uint8_t*, size_t>> retired_ GUARDED_BY(stateLock_);
  TSInstrumentationRecord readRecord_;   // the reading thread
  TSInstrumentationRecord writeRecord_;  // the writing thread
};

}  // namespace ovts
