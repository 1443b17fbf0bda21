#include "tools/tshift/CommandLine.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string_view>

#include "tools/tshift/ControlProtocol.h"

namespace ovts::tshift {

namespace {

// An option of a command: "--name VALUE", stored as given in field or by check.
struct OptionEntry {
  const char* name;
  const char* value;
  std::string Options::*field;  // null when check stores it
  bool (*check)(const std::string& value, Options* options, std::string* error);
  bool required;
  const char* help;  // for this command; empty when its text says it all
};

// A command: its words ("settings set"; "[show]" is an optional word), what follows them in the
// usage line, its options, and its text in the help (empty: shares the next command's).
struct CommandEntry {
  const char* words;
  Command command;
  const char* operands;
  std::vector<OptionEntry> options;
  // Takes the operands and checks what the options alone cannot; false with *error set.
  bool (*finish)(const std::vector<std::string>& operands, Options* options, std::string* error);
  const char* text;
  bool operandsVerbatim = false;  // after the first operand everything is an operand ("help" too)
};

std::string Unknown(const std::string& arg, const std::string& command) {
  if (!arg.empty() && arg[0] == '-' && arg != "-")
    return "unknown option '" + arg + "' for " + command + " (see tshift --help)";
  return "unexpected argument '" + arg + "' for " + command + " (see tshift --help)";
}

bool ParseRate(const std::string& text, Options* o, std::string* error) {
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || text[0] == '-' || value < kMinBitRateKbps ||
      value > kMaxBitRateKbps) {
    *error = "--bitrate takes kilobits per second from " + std::to_string(kMinBitRateKbps) + " to " +
             std::to_string(kMaxBitRateKbps) + ", not '" + text + "'";
    return false;
  }
  o->bitRateKbps = static_cast<uint32_t>(value);
  return true;
}

bool CheckControl(const std::string& text, Options*, std::string* error) {
  ControlAddress address;
  return ParseControlAddress(text, &address, error);
}

bool NoOperands(const std::vector<std::string>& operands, const char* command, std::string* error) {
  if (!operands.empty()) *error = Unknown(operands[0], command);
  return operands.empty();
}

bool FinishDemo(const std::vector<std::string>& operands, Options* o, std::string* error) {
  if (!NoOperands(operands, "demo", error)) return false;
  if (!o->bitRateKbps) o->bitRateKbps = kDemoBitRateKbps;
  if (o->out == "-") *error = "demo writes the delivered stream to a file; give --out FILE";
  return error->empty();
}

bool FinishPlay(const std::vector<std::string>& operands, Options* o, std::string* error) {
  if (o->out.empty()) o->out.push_back('-');  // standard output
  return NoOperands(operands, "play", error);
}

bool FinishPages(const std::vector<std::string>& operands, Options* o, std::string* error) {
  if (!o->bitRateKbps) o->bitRateKbps = kDemoBitRateKbps;
  return NoOperands(operands, "pages", error);
}

bool FinishCtl(const std::vector<std::string>& operands, Options* o, std::string* error) {
  if (operands.empty()) {
    *error = "ctl needs the control channel's ADDRESS (a port or \\\\.\\pipe\\NAME)";
    return false;
  }
  ControlAddress address;
  if (!ParseControlAddress(operands[0], &address, error)) return false;
  if (address.kind == ControlAddress::kTcp && address.port == 0) {
    *error = "ctl needs the port tshift play reported, not 0";
    return false;
  }
  o->control = operands[0];
  o->lines.assign(operands.begin() + 1, operands.end());
  return true;
}

bool FinishModule(const std::vector<std::string>& operands, Options* o, std::string* error) {
  if (operands.size() > 1) {
    *error = Unknown(operands[1], o->command == Command::kRegister ? "register" : "unregister");
    return false;
  }
  if (!operands.empty()) o->module = operands[0];
  return true;
}

bool FinishSettingsShow(const std::vector<std::string>& operands, Options*, std::string* error) {
  return NoOperands(operands, "settings", error);
}

bool FinishSettingsSet(const std::vector<std::string>& operands, Options* o, std::string* error) {
  if (operands.size() != 2) {
    *error = "settings set needs a NAME and a VALUE (quote names with blanks: \"Max BufSize (KB)\")";
    return false;
  }
  o->settingName = operands[0];
  o->settingValue = operands[1];
  return true;
}

constexpr OptionEntry kBitRate{"--bitrate", "KBIT", nullptr, ParseRate, false, ""};
constexpr OptionEntry kRegistry{"--registry", "PATH", &Options::registry, nullptr, false, ""};
constexpr OptionEntry kKeys{"--keys", "PIPE", &Options::keys, nullptr, false,
                           "reads the keys of a terminal from PIPE (a FIFO, the bytes a terminal sends in raw mode): "
                           "scripts/tshift passes its terminal's keys this way."};

// Texts are paragraphs, one a line, wrapped for the help; a line that starts with two blanks is
// shown as it stands.
const std::vector<CommandEntry>& Commands() {
  static const std::vector<CommandEntry> commands = {
      {"demo", Command::kDemo, "",
       {kBitRate, {"--dir", "DIR", &Options::bufferDir, nullptr, false, ""},
        {"--out", "FILE", &Options::out, nullptr, false, ""}, {kKeys.name, kKeys.value, kKeys.field, nullptr, false, ""}},
       FinishDemo,
       "A scripted time-shift session on a built-in 8 Mbit/s MPEG-TS source (KBIT kbit/s when given): live, "
       "pause, resume, seek back, jump to live, saving the last 5 s, flush, stop; q ends it early (--keys as "
       "for play). Prints a status line every second and a summary; exits 0 only if the delivered stream and "
       "the saved file (DIR\\export.ts: whole packets, each the one the source sent) held every check. It "
       "keeps its own settings (registry base Software\\Orvanta\\TShiftDemo) and its buffer file in DIR "
       "(default C:\\ovts-demo\\), and writes the delivered stream to FILE (default DIR\\delivered.ts)."},
      {"play", Command::kPlay, "",
       {{"--in", "FILE|-", &Options::in, nullptr, true, ""},
        {"--out", "FILE|-", &Options::out, nullptr, false, ""},
        {kBitRate.name, kBitRate.value, nullptr, ParseRate, false,
         "sizes the filter's caches for a stream of KBIT kbit/s (stored in the settings, as the filter keeps "
         "them). Nothing else: seeks, exports and the seconds on the status line count the stream's own time, "
         "which the filter finds itself."},
        kRegistry,
        {"--control", "ADDRESS", &Options::control, CheckControl, false,
         "takes command lines from other programs, up to 60 at once, at a TCP port on 127.0.0.1 (PORT or "
         "127.0.0.1:PORT; port 0 picks a free one and says which) or at a named pipe (\\\\.\\pipe\\NAME). Each "
         "line gets one reply line: \"ok\", the status line, \"ok: FILE\" for an export, or \"error: WHY\"."},
        kKeys},
       FinishPlay,
       "Plays a stream through the time-shift buffer. A FILE is read by the platform's File Source (Async), "
       "as fast as the filter takes it; \"-\" reads standard input as a live stream. The delivered stream goes "
       "to FILE or to standard output (\"-\", the default), for a player (-nostdin keeps ffmpeg from taking "
       "the keys):\n"
       "  ffmpeg -nostdin -re -i in.ts -c copy -f mpegts - | tshift play --in - | ffplay -\n"
       "Keys:\n"
       "  space, p  pause / resume          left, b   seek back 10 s\n"
       "  l         jump to live            right, f  seek forward 10 s\n"
       "  x         flush the buffer        s         status on a new line\n"
       "  e         save the last 30 s      o         the property pages\n"
       "  q, Esc    quit                    h, ?      these keys\n"
       "Lines: pause, resume, status, back [SECONDS], forward [SECONDS], behind SECONDS, live, flush, export "
       "[SECONDS [FILE]], export stop, export cancel, pages, help, quit. Keys come from --keys, else from the "
       "console (Wine's console has no keyboard for a program whose standard input is piped); with neither, "
       "lines come from standard input when it does not carry the stream.\n"
       "Seconds are the stream's own: its clock in a transport stream, else the measured input rate; the "
       "filter takes one seek a second. \"behind S\" plays from S seconds behind live. e saves the last 30 s "
       "to a new file beside the buffer file, \"export S FILE\" the last S seconds to FILE, while playback "
       "and recording go on; \"export stop\" ends it there, \"export cancel\" deletes its file. A status line "
       "goes to standard error every second, with where the seconds come from and a running export."},
      {"ctl", Command::kCtl, "ADDRESS [COMMAND...]", {}, FinishCtl,
       "Sends each COMMAND (one line, as \"back 30\") to the control channel of a tshift play started with "
       "--control ADDRESS, and prints each reply on standard output; without COMMANDs it sends the lines of "
       "standard input. Exits 1 when a reply is an error.",
       true},
      {"pages", Command::kPages, "", {kBitRate, kRegistry}, FinishPages,
       "Runs the built-in live source (8000 kbit/s unless given) through the filter and opens the filter's "
       "property pages on it: the Status page follows the buffer, and its buttons and trackbar steer "
       "playback; the other pages change the stored settings. Ends when the pages are closed. It keeps its own "
       "settings (registry base Software\\Orvanta\\TShiftPages, a 64 MB buffer in C:\\ovts-pages\\) unless "
       "--registry PATH names a key to use as it is. OK and Apply store what the pages show, Cancel does not. "
       "From a pipe, standard input takes lines: \"page N\" shows page N (1 to 4) and answers \"page N: "
       "TITLE\"; \"quit\" closes the pages, and after the last line they stay open until closed."},
      {"settings [show]", Command::kSettingsShow, "", {kRegistry}, FinishSettingsShow, ""},
      {"settings set", Command::kSettingsSet, "NAME VALUE", {kRegistry}, FinishSettingsSet,
       "Shows or changes the filter's stored settings, named as the registry values: @NAMES@. The two caches "
       "take three numbers: size KB, transfer KB, threshold percent, as in 4096,512,0. --registry PATH uses "
       "the key PATH\\TShift instead of the filter's own."},
      {"register", Command::kRegister, "[MODULE]", {}, FinishModule, ""},
      {"unregister", Command::kUnregister, "[MODULE]", {}, FinishModule,
       "Registers or unregisters ovts.ax (default: the one beside tshift.exe, or the build tree's)."},
  };
  return commands;
}

std::vector<std::string> CommandWords(const CommandEntry& entry) {
  std::istringstream in(entry.words);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// How many arguments the command's words take from the front of args; 0 when they do not match.
size_t Match(const CommandEntry& entry, const std::vector<std::string>& args) {
  size_t taken = 0;
  for (const std::string& word : CommandWords(entry)) {
    const bool optional = word.front() == '[';
    const std::string bare = optional ? word.substr(1, word.size() - 2) : word;
    if (taken < args.size() && args[taken] == bare) {
      ++taken;
    } else if (!optional) {
      return 0;
    }
  }
  return taken;
}

// Walks the arguments after the command's words. Accepts "--name value" and "--name=value".
class ArgReader {
 public:
  ArgReader(const std::vector<std::string>& args, size_t first) : args_(args), at_(first) {}

  bool Done() const { return at_ >= args_.size(); }
  const std::string& Peek() const { return args_[at_]; }
  std::string Take() { return args_[at_++]; }

  // True when the next argument is the option `name`; its value goes to value.
  bool Option(const char* name, std::string* value, std::string* error) {
    const std::string& arg = args_[at_];
    const std::string prefix = std::string(name) + "=";
    if (arg.compare(0, prefix.size(), prefix) == 0) {
      *value = arg.substr(prefix.size());
      ++at_;
    } else if (arg == name) {
      if (at_ + 1 >= args_.size()) {
        *error = std::string("option ") + name + " needs a value";
        ++at_;
        return true;
      }
      *value = args_[at_ + 1];
      at_ += 2;
    } else {
      return false;
    }
    if (value->empty()) *error = std::string("option ") + name + " needs a value";
    return true;
  }

 private:
  const std::vector<std::string>& args_;
  size_t at_;
};

bool IsHelp(const std::string& arg) { return arg == "--help" || arg == "-h" || arg == "/?" || arg == "help"; }

// Takes one option of the command from r; false when the next argument is none of them.
bool TakeOption(const CommandEntry& entry, ArgReader& r, Options* o, std::vector<const char*>* given, std::string* error) {
  for (const OptionEntry& option : entry.options) {
    std::string value;
    if (!r.Option(option.name, &value, error)) continue;
    given->push_back(option.name);
    if (!error->empty()) return true;
    if (option.field) o->*option.field = value;
    if (option.check) option.check(value, o, error);
    return true;
  }
  return false;
}

std::string CommandList() {
  std::string list;
  for (const CommandEntry& entry : Commands()) {
    const std::string word = CommandWords(entry)[0];
    if (list.find(word + ",") == std::string::npos) list += word + ", ";
  }
  return list.substr(0, list.size() - 2);
}

constexpr size_t kWidth = 92;
const std::string kIndent(6, ' ');

// The words of a paragraph; a quoted run ("Max BufSize (KB)") is one word.
std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  bool quoted = false;
  for (std::string word; in >> word;) {
    if (quoted) {
      words.back() += ' ';
      words.back() += word;
    } else {
      words.push_back(word);
    }
    if (std::count(word.begin(), word.end(), '"') % 2) quoted = !quoted;
  }
  return words;
}

// The words in lines of at most kWidth, the first after first, the rest after next.
std::string Wrap(const std::vector<std::string>& words, const std::string& first, const std::string& next) {
  std::string out;
  std::string line = first;
  size_t start = line.size();  // where the line's words begin
  for (const std::string& word : words) {
    if (line.size() > start && line.size() + 1 + word.size() > kWidth) {
      out += line;
      out += '\n';
      line = next;
      start = line.size();
    }
    if (line.size() > start) line += ' ';
    line += word;
  }
  out += line;
  out += '\n';
  return out;
}

}  // namespace

ParseResult ParseCommandLine(const std::vector<std::string>& args) {
  ParseResult result;
  if (args.empty() || IsHelp(args[0])) {
    result.ok = true;
    return result;
  }
  const CommandEntry* entry = nullptr;
  size_t first = 0;
  for (const CommandEntry& candidate : Commands()) {
    const size_t taken = Match(candidate, args);
    if (taken > first) {
      entry = &candidate;
      first = taken;
    }
  }
  if (!entry) {
    result.error = "unknown command '" + args[0] + "' (commands: " + CommandList() + "; see tshift --help)";
    return result;
  }
  Options& o = result.options;
  o.command = entry->command;
  const std::string& word = args[0];
  std::string& error = result.error;

  ArgReader r(args, first);
  std::vector<std::string> operands;
  std::vector<const char*> given;
  while (!r.Done() && error.empty()) {
    if (entry->operandsVerbatim && !operands.empty()) {
      operands.push_back(r.Take());
    } else if (IsHelp(r.Peek())) {
      result.options = Options();
      result.ok = true;
      return result;
    } else if (TakeOption(*entry, r, &o, &given, &error)) {
    } else if (r.Peek().size() > 1 && r.Peek()[0] == '-') {
      error = Unknown(r.Peek(), word);
    } else {
      operands.push_back(r.Take());
    }
  }
  if (!error.empty()) return result;
  for (const OptionEntry& option : entry->options) {
    if (!option.required) continue;
    bool found = false;
    for (const char* name : given) found = found || std::string_view(name) == option.name;
    if (!found) {
      error = word + " needs " + option.name + " " + option.value + " (see tshift --help)";
      return result;
    }
  }
  result.ok = entry->finish(operands, &o, &error);
  return result;
}

std::string UsageText(const std::vector<std::string>& settingNames) {
  std::string names;
  for (const std::string& name : settingNames) names += (names.empty() ? "\"" : ", \"") + name + "\"";
  std::string text = "tshift: run the Orvanta Time Shift filter (ovts.ax) from a terminal.\n\nusage:\n";
  for (const CommandEntry& entry : Commands()) {
    std::vector<std::string> parts;
    if (*entry.operands) parts.push_back(entry.operands);
    for (const OptionEntry& option : entry.options) {
      const std::string usage = std::string(option.name) + " " + option.value;
      parts.push_back(option.required ? usage : '[' + usage + ']');
    }
    const std::string head = std::string("  tshift ") + entry.words + " ";
    text += Wrap(parts, head, std::string(head.size(), ' '));
    if (!*entry.text) continue;  // shares the next command's text

    std::string about = entry.text;
    if (const size_t at = about.find("@NAMES@"); at != std::string::npos) about.replace(at, 7, names);
    std::istringstream rows(about);
    for (std::string row; std::getline(rows, row);)
      text += row.compare(0, 2, "  ") == 0 ? kIndent + row + "\n" : Wrap(Words(row), kIndent, kIndent);
    size_t column = 0;
    for (const OptionEntry& option : entry.options)
      if (*option.help) column = std::max(column, std::strlen(option.name) + std::strlen(option.value) + 3);
    for (const OptionEntry& option : entry.options) {
      if (!*option.help) continue;
      std::string label = std::string(option.name) + " " + option.value;
      label.resize(column, ' ');
      text += Wrap(Words(option.help), kIndent + label, kIndent + std::string(column, ' '));
    }
    text += "\n";
  }
  return text + Wrap(Words("Exit status: 0 on success, 1 on an error (one line on standard error), 2 for a bad "
                           "command line, 3 when a graph operation hung and the watchdog ended the program."),
                     "", "");
}

}  // namespace ovts::tshift
