// Status helpers for the buffer operations: early return on failure, and the boundary that turns
// any fault inside an operation into E_FAIL (locks are released by their guards on the way out).
#pragma once

#include "platform/Platform.h"

#define OVTS_RETURN_IF_FAILED(expr)        \
  do {                                     \
    const HRESULT hrCheck_ = (expr);       \
    if (FAILED(hrCheck_)) return hrCheck_; \
  } while (0)

namespace ovts {

template <typename Body>
HRESULT Guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return E_FAIL;
  }
}

// The calling thread's last system error as a failure code (E_FAIL when none is recorded).
inline HRESULT LastErrorResult() {
  const uint32_t code = port::LastError();
  return code ? HRESULT_FROM_WIN32(code) : E_FAIL;
}

}  // namespace ovts
