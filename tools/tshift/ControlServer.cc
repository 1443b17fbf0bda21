#include "tools/tshift/ControlServer.h"

#include <algorithm>

#include "tools/tshift/HostSupport.h"

namespace ovts::tshift {

class ControlLink {
 public:
  virtual ~ControlLink() = default;
  // Signalled when the client sent something, left, or can take more replies.
  virtual HANDLE Event() const = 0;
  // Appends what arrived to *in; false once the client has stopped sending.
  virtual bool Receive(std::string* in) = 0;
  // Sends what it can of *out, removing that; false when the client has gone or will not read.
  virtual bool Send(std::string* out) = 0;
};

class ControlListener {
 public:
  virtual ~ControlListener() = default;
  virtual HANDLE Event() const = 0;
  // A client that has connected, or null when none is waiting.
  virtual std::unique_ptr<ControlLink> Accept() = 0;
};

namespace {

constexpr size_t kReceiveChunk = 16 * 1024;
constexpr DWORD kPipeBuffer = 4096;
constexpr DWORD kPipeWriteLimitMs = 1000;

std::string SystemError(DWORD code) { return ErrorText(HRESULT_FROM_WIN32(code)); }

// Waits out an overlapped operation after asking it to stop: its record must outlive it.
void CancelAndWait(HANDLE file, OVERLAPPED* operation) {
  DWORD bytes = 0;
  CancelIoEx(file, operation);
  GetOverlappedResult(file, operation, &bytes, TRUE);
}

class TcpLink final : public ControlLink {
 public:
  explicit TcpLink(SOCKET socket) : socket_(socket), event_(WSACreateEvent()) {
    // Also makes the socket non-blocking.
    WSAEventSelect(socket_, event_, FD_READ | FD_WRITE | FD_CLOSE);
  }
  ~TcpLink() override {
    closesocket(socket_);
    WSACloseEvent(event_);
  }
  TcpLink(const TcpLink&) = delete;
  TcpLink& operator=(const TcpLink&) = delete;

  HANDLE Event() const override { return event_; }

  bool Receive(std::string* in) override {
    WSANETWORKEVENTS events{};
    WSAEnumNetworkEvents(socket_, event_, &events);
    char buffer[4096];
    // A socket with more to read signals again once read from.
    while (in->size() < kReceiveChunk) {
      const int n = recv(socket_, buffer, sizeof buffer, 0);
      if (n > 0) {
        in->append(buffer, static_cast<size_t>(n));
        continue;
      }
      return n < 0 && WSAGetLastError() == WSAEWOULDBLOCK;
    }
    return true;
  }

  bool Send(std::string* out) override {
    while (!out->empty()) {
      const int n = send(socket_, out->data(), static_cast<int>(std::min<size_t>(out->size(), 65536)), 0);
      if (n > 0) {
        out->erase(0, static_cast<size_t>(n));
        continue;
      }
      // The rest goes when the socket signals room; a client that never reads is let go.
      return n < 0 && WSAGetLastError() == WSAEWOULDBLOCK && out->size() <= ControlServer::kMaxPending;
    }
    return true;
  }

 private:
  const SOCKET socket_;
  const WSAEVENT event_;
};

class TcpListener final : public ControlListener {
 public:
  // Listens on 127.0.0.1:port; *bound receives the port (the system's choice for 0).
  static std::unique_ptr<TcpListener> Open(uint16_t port, uint16_t* bound, std::string* error) {
    auto listener = std::unique_ptr<TcpListener>(new TcpListener(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    const SOCKET s = listener->socket_;
    if (s == INVALID_SOCKET || !listener->event_ ||
        bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || listen(s, SOMAXCONN) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        WSAEventSelect(s, listener->event_, FD_ACCEPT) != 0) {
      *error = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + SystemError(WSAGetLastError());
      return nullptr;
    }
    *bound = ntohs(address.sin_port);
    return listener;
  }
  ~TcpListener() override {
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
    if (event_) WSACloseEvent(event_);
  }

  HANDLE Event() const override { return event_; }

  std::unique_ptr<ControlLink> Accept() override {
    WSANETWORKEVENTS events{};
    WSAEnumNetworkEvents(socket_, event_, &events);
    const SOCKET client = accept(socket_, nullptr, nullptr);
    if (client == INVALID_SOCKET) return nullptr;
    return std::make_unique<TcpLink>(client);
  }

 private:
  explicit TcpListener(SOCKET s) : socket_(s), event_(WSACreateEvent()) {}

  const SOCKET socket_;
  const WSAEVENT event_;
};

class PipeLink final : public ControlLink {
 public:
  explicit PipeLink(HANDLE pipe)
      : pipe_(pipe), readEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
        writeEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    StartRead();
  }
  ~PipeLink() override {
    if (reading_) CancelAndWait(pipe_.get(), &read_);
  }
  PipeLink(const PipeLink&) = delete;
  PipeLink& operator=(const PipeLink&) = delete;

  HANDLE Event() const override { return readEvent_.get(); }

  bool Receive(std::string* in) override {
    while (reading_ && in->size() < kReceiveChunk) {
      DWORD n = 0;
      if (!GetOverlappedResult(pipe_.get(), &read_, &n, FALSE)) {
        if (GetLastError() == ERROR_IO_INCOMPLETE) return true;
        reading_ = false;
        break;
      }
      reading_ = false;
      in->append(buffer_, n);
      StartRead();
    }
    return reading_;
  }

  bool Send(std::string* out) override {
    while (!out->empty()) {
      OVERLAPPED write{};
      write.hEvent = writeEvent_.get();
      DWORD n = 0;
      const DWORD piece = static_cast<DWORD>(std::min<size_t>(out->size(), kPipeBuffer));
      if (!WriteFile(pipe_.get(), out->data(), piece, nullptr, &write)) {
        if (GetLastError() != ERROR_IO_PENDING) return false;
        // A client that does not read its replies holds this thread for a second at most.
        if (WaitForSingleObject(writeEvent_.get(), kPipeWriteLimitMs) != WAIT_OBJECT_0) {
          CancelAndWait(pipe_.get(), &write);
          return false;
        }
      }
      if (!GetOverlappedResult(pipe_.get(), &write, &n, TRUE)) return false;
      out->erase(0, n);
    }
    return true;
  }

 private:
  void StartRead() {
    read_ = OVERLAPPED{};
    read_.hEvent = readEvent_.get();
    // Finished at once or not, the event tells; a broken pipe leaves it set for Receive to see.
    reading_ = ReadFile(pipe_.get(), buffer_, sizeof buffer_, nullptr, &read_) || GetLastError() == ERROR_IO_PENDING;
    if (!reading_) SetEvent(readEvent_.get());
  }

  UniqueHandle pipe_;
  UniqueHandle readEvent_;
  UniqueHandle writeEvent_;
  OVERLAPPED read_{};
  bool reading_ = false;
  char buffer_[kPipeBuffer];
};

class PipeListener final : public ControlListener {
 public:
  static std::unique_ptr<PipeListener> Open(const std::string& name, std::string* error) {
    auto listener = std::unique_ptr<PipeListener>(new PipeListener(Widen(name)));
    // Wine does not refuse a second first instance, so look for the name's owner first.
    if (WaitNamedPipeW(listener->name_.c_str(), 1) || GetLastError() != ERROR_FILE_NOT_FOUND) {
      *error = "cannot make the pipe " + name + ": another program has it";
      return nullptr;
    }
    if (!listener->event_ || !listener->Listen(true)) {
      const DWORD code = GetLastError();
      *error = "cannot make the pipe " + name + ": " +
               (code == ERROR_ACCESS_DENIED ? std::string("another program has it") : SystemError(code));
      return nullptr;
    }
    return listener;
  }
  ~PipeListener() override {
    if (pending_ && !connected_) CancelAndWait(pending_.get(), &connect_);
  }

  HANDLE Event() const override { return event_.get(); }

  std::unique_ptr<ControlLink> Accept() override {
    if (!pending_) {
      Listen(false);
      return nullptr;
    }
    DWORD bytes = 0;
    if (!connected_ && !GetOverlappedResult(pending_.get(), &connect_, &bytes, FALSE)) {
      if (GetLastError() == ERROR_IO_INCOMPLETE) return nullptr;
      // The client left before it was taken: listen on a new instance.
      pending_.reset();
      Listen(false);
      return nullptr;
    }
    auto link = std::make_unique<PipeLink>(pending_.release());
    Listen(false);
    return link;
  }

 private:
  explicit PipeListener(std::wstring name) : name_(std::move(name)), event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

  // A new instance of the pipe, waiting for a client. The first one claims the name: a second
  // program asking for the same pipe is refused.
  bool Listen(bool first) {
    connected_ = false;
    ResetEvent(event_.get());
    HANDLE pipe = CreateNamedPipeW(name_.c_str(),
                                   PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
                                   PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                   PIPE_UNLIMITED_INSTANCES, kPipeBuffer, kPipeBuffer, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return false;
    pending_.reset(pipe);
    connect_ = OVERLAPPED{};
    connect_.hEvent = event_.get();
    if (ConnectNamedPipe(pipe, &connect_) || GetLastError() == ERROR_PIPE_CONNECTED) {
      connected_ = true;
      SetEvent(event_.get());
    } else if (GetLastError() != ERROR_IO_PENDING) {
      pending_.reset();
      return false;
    }
    return true;
  }

  const std::wstring name_;
  UniqueHandle event_;
  UniqueHandle pending_;  // the instance waiting for a client
  OVERLAPPED connect_{};
  bool connected_ = false;  // a client came before the wait began
};

}  // namespace

ControlServer::ControlServer(CommandInput& input) : input_(input), wake_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

ControlServer::~ControlServer() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stopping_ = true;
  }
  SetEvent(wake_.get());
  thread_.join();
}

bool ControlServer::Start(const ControlAddress& address, std::string* where, std::string* error) {
  if (!wake_ || (address.kind == ControlAddress::kTcp && !winsock_.ok())) {
    *error = "cannot start the control channel: " + SystemError(GetLastError());
    return false;
  }
  if (address.kind == ControlAddress::kTcp) {
    ControlAddress bound = address;
    listener_ = TcpListener::Open(address.port, &bound.port, error);
    *where = FormatControlAddress(bound);
  } else {
    listener_ = PipeListener::Open(address.pipeName, error);
    *where = address.pipeName;
  }
  if (!listener_) return false;
  thread_ = std::thread([this] { Serve(); });
  return true;
}

void ControlServer::Serve() {
  for (;;) {
    std::vector<HANDLE> handles = {wake_.get(), listener_->Event()};
    for (const auto& c : connections_)
      if (!c->ended) handles.push_back(c->link->Event());
    WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, INFINITE);
    bool stopping = false;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      stopping = stopping_;
    }
    OnReplies();
    if (stopping) break;
    // Every signalled handle gets its turn, so that a busy client keeps no other waiting.
    if (WaitForSingleObject(listener_->Event(), 0) == WAIT_OBJECT_0) OnAccept();
    for (auto it = connections_.begin(); it != connections_.end();) {
      Connection& c = **it;
      const bool keep = c.ended || WaitForSingleObject(c.link->Event(), 0) != WAIT_OBJECT_0 || Take(c);
      it = keep ? it + 1 : connections_.erase(it);
    }
  }
  connections_.clear();
}

bool ControlServer::Take(Connection& c) {
  std::string in;
  c.ended = !c.link->Receive(&in);
  // A last line without its end still counts.
  if (c.ended && (c.lines.Pending() > 0 || (!in.empty() && in.back() != '\n'))) in += '\n';
  c.lines.Feed(in.data(), in.size());
  return Pump(c);
}

void ControlServer::OnReplies() {
  std::deque<std::pair<uint64_t, std::string>> replies;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    replies.swap(replies_);
  }
  for (const auto& [id, line] : replies) {
    const auto it = std::find_if(connections_.begin(), connections_.end(), [id = id](const auto& c) { return c->id == id; });
    if (it == connections_.end()) continue;  // the client has gone
    (*it)->out += line + "\n";
    (*it)->waiting = false;
    if (!Pump(**it)) connections_.erase(it);
  }
}

void ControlServer::OnAccept() {
  while (std::unique_ptr<ControlLink> link = listener_->Accept()) {
    if (connections_.size() >= kMaxClients) {
      std::string refusal = "error: the control channel has " + std::to_string(kMaxClients) + " clients already\n";
      link->Send(&refusal);
      continue;
    }
    auto connection = std::make_unique<Connection>();
    connection->id = nextId_++;
    connection->link = std::move(link);
    // What came before the connection was taken in may have left no signal behind.
    if (Take(*connection)) connections_.push_back(std::move(connection));
  }
}

bool ControlServer::Pump(Connection& c) {
  std::string line, error;
  while (!c.waiting && c.lines.Next(&line, &error)) {
    if (!error.empty()) {
      c.out += "error: " + error + "\n";
      continue;
    }
    const HostCommand command = CommandForLine(line, &error);
    if (command.kind == HostCommand::kNone) {
      if (!error.empty()) c.out += "error: " + error + "\n";
      continue;
    }
    c.waiting = true;
    input_.Post({command, [this, id = c.id](const std::string& reply) { Reply(id, reply); }});
  }
  bool keep = true;
  if (c.lines.Pending() > kMaxPending) {
    c.out += "error: over " + std::to_string(kMaxPending / 1024) + " KB of commands waiting; closing\n";
    keep = false;
  }
  // A client that has stopped sending is let go once its last command is answered.
  return c.link->Send(&c.out) && keep && !(c.ended && !c.waiting);
}

void ControlServer::Reply(uint64_t id, const std::string& line) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    replies_.emplace_back(id, line);
  }
  SetEvent(wake_.get());
}

}  // namespace ovts::tshift
