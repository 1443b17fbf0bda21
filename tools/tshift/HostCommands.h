// What a person at the terminal can ask of `tshift play`, typed as one key or as a line.
// Portable; pure functions.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ovts::tshift {

struct HostCommand {
  enum Kind {
    kNone, kTogglePause, kPause, kResume, kStatus, kSeek, kBehindLive, kLive, kFlush, kPages, kQuit, kHelp,
    kExport, kExportStop, kExportCancel
  };
  Kind kind = kNone;
  // kSeek: stream seconds from the play position, forward when positive; kBehindLive: stream
  // seconds behind live; kExport: the last seconds to save.
  double seconds = 0;
  std::string path;  // kExport: the file as typed; empty for a new name beside the buffer file
};

inline constexpr double kSeekStepSeconds = 10.0;
inline constexpr double kExportDefaultSeconds = 30.0;

// One key of the console ('\x1b' for Esc); kNone for keys without a meaning.
HostCommand CommandForKey(char key);
// One typed line: a command word ("pause", "back 30", "behind 60", "export 10 clip.ts", ...) or
// a key's letter.
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
