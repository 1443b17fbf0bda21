// The tshift commands, each run on the host's main thread inside a COM apartment. Each returns
// the program's exit status and has said what went wrong on standard error.
#pragma once

#include <string>

#include "include/OVTimeShift.h"
#include "tools/tshift/CommandLine.h"

namespace ovts::tshift {

int RunDemo(const Options& options);
int RunPlay(const Options& options);
int RunSettings(const Options& options);
int RunRegister(const Options& options);
int RunPages(const Options& options);
int RunCtl(const Options& options);

// Checks the folder the filter will keep its buffer in: it exists on a fixed local disk, takes a
// new file, and leaves room beside the "Min Disk Free Space (MB)" reserve. Returns the problem
// in one line, or an empty text. A buffer that will come out smaller than configured is reported
// in note; bufferBytes (when given) receives the size the buffer will have.
std::string CheckBufferPlace(IOVTimeShiftFilter* control, std::string* note, int64_t* bufferBytes = nullptr);

// A session's own buffer (demo, pages), kept apart from a user's settings.
struct SessionBuffer {
  std::string folder;  // created when missing
  const wchar_t* fileName;
  uint32_t sizeKB;
  uint32_t options;    // TSBufferOption bits
};

// Stores the session's buffer, with the reserve and the initial time-shift at their defaults,
// and caches sized for kbps.
HRESULT StoreSessionSettings(IOVTimeShiftFilter* control, const SessionBuffer& buffer, uint32_t kbps);

}  // namespace ovts::tshift
