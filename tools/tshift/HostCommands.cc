#include "tools/tshift/HostCommands.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace ovts::tshift {

HostCommand CommandForKey(char key) {
  switch (std::tolower(static_cast<unsigned char>(key))) {
    case ' ':
    case 'p': return {HostCommand::kTogglePause};
    case 's': return {HostCommand::kStatus};
    case 'b': return {HostCommand::kSeek, -kSeekStepSeconds};
    case 'f': return {HostCommand::kSeek, kSeekStepSeconds};
    case 'l': return {HostCommand::kLive};
    case 'x': return {HostCommand::kFlush};
    case 'e': return {HostCommand::kExport, kExportDefaultSeconds};
    case 'o': return {HostCommand::kPages};
    case 'q':
    case '\x1b':
    case '\x03': return {HostCommand::kQuit};
    case 'h':
    case '?': return {HostCommand::kHelp};
    default: return {};
  }
}

namespace {

constexpr double kMostSeconds = 1e6;

std::string Trim(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return std::string(text.substr(first, text.find_last_not_of(" \t") - first + 1));
}

// Splits off the first word of text; rest gets what follows it, trimmed.
std::string FirstWord(const std::string& text, std::string* rest) {
  const size_t end = std::min(text.find_first_of(" \t"), text.size());
  *rest = Trim(std::string_view(text).substr(end));
  return text.substr(0, end);
}

// A number of seconds above 0 (or at 0 when zero is allowed), at most kMostSeconds.
bool ParseSeconds(const std::string& text, bool zeroAllowed, double* seconds) {
  char* end = nullptr;
  *seconds = std::strtod(text.c_str(), &end);
  return !text.empty() && *end == '\0' && (*seconds > 0 || (zeroAllowed && *seconds == 0)) &&
         *seconds <= kMostSeconds;
}

// "export", "export SECONDS", "export SECONDS FILE" (the rest of the line, blanks and all),
// "export stop", "export cancel".
HostCommand ExportCommand(const std::string& rest, std::string* error) {
  std::string file;
  const std::string first = FirstWord(rest, &file);
  if (first == "stop" || first == "cancel") {
    if (!file.empty()) {
      *error = "export " + first + " takes nothing more";
      return {};
    }
    return {first == "stop" ? HostCommand::kExportStop : HostCommand::kExportCancel};
  }
  HostCommand command{HostCommand::kExport, kExportDefaultSeconds, file};
  if (!first.empty() && !ParseSeconds(first, false, &command.seconds)) {
    *error = "export takes a number of seconds and a file, or stop, or cancel, not '" + first + "'";
    return {};
  }
  return command;
}

}  // namespace

HostCommand CommandForLine(const std::string& line, std::string* error) {
  error->clear();
  std::string rest;
  std::string word = FirstWord(Trim(line), &rest);
  if (word.empty()) return {};
  for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (word == "export") return ExportCommand(rest, error);
  std::string more;
  const std::string argument = FirstWord(rest, &more);
  if (!more.empty()) {
    *error = "too many words in '" + line + "'";
    return {};
  }
  HostCommand command;
  if (word == "pause") command.kind = HostCommand::kPause;
  else if (word == "resume" || word == "play") command.kind = HostCommand::kResume;
  else if (word == "status") command.kind = HostCommand::kStatus;
  else if (word == "live") command.kind = HostCommand::kLive;
  else if (word == "flush") command.kind = HostCommand::kFlush;
  else if (word == "pages") command.kind = HostCommand::kPages;
  else if (word == "quit" || word == "exit" || word == "stop") command.kind = HostCommand::kQuit;
  else if (word == "help") command.kind = HostCommand::kHelp;
  else if (word == "behind") {
    if (!ParseSeconds(argument, true, &command.seconds)) {
      *error = "behind takes the seconds behind live (0 or more), not '" + argument + "'";
      return {};
    }
    command.kind = HostCommand::kBehindLive;
    return command;
  } else if (word == "back" || word == "forward") {
    command.kind = HostCommand::kSeek;
    command.seconds = kSeekStepSeconds;
    if (!argument.empty() && !ParseSeconds(argument, false, &command.seconds)) {
      *error = word + " takes a number of seconds, not '" + argument + "'";
      return {};
    }
    if (word == "back") command.seconds = -command.seconds;
    return command;
  } else if (word.size() == 1) {
    command = CommandForKey(word[0]);
  }
  if (command.kind == HostCommand::kNone) {
    *error = "unknown command '" + word + "' (type help)";
    return {};
  }
  if (!argument.empty()) {
    *error = word + " takes no argument";
    return {};
  }
  return command;
}

const char* CommandHelp() {
  return "keys: space/p pause-resume, left/b back 10 s, right/f forward 10 s, l live, x flush,\n"
         "      e save the last 30 s beside the buffer file, o property pages, s status, h help, q/Esc quit\n"
         "lines: pause, resume, status, back [S], forward [S], behind S, live, flush, export [S [FILE]],\n"
         "       export stop, export cancel, pages, help, quit\n";
}

const char* CommandLineHelp() {
  return "commands: pause, resume, status, back [S], forward [S], behind S, live, flush, export [S [FILE]], "
         "export stop, export cancel, pages, help, quit";
}

std::vector<HostCommand> KeyDecoder::Feed(std::string_view bytes) {
  constexpr char kEsc = '\x1b';
  constexpr size_t kLongestSequence = 16;
  std::vector<HostCommand> commands;
  for (const char c : bytes) {
    if (sequence_.empty()) {
      if (c == kEsc) {
        sequence_ = c;
      } else if (const HostCommand command = CommandForKey(c); command.kind != HostCommand::kNone) {
        commands.push_back(command);
      }
      continue;
    }
    sequence_ += c;
    const unsigned char u = static_cast<unsigned char>(c);
    if (sequence_.size() == 2) {
      // ESC [ (CSI) and ESC O (SS3) begin the cursor keys; ESC and any other byte is Alt with a
      // key, which means nothing here.
      if (c != '[' && c != 'O') sequence_.clear();
      continue;
    }
    const bool final = u >= 0x40 && u <= 0x7e;
    const bool inside = sequence_[1] == '[' && u >= 0x20 && u <= 0x3f;  // parameters, as in ESC [ 1 ; 5 C
    if (final) {
      if (c == 'C' || c == 'D') commands.push_back({HostCommand::kSeek, c == 'C' ? kSeekStepSeconds : -kSeekStepSeconds});
      sequence_.clear();
    } else if (!inside || sequence_.size() > kLongestSequence) {
      sequence_.clear();
    }
  }
  if (sequence_.size() == 1) {
    commands.push_back(CommandForKey(kEsc));
    sequence_.clear();
  }
  return commands;
}

}  // namespace ovts::tshift
