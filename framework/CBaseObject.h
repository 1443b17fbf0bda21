// The root of every framework object: keeps the module-wide count of live objects, which the
// module's unload test reads. Constructed and destroyed on any thread; the count is atomic.
#pragma once

#include <atomic>
#include <cstdint>

namespace ovts {

class CBaseObject {
 public:
  CBaseObject() noexcept { liveObjects_.fetch_add(1); }
  ~CBaseObject() { liveObjects_.fetch_sub(1); }
  CBaseObject(const CBaseObject&) = delete;
  CBaseObject& operator=(const CBaseObject&) = delete;

  // Framework objects alive in the module now.
  static int32_t ObjectsActive() noexcept { return liveObjects_.load(); }

 private:
  static inline std::atomic<int32_t> liveObjects_{0};  // atomic
};

}  // namespace ovts
