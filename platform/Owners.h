// Owners for what the portable core and the layers above hand around: a platform wide string
// (BSTR), a TSBufferConfig with its two strings, and any clean-up at the end of a scope. Each is
// the project's only one of its kind.
#pragma once

#include <memory>
#include <utility>

#include "OVTimeShiftTypes.h"
#include "platform/Platform.h"

namespace ovts::port {

struct BstrFree {
  void operator()(OLECHAR* text) const noexcept { FreeString(text); }
};
// Owns a platform wide string until it is handed on with release().
using UniqueBstr = std::unique_ptr<OLECHAR, BstrFree>;

// A TSBufferConfig whose two strings are freed with it. get() hands the record to calls that
// fill it (GetBufferSettings) or take its strings over (SetBufferSettings, which sets them null).
class BufferConfigHolder {
 public:
  BufferConfigHolder() = default;
  explicit BufferConfigHolder(const TSBufferConfig& config) : config_(config) {}
  ~BufferConfigHolder() { Clear(); }
  BufferConfigHolder(const BufferConfigHolder&) = delete;
  BufferConfigHolder& operator=(const BufferConfigHolder&) = delete;

  TSBufferConfig* get() noexcept { return &config_; }
  TSBufferConfig* operator->() noexcept { return &config_; }
  const TSBufferConfig& operator*() const noexcept { return config_; }
  void Clear() noexcept { Clear(config_); }
  // Clearing a record: both strings freed and null, size and options 0 (the rest stays).
  static void Clear(TSBufferConfig& config) noexcept {
    FreeString(config.directory);
    FreeString(config.fileName);
    config.directory = config.fileName = nullptr;
    config.sizeKB = config.options = 0;
  }

 private:
  TSBufferConfig config_{};
};

// Runs a clean-up when the scope ends, unless dismissed.
template <class F>
class [[nodiscard]] ScopeExit {
 public:
  explicit ScopeExit(F f) noexcept : f_(std::move(f)) {}
  ~ScopeExit() {
    if (armed_) f_();
  }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;
  void Dismiss() noexcept { armed_ = false; }

 private:
  F f_;
  bool armed_ = true;
};

}  // namespace ovts::port
