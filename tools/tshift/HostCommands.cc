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
         "      s status, q quit\n"
         "lines: pause, resume, status, back [S], forward [S], live, flush, pages, quit\n";
}

}  // namespace ovts::tshift
