// The control channel's protocol, in the manner of VLC's rc interface: a client sends command
// lines (the same lines as typed at the terminal) and gets one reply line for each, "ok", the
// status line for "status", or "error: WHY". Blank lines get no reply. Where the channel
// listens: a TCP port on 127.0.0.1 (never another interface) or a named pipe.
// Portable; the address parser is a pure function, a line reader belongs to one connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ovts::tshift {

struct ControlAddress {
  enum Kind { kTcp, kPipe };
  Kind kind = kTcp;
  uint16_t port = 0;     // kTcp; 0 lets the system choose
  std::string pipeName;  // kPipe: the whole name, \\.\pipe\NAME
};

inline constexpr char kControlHost[] = "127.0.0.1";
inline constexpr char kPipePrefix[] = "\\\\.\\pipe\\";

// "PORT", "127.0.0.1:PORT", "localhost:PORT" or "\\.\pipe\NAME". False with a one-line error
// for anything else, other hosts included.
bool ParseControlAddress(const std::string& text, ControlAddress* address, std::string* error);
// "127.0.0.1:PORT" or the pipe's name.
std::string FormatControlAddress(const ControlAddress& address);

// Cuts the bytes from one client into lines (LF or CRLF). A line longer than kMaxLine is refused
// as soon as it passes the limit, and its rest is skipped up to its end; a line with control
// bytes or bytes outside ASCII is refused whole.
class ControlLineReader {
 public:
  static constexpr size_t kMaxLine = 1024;

  void Feed(const char* data, size_t size);
  // The next line: true with either *line or *error set; false until more bytes complete one.
  bool Next(std::string* line, std::string* error);
  // Bytes received but not yet given out.
  size_t Pending() const { return buffer_.size() - taken_; }

 private:
  std::string buffer_;
  size_t taken_ = 0;         // bytes of buffer_ given out already
  bool skipping_ = false;    // inside an over-long line, after its error
};

}  // namespace ovts::tshift
