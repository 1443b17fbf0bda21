#include "tools/tshift/HostCommands.h"

#include <cctype>
#include <cstdlib>
#include <sstream>

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
    case 'o': return {HostCommand::kPages};
    case 'q':
    case '\x1b':
    case '\x03': return {HostCommand::kQuit};
    case 'h':
    case '?': return {HostCommand::kHelp};
    default: return {};
  }
}

HostCommand CommandForLine(const std::string& line, std::string* error) {
  error->clear();
  std::istringstream words(line);
  std::string word;
  if (!(words >> word)) return {};
  for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::string argument;
  words >> argument;
  std::string rest;
  if (words >> rest) {
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
  else if (word == "back" || word == "forward") {
    command.kind = HostCommand::kSeek;
    command.seconds = kSeekStepSeconds;
    if (!argument.empty()) {
      char* end = nullptr;
      command.seconds = std::strtod(argument.c_str(), &end);
      if (*end != '\0' || !(command.seconds > 0) || command.seconds > 1e6) {
        *error = word + " takes a number of seconds, not '" + argument + "'";
        return {};
      }
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
  return "keys: space/p pause-resume, left/b back 10 s, right/f forward 10 s, l live, x flush, o property pages,\n"
         "      s status, h help, q/Esc quit\n"
         "lines: pause, resume, status, back [S], forward [S], live, flush, pages, help, quit\n";
}

const char* CommandLineHelp() {
  return "commands: pause, resume, status, back [S], forward [S], live, flush, pages, help, quit";
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
