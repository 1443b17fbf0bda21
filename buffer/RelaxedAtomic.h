// A value that other threads read without a lock. Writers still serialise on the lock named where
// the field is declared; the atomic only makes the unlocked reads well defined.
#pragma once

#include <atomic>

namespace ovts {

template <typename T>
class RelaxedAtomic {
 public:
  constexpr RelaxedAtomic(T value = T()) : value_(value) {}  // NOLINT: stands in for a plain field
  RelaxedAtomic(const RelaxedAtomic&) = delete;
  RelaxedAtomic& operator=(const RelaxedAtomic&) = delete;

  operator T() const { return value_.load(std::memory_order_relaxed); }  // NOLINT
  RelaxedAtomic& operator=(T value) {
    value_.store(value, std::memory_order_relaxed);
    return *this;
  }

 private:
  std::atomic<T> value_;
};

}  // namespace ovts
