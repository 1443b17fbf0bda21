#include "tools/tshift/ControlProtocol.h"

#include <cerrno>
#include <cstdlib>

namespace ovts::tshift {

namespace {

bool ParsePort(const std::string& text, uint16_t* port) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  const unsigned long value = std::strtoul(text.c_str(), nullptr, 10);
  if (value > 65535) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

}  // namespace

bool ParseControlAddress(const std::string& text, ControlAddress* address, std::string* error) {
  *address = ControlAddress();
  const std::string prefix = kPipePrefix;
  if (text.compare(0, prefix.size(), prefix) == 0) {
    const std::string name = text.substr(prefix.size());
    if (name.empty() || name.size() > 240 || name.find_first_of("\\/") != std::string::npos) {
      *error = "a pipe for the control channel is named \\\\.\\pipe\\NAME, with a NAME of letters, not '" + text + "'";
      return false;
    }
    address->kind = ControlAddress::kPipe;
    address->pipeName = text;
    return true;
  }
  const size_t colon = text.rfind(':');
  const std::string host = colon == std::string::npos ? std::string(kControlHost) : text.substr(0, colon);
  const std::string port = colon == std::string::npos ? text : text.substr(colon + 1);
  if (host != kControlHost && host != "localhost") {
    *error = "the control channel listens on 127.0.0.1 only, not on '" + host + "'";
    return false;
  }
  if (!ParsePort(port, &address->port)) {
    *error = "a control channel is a port (0 to 65535, as in 127.0.0.1:7700) or a pipe (\\\\.\\pipe\\NAME), not '" +
             text + "'";
    return false;
  }
  return true;
}

std::string FormatControlAddress(const ControlAddress& address) {
  if (address.kind == ControlAddress::kPipe) return address.pipeName;
  return std::string(kControlHost) + ":" + std::to_string(address.port);
}

void ControlLineReader::Feed(const char* data, size_t size) {
  // Lines already given out go before the buffer grows.
  buffer_.erase(0, taken_);
  taken_ = 0;
  buffer_.append(data, size);
}

bool ControlLineReader::Next(std::string* line, std::string* error) {
  line->clear();
  error->clear();
  for (;;) {
    const size_t end = buffer_.find('\n', taken_);
    if (skipping_) {
      if (end == std::string::npos) {
        taken_ = buffer_.size();
        return false;
      }
      skipping_ = false;
      taken_ = end + 1;
      continue;
    }
    if (end == std::string::npos) {
      if (Pending() <= kMaxLine) return false;
      skipping_ = true;
      taken_ = buffer_.size();
      *error = "line longer than " + std::to_string(kMaxLine) + " bytes";
      return true;
    }
    std::string text = buffer_.substr(taken_, end - taken_);
    taken_ = end + 1;
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.size() > kMaxLine) {
      *error = "line longer than " + std::to_string(kMaxLine) + " bytes";
      return true;
    }
    for (const char c : text) {
      const unsigned char u = static_cast<unsigned char>(c);
      if ((u < 0x20 && c != '\t') || u >= 0x7f) {
        *error = "not a command line (control bytes or bytes outside ASCII)";
        return true;
      }
    }
    *line = text;
    return true;
  }
}

}  // namespace ovts::tshift
