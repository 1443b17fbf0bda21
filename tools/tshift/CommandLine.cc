#include "tools/tshift/CommandLine.h"

#include <cerrno>
#include <cstdlib>

#include "tools/tshift/ControlProtocol.h"

namespace ovts::tshift {

namespace {

// Walks the arguments after the command word. Accepts "--name value" and "--name=value".
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

bool ParseRate(const std::string& text, uint32_t* kbps, std::string* error) {
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || text[0] == '-' || value < kMinBitRateKbps ||
      value > kMaxBitRateKbps) {
    *error = "--bitrate takes kilobits per second from " + std::to_string(kMinBitRateKbps) + " to " +
             std::to_string(kMaxBitRateKbps) + ", not '" + text + "'";
    return false;
  }
  *kbps = static_cast<uint32_t>(value);
  return true;
}

std::string Unknown(const std::string& arg, const char* command) {
  if (!arg.empty() && arg[0] == '-' && arg != "-")
    return "unknown option '" + arg + "' for " + command + " (see tshift --help)";
  return "unexpected argument '" + arg + "' for " + command + " (see tshift --help)";
}

bool IsHelp(const std::string& arg) { return arg == "--help" || arg == "-h" || arg == "/?" || arg == "help"; }

}  // namespace

ParseResult ParseCommandLine(const std::vector<std::string>& args) {
  ParseResult result;
  Options& o = result.options;
  if (args.empty() || IsHelp(args[0])) {
    result.ok = true;
    return result;
  }
  const std::string& word = args[0];
  size_t first = 1;
  if (word == "demo") {
    o.command = Command::kDemo;
    o.bitRateKbps = kDemoBitRateKbps;
    o.out.clear();
  } else if (word == "play") {
    o.command = Command::kPlay;
  } else if (word == "pages") {
    o.command = Command::kPages;
  } else if (word == "ctl") {
    o.command = Command::kCtl;
  } else if (word == "register" || word == "unregister") {
    o.command = word == "register" ? Command::kRegister : Command::kUnregister;
  } else if (word == "settings") {
    o.command = Command::kSettingsShow;
    if (args.size() > 1 && args[1] == "show") {
      first = 2;
    } else if (args.size() > 1 && args[1] == "set") {
      o.command = Command::kSettingsSet;
      first = 2;
    }
  } else {
    result.error = "unknown command '" + word + "' (commands: demo, play, pages, ctl, register, unregister, settings; see tshift --help)";
    return result;
  }

  ArgReader r(args, first);
  std::string value;
  std::vector<std::string> positional;
  while (!r.Done()) {
    if (o.command == Command::kCtl && !positional.empty()) {
      positional.push_back(r.Take());  // command lines, whatever they look like ("help" too)
      continue;
    }
    if (IsHelp(r.Peek())) {
      result.options = Options();
      result.ok = true;
      return result;
    }
    std::string& error = result.error;
    const bool takesRate = o.command == Command::kDemo || o.command == Command::kPlay || o.command == Command::kPages;
    const bool takesRegistry = o.command == Command::kPlay || o.command == Command::kSettingsShow ||
                               o.command == Command::kSettingsSet || o.command == Command::kPages;
    if (o.command == Command::kPlay && r.Option("--in", &o.in, &error)) {
    } else if ((o.command == Command::kPlay || o.command == Command::kDemo) && r.Option("--out", &o.out, &error)) {
    } else if (takesRate && r.Option("--bitrate", &value, &error)) {
      if (error.empty()) ParseRate(value, &o.bitRateKbps, &error);
    } else if (takesRegistry && r.Option("--registry", &o.registry, &error)) {
    } else if (o.command == Command::kDemo && r.Option("--dir", &o.bufferDir, &error)) {
    } else if ((o.command == Command::kPlay || o.command == Command::kDemo) && r.Option("--keys", &o.keys, &error)) {
    } else if (o.command == Command::kPlay && r.Option("--control", &o.control, &error)) {
      ControlAddress address;
      if (error.empty()) ParseControlAddress(o.control, &address, &error);
    } else if (r.Peek().size() > 1 && r.Peek()[0] == '-') {
      error = Unknown(r.Peek(), word.c_str());
    } else {
      positional.push_back(r.Take());
    }
    if (!error.empty()) return result;
  }

  switch (o.command) {
    case Command::kPlay:
      if (!positional.empty()) {
        result.error = Unknown(positional[0], "play");
        return result;
      }
      if (o.in.empty()) {
        result.error = "play needs --in FILE (or --in - for standard input)";
        return result;
      }
      break;
    case Command::kRegister:
    case Command::kUnregister:
      if (positional.size() > 1) {
        result.error = Unknown(positional[1], word.c_str());
        return result;
      }
      if (!positional.empty()) o.module = positional[0];
      break;
    case Command::kCtl: {
      if (positional.empty()) {
        result.error = "ctl needs the control channel's ADDRESS (a port or \\\\.\\pipe\\NAME)";
        return result;
      }
      ControlAddress address;
      if (!ParseControlAddress(positional[0], &address, &result.error)) return result;
      if (address.kind == ControlAddress::kTcp && address.port == 0) {
        result.error = "ctl needs the port tshift play reported, not 0";
        return result;
      }
      o.control = positional[0];
      o.lines.assign(positional.begin() + 1, positional.end());
      break;
    }
    case Command::kSettingsSet:
      if (positional.size() != 2) {
        result.error = "settings set needs a NAME and a VALUE (quote names with blanks: \"Max BufSize (KB)\")";
        return result;
      }
      o.settingName = positional[0];
      o.settingValue = positional[1];
      break;
    default:
      if (!positional.empty()) {
        result.error = Unknown(positional[0], word.c_str());
        return result;
      }
      break;
  }
  if (o.command == Command::kDemo && o.out == "-") {
    result.error = "demo writes the delivered stream to a file; give --out FILE";
    return result;
  }
  result.ok = true;
  return result;
}

std::string UsageText(const std::vector<std::string>& settingNames) {
  // Quoted, comma-separated, wrapped under the text's indentation.
  std::string names;
  size_t lineStart = 0;
  for (const std::string& name : settingNames) {
    std::string item = "\"" + name + "\"";
    if (&name != &settingNames.back()) item += ",";
    if (!names.empty()) {
      const bool wrap = names.size() - lineStart + 1 + item.size() > 76;
      names += wrap ? "\n        " : " ";
      if (wrap) lineStart = names.size() - 8;
    }
    names += item;
  }
  std::string text = R"(tshift: run the Orvanta Time Shift filter (ovts.ax) from a terminal.

usage:
  tshift demo [--bitrate KBIT] [--dir DIR] [--out FILE] [--keys PIPE]
      A scripted time-shift session on a built-in 8 Mbit/s MPEG-TS source: live, pause,
      resume, seek back, jump to live, flush, stop; q ends it early (--keys as for play).
      Prints a status line every second and a summary; exits 0 only if the delivered stream
      held every check. It keeps its own
      settings (registry base Software\Orvanta\TShiftDemo) and its buffer file in DIR
      (default C:\ovts-demo\), and writes the delivered stream to FILE (default
      DIR\delivered.ts).

  tshift play --in FILE|- [--out FILE|-] [--bitrate KBIT] [--registry PATH]
              [--control ADDRESS] [--keys PIPE]
      Plays a stream through the time-shift buffer. A FILE is read by the platform's
      File Source (Async), as fast as the filter takes it; "-" reads standard input as a
      live stream. The delivered stream goes to FILE or to standard output ("-", the
      default), for a player (-nostdin keeps ffmpeg from taking the keys):
        ffmpeg -nostdin -re -i in.ts -c copy -f mpegts - | tshift play --in - | ffplay -
      --bitrate KBIT     sizes the filter's caches for a stream of KBIT kbit/s (stored in
                         the settings, as the filter keeps them) and shows the delay in
                         seconds.
      --control ADDRESS  takes command lines from other programs, up to 60 at once, at a
                         TCP port on 127.0.0.1 (PORT or 127.0.0.1:PORT; port 0 picks a free
                         one and says which) or at a named pipe (\\.\pipe\NAME). Each line
                         gets one reply line: "ok", the status line, or "error: WHY".
      --keys PIPE        reads the keys of a terminal from PIPE (a FIFO, the bytes a
                         terminal sends in raw mode): scripts/tshift passes its terminal's
                         keys this way.
      Keys:
        space, p  pause / resume          left, b   seek back 10 s
        l         jump to live            right, f  seek forward 10 s
        x         flush the buffer        s         status on a new line
        q, Esc    quit                    h, ?      these keys
        o         the property pages
      Lines: pause, resume, status, back [SECONDS], forward [SECONDS], live, flush, pages,
      help, quit.
      Keys come from --keys, else from the console (Wine's console has no keyboard for a
      program whose standard input is piped); with neither, lines come from standard input
      when it does not carry the stream. A status line goes to standard error every second.

  tshift ctl ADDRESS [COMMAND...]
      Sends each COMMAND (one line, as "back 30") to the control channel of a tshift play
      started with --control ADDRESS, and prints each reply on standard output; without
      COMMANDs it sends the lines of standard input. Exits 1 when a reply is an error.

  tshift pages [--bitrate KBIT] [--registry PATH]
      Runs the built-in live source (8000 kbit/s unless given) through the filter and opens
      the filter's property pages on it: the Status page follows the buffer, and its buttons
      and trackbar steer playback; the other pages change the stored settings. Ends when the
      pages are closed. It keeps its own settings (registry base Software\Orvanta\TShiftPages,
      a 64 MB buffer in C:\ovts-pages\) unless --registry PATH names a key to use as it is.
      OK and Apply store what the pages show, Cancel does not. From a pipe, standard input
      takes lines: "page N" shows page N (1 to 4) and answers "page N: TITLE"; "quit" closes
      the pages, and after the last line they stay open until closed.

  tshift settings [show] [--registry PATH]
  tshift settings set NAME VALUE [--registry PATH]
      Shows or changes the filter's stored settings, named as the registry values:
        @NAMES@.
      The two caches take three numbers: size KB, transfer KB, threshold percent, as in
      4096,512,0. --registry PATH uses the key PATH\TShift instead of the filter's own.

  tshift register [MODULE]
  tshift unregister [MODULE]
      Registers or unregisters ovts.ax (default: the one beside tshift.exe, or the build
      tree's).

Exit status: 0 on success, 1 on an error (one line on standard error), 2 for a bad command
line, 3 when a graph operation hung and the watchdog ended the program.
)";
  text.replace(text.find("@NAMES@"), 7, names);
  return text;
}

}  // namespace ovts::tshift
