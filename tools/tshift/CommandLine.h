// The tshift command line: which command, its options, and the help text, both made from one
// table of the commands. Parsing is strict: an unknown option, a missing value or a value out
// of range is an error with a one-line message. Portable; pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ovts::tshift {

enum class Command { kHelp, kDemo, kPlay, kRegister, kUnregister, kSettingsShow, kSettingsSet, kPages, kCtl };

struct Options {
  Command command = Command::kHelp;
  std::string in;             // play: a file, or "-" for standard input
  std::string out;            // play: a file, or "-" for standard output (the default); demo: a file
  uint32_t bitRateKbps = 0;   // play: 0 keeps the stored cache settings; demo, pages: the source's rate
  std::string registry;       // settings key base; empty keeps the filter's own
  std::string module;         // register, unregister: empty means ovts.ax beside tshift.exe
  std::string settingName;    // settings set
  std::string settingValue;   // settings set
  std::string bufferDir;      // demo: folder of the buffer file and the delivered stream
  std::string keys;           // play, demo: a pipe carrying the bytes of a terminal's keys
  std::string control;        // play: where the control channel listens; ctl: where it is
  std::vector<std::string> lines;  // ctl: the command lines to send; none reads standard input
};

struct ParseResult {
  bool ok = false;
  Options options;
  std::string error;  // one line, without the program name
};

inline constexpr uint32_t kDemoBitRateKbps = 8000;
inline constexpr uint32_t kMinBitRateKbps = 64;
inline constexpr uint32_t kMaxBitRateKbps = 200000;

// args excludes the program name.
ParseResult ParseCommandLine(const std::vector<std::string>& args);
// The help text; settingNames are the stored settings' names, in their order.
std::string UsageText(const std::vector<std::string>& settingNames);

}  // namespace ovts::tshift
