// The one family of early-return helpers of the project, for the portable core, the Windows
// layers and the tools alike: return a failure at once instead of an error ladder. In debug builds
// every failure they return is reported with its file and line to the debugger output. Also the
// boundary that turns any fault inside an operation into E_FAIL.
#pragma once

#include "platform/Platform.h"

namespace ovts {

// Debug builds: "file(line): failure 0x8007000E" to the debugger output.
#ifndef NDEBUG
void ReportFailure(const char* file, int line, HRESULT hr) noexcept;
#define OVTS_REPORT_FAILURE(hr) ::ovts::ReportFailure(__FILE__, __LINE__, (hr))
#else
#define OVTS_REPORT_FAILURE(hr) ((void)0)
#endif

// The calling thread's last system error as a failure code (E_FAIL when none is recorded).
inline HRESULT LastErrorResult() noexcept {
  const uint32_t code = port::LastError();
  return code ? HRESULT_FROM_WIN32(code) : E_FAIL;
}

// Runs an operation's body; a fault thrown inside comes out as E_FAIL (locks are released by
// their guards on the way out).
template <typename Body>
HRESULT Guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return E_FAIL;
  }
}

}  // namespace ovts

#define RETURN_IF_FAILED(expr)          \
  do {                                  \
    const HRESULT ovtsHr_ = (expr);     \
    if (FAILED(ovtsHr_)) {              \
      OVTS_REPORT_FAILURE(ovtsHr_);     \
      return ovtsHr_;                   \
    }                                   \
  } while (0)

// Returns anything but S_OK, success codes included.
#define RETURN_IF_NOT_OK(expr)          \
  do {                                  \
    const HRESULT ovtsHr_ = (expr);     \
    if (ovtsHr_ != S_OK) {              \
      if (FAILED(ovtsHr_)) OVTS_REPORT_FAILURE(ovtsHr_); \
      return ovtsHr_;                   \
    }                                   \
  } while (0)

#define RETURN_HR_IF(hr, condition)           \
  do {                                        \
    if (condition) {                          \
      const HRESULT ovtsHr_ = (hr);           \
      if (FAILED(ovtsHr_)) OVTS_REPORT_FAILURE(ovtsHr_); \
      return ovtsHr_;                         \
    }                                         \
  } while (0)

#define RETURN_HR_IF_NULL(hr, pointer) RETURN_HR_IF(hr, (pointer) == nullptr)

// A system call that answers false (a BOOL) sets the thread's last error: that becomes the result.
#define RETURN_IF_WIN32_BOOL_FALSE(expr)                  \
  do {                                                    \
    if (!(expr)) {                                        \
      const HRESULT ovtsHr_ = ::ovts::LastErrorResult();  \
      OVTS_REPORT_FAILURE(ovtsHr_);                       \
      return ovtsHr_;                                     \
    }                                                     \
  } while (0)

// A system call that answers an error code (0 for success), as the registry's do.
#define RETURN_IF_WIN32_ERROR(expr)                                   \
  do {                                                                \
    const long ovtsError_ = static_cast<long>(expr);                  \
    if (ovtsError_ != 0) {                                            \
      const HRESULT ovtsHr_ = HRESULT_FROM_WIN32(ovtsError_);         \
      OVTS_REPORT_FAILURE(ovtsHr_);                                   \
      return ovtsHr_;                                                 \
    }                                                                 \
  } while (0)
