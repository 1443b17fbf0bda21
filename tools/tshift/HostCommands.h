// What a person at the terminal can ask of `tshift play`, typed as one key or as a line.
// Portable; pure functions.
#pragma once

#include <string>
#include <string_view>
#include <vector>

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
// The lines, on one line, for a client of the control channel.
const char* CommandLineHelp();

// The keys in the bytes a terminal sends, as a console would report them: left and right come
// as escape sequences (ESC [ D, ESC O D, also with modifiers), other sequences mean nothing, and
// an ESC that ends a read is the Esc key: a terminal sends a key's whole sequence in one write,
// so a sequence cut after more than its ESC is completed by the next read.
class KeyDecoder {
 public:
  // The commands in the bytes of one read, in order.
  std::vector<HostCommand> Feed(std::string_view bytes);

 private:
  std::string sequence_;  // an escape sequence begun, from its ESC
};

}  // namespace ovts::tshift
