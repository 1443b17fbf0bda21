// The control channel of `tshift play`: command lines from other programs, over TCP on
// 127.0.0.1 or over a named pipe, from many clients at once (up to kMaxClients; one
// more is told so and closed). A client's lines are answered in order, one reply line each:
// bad lines at once, commands once the host has carried them out. A client whose lines pile up
// unanswered (over kMaxPending bytes), or who will not read its replies, is closed. Nothing a
// client sends reaches the graph but through the host's commands.
//
// Threads: the host's main thread calls Start and the destructor; the server's own thread
// serves every connection and queues the commands into the CommandInput; replies come back from
// the main thread through the requests.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "framework/ComKit.h"
#include "tools/tshift/CommandInput.h"
#include "tools/tshift/ControlProtocol.h"

namespace ovts::tshift {

class ControlLink;      // one client's end, TCP or pipe
class ControlListener;  // where clients connect

// Winsock for a scope.
class [[nodiscard]] WinsockSession {
 public:
  WinsockSession() {
    WSADATA data;
    ok_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~WinsockSession() {
    if (ok_) WSACleanup();
  }
  WinsockSession(const WinsockSession&) = delete;
  WinsockSession& operator=(const WinsockSession&) = delete;
  bool ok() const { return ok_; }

 private:
  bool ok_ = false;
};

class ControlServer {
 public:
  // Within the 64 handles one thread can wait on, beside its wake event and the listener.
  static constexpr size_t kMaxClients = 60;
  static constexpr size_t kMaxPending = 64 * 1024;

  explicit ControlServer(CommandInput& input);
  // Sends the replies given so far, then closes every connection.
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  // Listens at the address; *where names it as clients reach it (the port the system chose for
  // port 0). False with *error set when it cannot.
  bool Start(const ControlAddress& address, std::string* where, std::string* error);

 private:
  struct Connection {
    uint64_t id;
    std::unique_ptr<ControlLink> link;
    ControlLineReader lines;
    std::string out;
    bool waiting = false;  // a command is with the host
    bool ended = false;    // the client sends no more
  };

  void Serve();
  void OnReplies();
  void OnAccept();
  // Takes in what the client sent, then pumps; false to close.
  bool Take(Connection& connection);
  // Answers what can be answered, passes the next command on, and sends; false to close.
  bool Pump(Connection& connection);
  void Reply(uint64_t id, const std::string& line);

  CommandInput& input_;
  WinsockSession winsock_;
  UniqueHandle wake_;  // auto-reset: replies are queued, or the server is stopping
  std::unique_ptr<ControlListener> listener_;
  std::vector<std::unique_ptr<Connection>> connections_;  // server thread
  uint64_t nextId_ = 1;                                   // server thread
  std::mutex mutex_;
  std::deque<std::pair<uint64_t, std::string>> replies_;  // mutex_
  bool stopping_ = false;                                 // mutex_
  std::thread thread_;
};

}  // namespace ovts::tshift
