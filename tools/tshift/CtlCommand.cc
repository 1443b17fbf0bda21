// `tshift ctl`: a client of the control channel of `tshift play --control`. Sends one command
// line at a time and prints its reply line before sending the next.
#include <winsock2.h>
#include <windows.h>

#include <memory>
#include <string>

#include "tools/tshift/Commands.h"
#include "tools/tshift/ControlProtocol.h"
#include "tools/tshift/ControlServer.h"
#include "tools/tshift/HostSupport.h"

namespace ovts::tshift {

namespace {

constexpr DWORD kReplyLimitMs = 10000;
constexpr DWORD kPipeBusyWaitMs = 5000;

// One connection to the channel.
class Channel {
 public:
  virtual ~Channel() = default;
  virtual bool Write(const std::string& bytes) = 0;
  // Appends what arrives next; false at the end of the connection.
  virtual bool Read(std::string* in) = 0;
};

class TcpChannel final : public Channel {
 public:
  explicit TcpChannel(SOCKET s) : socket_(s) {}
  ~TcpChannel() override { closesocket(socket_); }
  TcpChannel(const TcpChannel&) = delete;
  TcpChannel& operator=(const TcpChannel&) = delete;

  static std::unique_ptr<Channel> Connect(uint16_t port, std::string* error) {
    auto channel = std::make_unique<TcpChannel>(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (channel->socket_ == INVALID_SOCKET ||
        connect(channel->socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      *error = ErrorText(HRESULT_FROM_WIN32(WSAGetLastError()));
      return nullptr;
    }
    return channel;
  }

  bool Write(const std::string& bytes) override {
    for (size_t at = 0; at < bytes.size();) {
      const int n = send(socket_, bytes.data() + at, static_cast<int>(bytes.size() - at), 0);
      if (n <= 0) return false;
      at += static_cast<size_t>(n);
    }
    return true;
  }

  bool Read(std::string* in) override {
    char buffer[4096];
    const int n = recv(socket_, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    in->append(buffer, static_cast<size_t>(n));
    return true;
  }

 private:
  const SOCKET socket_;
};

class PipeChannel final : public Channel {
 public:
  explicit PipeChannel(HANDLE pipe) : pipe_(pipe) {}

  static std::unique_ptr<Channel> Connect(const std::string& name, std::string* error) {
    const std::wstring wide = Widen(name);
    for (;;) {
      HANDLE pipe = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
      if (pipe != INVALID_HANDLE_VALUE) return std::make_unique<PipeChannel>(pipe);
      // Every instance is taken while the server makes the next one.
      if (GetLastError() != ERROR_PIPE_BUSY || !WaitNamedPipeW(wide.c_str(), kPipeBusyWaitMs)) {
        *error = ErrorText(HRESULT_FROM_WIN32(GetLastError()));
        return nullptr;
      }
    }
  }

  bool Write(const std::string& bytes) override { return WriteAll(pipe_.get(), bytes.data(), bytes.size()); }

  bool Read(std::string* in) override {
    char buffer[4096];
    DWORD n = 0;
    if (!ReadFile(pipe_.get(), buffer, sizeof buffer, &n, nullptr) || n == 0) return false;
    in->append(buffer, n);
    return true;
  }

 private:
  UniqueHandle pipe_;
};

// Sends lines and collects their replies.
class Client {
 public:
  explicit Client(Channel& channel) : channel_(channel) {}

  // Sends a line and prints its reply; false when the connection failed (said on standard
  // error). Blank lines get no reply and are not sent.
  bool Ask(const std::string& line) {
    if (line.find_first_not_of(" \t") == std::string::npos) return true;
    if (!channel_.Write(line + "\n")) {
      Fail("the control channel closed the connection");
      return false;
    }
    tools::Watchdog::Scope limit(HostWatchdog(), "the control channel's reply", kReplyLimitMs);
    size_t end;
    while ((end = received_.find('\n')) == std::string::npos)
      if (!channel_.Read(&received_)) {
        Fail("the control channel closed the connection before replying to '" + line + "'");
        return false;
      }
    const std::string reply = received_.substr(0, end + 1);
    received_.erase(0, end + 1);
    WriteOutput(reply);
    if (reply.compare(0, 6, "error:") == 0) refused_ = true;
    return true;
  }

  bool Refused() const { return refused_; }

 private:
  Channel& channel_;
  std::string received_;
  bool refused_ = false;  // some reply was an error
};

}  // namespace

int RunCtl(const Options& options) {
  ControlAddress address;
  std::string error;
  if (!ParseControlAddress(options.control, &address, &error)) return Fail(error);
  for (const std::string& line : options.lines)
    if (line.find_first_of("\r\n") != std::string::npos) return Fail("a COMMAND is one line, without line ends");
  WinsockSession winsock;
  std::unique_ptr<Channel> channel = address.kind == ControlAddress::kTcp
                                         ? (winsock.ok() ? TcpChannel::Connect(address.port, &error) : nullptr)
                                         : PipeChannel::Connect(address.pipeName, &error);
  if (!channel) return Fail("cannot reach the control channel at " + FormatControlAddress(address) + ": " + error);
  Client client(*channel);
  if (options.lines.empty()) {
    std::string line;
    while (ReadLine(GetStdHandle(STD_INPUT_HANDLE), &line))
      if (!client.Ask(line)) return kExitError;
  }
  for (const std::string& line : options.lines)
    if (!client.Ask(line)) return kExitError;
  return client.Refused() ? kExitError : kExitOk;
}

}  // namespace ovts::tshift
