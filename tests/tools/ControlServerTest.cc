// The control channel between real clients (sockets and pipes) and a host that answers each
// command as tshift play does. Catches replies lost, sent to the wrong client or out of order
// when many clients talk at once, one client (silent, flooding, gone before its reply) holding up
// or breaking the others, a client past the limit that is kept hanging, and a last reply lost
// when the server stops.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tools/tshift/ControlServer.h"
#include "tools/tshift/HostSupport.h"

namespace ovts::tshift {
namespace {

constexpr DWORD kReplyLimitMs = 10000;

// Answers requests as the host's main thread would: "status" with a numbered line, "pause"
// only once released, anything else "ok". A request without a reply ends it.
class Host {
 public:
  explicit Host(CommandInput& input) : input_(input), released_(CreateEventW(nullptr, TRUE, TRUE, nullptr)) {
    thread_ = std::thread([this] { Run(); });
  }
  ~Host() {
    input_.Post({{HostCommand::kQuit}});
    thread_.join();
  }
  // While held, "pause" waits for Release; Holding is signalled once one waits.
  void Hold() {
    ResetEvent(holding_.get());
    ResetEvent(released_.get());
  }
  HANDLE Holding() const { return holding_.get(); }
  void Release() { SetEvent(released_.get()); }
  // Signalled once a quit is answered.
  HANDLE QuitAnswered() const { return quitAnswered_.get(); }

 private:
  void Run() {
    for (;;) {
      WaitForSingleObject(input_.Ready(), INFINITE);
      for (HostRequest r = input_.Take(); r.command.kind != HostCommand::kNone; r = input_.Take()) {
        if (!r.reply) return;
        if (r.command.kind == HostCommand::kPause) {
          SetEvent(holding_.get());
          WaitForSingleObject(released_.get(), INFINITE);
        }
        r.reply(r.command.kind == HostCommand::kStatus ? "PLAYING " + std::to_string(++statuses_) : "ok");
        if (r.command.kind == HostCommand::kQuit) SetEvent(quitAnswered_.get());
      }
    }
  }

  CommandInput& input_;
  UniqueHandle released_;
  UniqueHandle holding_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  UniqueHandle quitAnswered_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  int statuses_ = 0;  // host thread
  std::thread thread_;
};

// A client's end: a blocking socket or pipe, with a limit on every wait for a reply.
class Client {
 public:
  virtual ~Client() = default;
  virtual bool Send(const std::string& bytes) = 0;
  // The next reply line without its end; "<closed>" when the server closed the connection.
  std::string Line() {
    size_t end;
    while ((end = received_.find('\n')) == std::string::npos)
      if (!Receive(&received_)) return "<closed>";
    std::string line = received_.substr(0, end);
    received_.erase(0, end + 1);
    return line;
  }

 protected:
  virtual bool Receive(std::string* in) = 0;

 private:
  std::string received_;
};

class TcpClient final : public Client {
 public:
  explicit TcpClient(uint16_t port) : socket_(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)) {
    const DWORD limit = kReplyLimitMs;
    setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit), sizeof limit);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = connect(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  }
  ~TcpClient() override { closesocket(socket_); }
  bool connected() const { return connected_; }
  bool Send(const std::string& bytes) override {
    return send(socket_, bytes.data(), static_cast<int>(bytes.size()), 0) == static_cast<int>(bytes.size());
  }

 private:
  bool Receive(std::string* in) override {
    char buffer[1024];
    const int n = recv(socket_, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    in->append(buffer, static_cast<size_t>(n));
    return true;
  }

  const SOCKET socket_;
  bool connected_ = false;
};

class PipeClient final : public Client {
 public:
  explicit PipeClient(const std::string& name) {
    const std::wstring wide = Widen(name);
    WaitNamedPipeW(wide.c_str(), kReplyLimitMs);
    pipe_.reset(CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  }
  bool connected() const { return static_cast<bool>(pipe_); }
  bool Send(const std::string& bytes) override { return WriteAll(pipe_.get(), bytes.data(), bytes.size()); }

 private:
  bool Receive(std::string* in) override {
    // A reply that never comes fails the test instead of hanging it.
    tools::Watchdog::Scope limit(HostWatchdog(), "a reply on the pipe", kReplyLimitMs);
    char buffer[1024];
    DWORD n = 0;
    if (!ReadFile(pipe_.get(), buffer, sizeof buffer, &n, nullptr) || n == 0) return false;
    in->append(buffer, n);
    return true;
  }

  UniqueHandle pipe_;
};

class ControlChannel : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(winsock_.ok()); }

  uint16_t StartTcp(ControlServer& server) {
    std::string where, error;
    EXPECT_TRUE(server.Start(ControlAddress{}, &where, &error)) << error;
    ControlAddress bound;
    EXPECT_TRUE(ParseControlAddress(where, &bound, &error)) << where;
    EXPECT_NE(bound.port, 0) << "port 0 asks for a free port";
    return bound.port;
  }

  WinsockSession winsock_;
  CommandInput input_;
};

TEST_F(ControlChannel, FiftyClientsAtOnceEachInOrder) {
  // 50 clients, each with five lines in one write (a status, a pause, junk, a blank line, a
  // seek), while a silent client holds a connection: every client gets its four replies, in
  // its own order, and the status lines are numbered without a gap.
  Host host(input_);
  ControlServer server(input_);
  const uint16_t port = StartTcp(server);
  TcpClient silent(port);
  ASSERT_TRUE(silent.connected());
  std::vector<std::unique_ptr<TcpClient>> clients;
  for (int i = 0; i < 50; ++i) {
    clients.push_back(std::make_unique<TcpClient>(port));
    ASSERT_TRUE(clients.back()->connected()) << i;
  }
  for (auto& client : clients) ASSERT_TRUE(client->Send("status\npause\nrewind\n\nback 5\n"));
  std::vector<bool> seen(51, false);
  for (auto& client : clients) {
    const std::string status = client->Line();
    ASSERT_EQ(status.rfind("PLAYING ", 0), 0u) << status;
    const size_t number = std::stoul(status.substr(8));
    ASSERT_LE(number, 50u);
    EXPECT_FALSE(seen[number]) << "status " << number << " went to two clients";
    seen[number] = true;
    EXPECT_EQ(client->Line(), "ok");
    EXPECT_EQ(client->Line(), "error: unknown command 'rewind' (type help)");
    EXPECT_EQ(client->Line(), "ok");
  }
  ASSERT_TRUE(silent.Send("status\n"));
  EXPECT_EQ(silent.Line(), "PLAYING 51") << "the silent client, still served";
}

TEST_F(ControlChannel, FloodsAndDeparturesAreLetGo) {
  // A client whose commands pile up, and one gone before its reply, are let go; the others are
  // served throughout. (Junk and endless lines: the line reader's test and tshift_control.)
  Host host(input_);
  ControlServer server(input_);
  const uint16_t port = StartTcp(server);

  // A client whose commands pile up behind one the host has not answered is closed, without
  // disturbing the host.
  host.Hold();
  TcpClient flood(port);
  ASSERT_TRUE(flood.Send("pause\n"));
  const std::string many(1000, '\n');
  std::string flooding;
  for (int i = 0; i < 100; ++i) flooding += "status" + many;
  flood.Send(flooding);
  // Closing on unread bytes resets the connection, which may overtake the error line.
  const std::string refusal = flood.Line();
  EXPECT_TRUE(refusal.rfind("error: over 64 KB of commands waiting", 0) == 0 || refusal == "<closed>") << refusal;
  host.Release();

  // A client gone before its reply: the reply is dropped, the next client is served.
  host.Hold();
  {
    TcpClient gone(port);
    ASSERT_TRUE(gone.Send("pause\n"));
    ASSERT_EQ(WaitForSingleObject(host.Holding(), kReplyLimitMs), WAIT_OBJECT_0);
  }
  host.Release();
  TcpClient after(port);
  ASSERT_TRUE(after.Send("status\n"));
  EXPECT_EQ(after.Line(), "PLAYING 1");
}

TEST_F(ControlChannel, ClientsPastTheLimitAreToldAndClosed) {
  // The client past the limit is told and closed at once, and a departure frees its place.
  Host host(input_);
  ControlServer server(input_);
  const uint16_t port = StartTcp(server);
  std::vector<std::unique_ptr<TcpClient>> clients;
  for (size_t i = 0; i < ControlServer::kMaxClients; ++i) clients.push_back(std::make_unique<TcpClient>(port));
  // Once the last of them is answered, all are taken in.
  ASSERT_TRUE(clients.back()->Send("status\n"));
  EXPECT_EQ(clients.back()->Line(), "PLAYING 1");
  TcpClient extra(port);
  EXPECT_EQ(extra.Line(), "error: the control channel has 60 clients already");
  EXPECT_EQ(extra.Line(), "<closed>");
  clients.front().reset();
  // The server sees the departure before the next connection: the departure's reply first.
  ASSERT_TRUE(clients.back()->Send("status\n"));
  EXPECT_EQ(clients.back()->Line(), "PLAYING 2");
  TcpClient next(port);
  ASSERT_TRUE(next.Send("status\n"));
  EXPECT_EQ(next.Line(), "PLAYING 3");
}

TEST_F(ControlChannel, NamedPipeClientsAndTheLastReplyBeforeStopping) {
  // Over a named pipe: two clients at once, a last line without its end, a second server on the
  // same name refused, and the reply to quit delivered although the server stops right after.
  const std::string name = "\\\\.\\pipe\\tshift-control-test-" + std::to_string(GetCurrentProcessId());
  Host host(input_);
  auto server = std::make_unique<ControlServer>(input_);
  std::string where, error;
  ControlAddress address;
  ASSERT_TRUE(ParseControlAddress(name, &address, &error));
  ASSERT_TRUE(server->Start(address, &where, &error)) << error;
  EXPECT_EQ(where, name);
  ControlServer second(input_);
  EXPECT_FALSE(second.Start(address, &where, &error));
  EXPECT_NE(error.find("another program has it"), std::string::npos) << error;

  PipeClient one(name), two(name);
  ASSERT_TRUE(one.connected() && two.connected());
  ASSERT_TRUE(two.Send("status\nbogus\n"));
  ASSERT_TRUE(one.Send("status\n"));
  const std::string first = two.Line();
  EXPECT_EQ(first.rfind("PLAYING ", 0), 0u);
  EXPECT_EQ(two.Line(), "error: unknown command 'bogus' (type help)");
  EXPECT_EQ(one.Line().rfind("PLAYING ", 0), 0u);

  host.Hold();
  ASSERT_TRUE(one.Send("pause"));  // no line end: the line is whole once more comes
  ASSERT_TRUE(one.Send("\nquit\n"));
  host.Release();
  EXPECT_EQ(one.Line(), "ok");
  // The host answers quit, then the program stops its server at once.
  ASSERT_EQ(WaitForSingleObject(host.QuitAnswered(), kReplyLimitMs), WAIT_OBJECT_0);
  server.reset();
  EXPECT_EQ(one.Line(), "ok");
  EXPECT_EQ(one.Line(), "<closed>");
}

}  // namespace
}  // namespace ovts::tshift
