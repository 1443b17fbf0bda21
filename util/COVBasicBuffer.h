// Heap storage for the maker's string class: zero-filled, grown in blocks, released only by the
// destructor. Used by one thread at a time.
#pragma once

#include <cstddef>
#include <new>

#include "platform/Platform.h"

namespace ovts {

template <typename T, size_t kMinimum, size_t kBlock>
class COVBasicBuffer {
 public:
  COVBasicBuffer() = default;
  virtual ~COVBasicBuffer() { ReleaseStorage(); }
  COVBasicBuffer(const COVBasicBuffer&) = delete;
  COVBasicBuffer& operator=(const COVBasicBuffer&) = delete;

  // Makes room for at least n elements. E_OUTOFMEMORY when the first allocation fails;
  // a failure to grow existing storage throws std::bad_alloc and keeps the old block.
  HRESULT Reserve(size_t n) {
    if (capacity_ >= n) return S_OK;
    size_t size = n < kMinimum ? kMinimum : n;
    size = (size + kBlock - 1) / kBlock * kBlock;
    if (storage_) {
      void* grown = port::HeapGrow(storage_, capacity_ * sizeof(T), size * sizeof(T));
      if (!grown) throw std::bad_alloc();
      storage_ = static_cast<T*>(grown);
    } else {
      storage_ = static_cast<T*>(port::HeapAllocZero(size * sizeof(T)));
      if (!storage_) return E_OUTOFMEMORY;
    }
    capacity_ = size;
    return S_OK;
  }

  size_t capacity() const { return capacity_; }

 protected:
  void ReleaseStorage() {
    port::HeapRelease(storage_);
    storage_ = nullptr;
    capacity_ = 0;
    counter_ = 0;
  }

  T* storage_ = nullptr;
  size_t capacity_ = 0;
  size_t counter_ = 0;  // kept for the record layout; the string classes leave it at 0
};

}  // namespace ovts
