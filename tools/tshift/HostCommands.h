// What a person at the terminal can ask of `tshift play`, typed as one key or as a line.
// Portable; pure functions.
#pragma once

#include <string>

namespace ovts::tshift {

struct HostCommand {
  enum Kind { kNone, kTogglePause, kPause, kResume, kStatus, kSeek, kLive, kFlush, kPages, kQuit, kHelp };
  Kind kind = kNone;
  double seconds = 0;  // kSeek: forward when positive
};

inline constexpr double kSeekStepSeconds = 10.0;

// One key of the console ('\x1b' for Esc); kNone for keys without a meaning.
HostCommand CommandForKey(char key);
// One typed line: a command word ("pause", "back 30", "forward", "live", ...) or a key's letter.
// kNone when the line means nothing; error then says why (empty for a blank line).
HostCommand CommandForLine(const std::string& line, std::string* error);

// The keys and lines, for the console.
const char* CommandHelp();

}  // namespace ovts::tshift
