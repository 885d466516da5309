#pragma once
// The request listener: one socket on every local address (IPv6 and IPv4), or
// on the one address named, and one thread per accepted connection that reads
// what the client sends and writes the replies it is handed. Connections
// beyond the cap and from addresses not allowed are closed at once. The
// server joins every thread it started: a connection's thread is reaped as
// soon as its connection has closed.
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"

namespace tarvina {

class MainLoop;

// The writing side of a client connection, as request processing sees it.
class Connection {
 public:
  virtual ~Connection() = default;
  // Hands the bytes over to be written and returns at once, never waiting for
  // the client; what is handed over goes out in that order. `done`, when
  // given, runs once, on the main thread (through its loop): done(true) when
  // the socket has taken every byte, done(false) when the bytes were dropped
  // (not taken within the write limit, the client gone, the connection closed).
  virtual void Write(const std::string& bytes, std::function<void(bool delivered)> done = {}) = 0;
  // The client's address as text: "192.168.1.20", "fe80::1"; an IPv4 client
  // of the dual-stack listener as plain IPv4.
  virtual std::string PeerAddress() const = 0;
};

// Where a connection's done reports go to be run on the main thread.
class CompletionQueue {
 public:
  // Without a loop the reports run at once, on the thread that has them.
  explicit CompletionQueue(MainLoop* loop) : loop_(loop) {}
  void Add(std::function<void()> fn);
  // Main thread: runs the reports that came so far. The loop runs them by
  // itself; after it has quit, whoever stops the server calls this.
  void Run();

 private:
  MainLoop* loop_;
  std::mutex mu_;
  std::vector<std::function<void()>> pending_;
  bool posted_ = false;
};

// How long a reply may wait, in total, for the client to take it.
constexpr int kWriteTimeoutSeconds = 10;

// A client socket, read by its own thread, which also writes whatever was
// handed to Write(): a client that does not read holds only that thread.
class TcpConnection final : public Connection {
 public:
  struct Limits {
    Millis write_ms = kWriteTimeoutSeconds * 1000;  // per reply, from its hand-over
    Millis idle_ms = 0;                             // 0: no limit
  };
  // Takes the socket; `wake_fd` is an eventfd of its own.
  TcpConnection(int fd, int wake_fd, std::string peer, Limits limits, CompletionQueue& completions);
  ~TcpConnection() override;
  TcpConnection(const TcpConnection&) = delete;
  TcpConnection& operator=(const TcpConnection&) = delete;

  // The connection's own thread. Writes what was handed over, then waits for
  // bytes from the client: none are read while a reply waits to be taken.
  // The count read; 0 when the client closed, the read failed, a reply was
  // not taken within its limit, nothing came for idle_ms (counted from the
  // call, or from the last reply taken), or Close() was called.
  std::size_t Read(std::uint8_t* buf, std::size_t n);
  void Write(const std::string& bytes, std::function<void(bool delivered)> done = {}) override;
  std::string PeerAddress() const override { return peer_; }

  // Any thread: the connection ends once what was handed over is written
  // (each reply within its limit); a waiting Read() returns 0.
  void Close();
  // The connection's own thread, last: writes what is left, as Close() says,
  // and shuts the socket down; what is handed over later is dropped.
  void Finish();

 private:
  struct Pending {
    std::string bytes;
    std::size_t sent = 0;
    Millis deadline = 0;
    std::function<void(bool)> done;
  };
  // Sends what the socket takes now; false once the connection failed.
  bool SendPending();
  bool Writing();
  void Fail();
  void Report(std::function<void(bool)>& done, bool delivered);
  void WaitForWake();

  const int fd_;
  const int wake_fd_;
  const std::string peer_;
  const Limits limits_;
  CompletionQueue& completions_;
  Millis quiet_since_ = 0;  // own thread: start of the idle count

  std::optional<Pending> current_;  // own thread: the reply being sent
  std::mutex mu_;
  std::deque<Pending> queue_;  // handed over, not begun
  bool sending_ = false;       // the own thread has a reply in hand (current_)
  bool polling_ = false;       // the own thread waits in poll()
  bool woken_ = false;         // wake_fd_ was signalled since
  bool closing_ = false;
  bool failed_ = false;        // nothing more goes out
};

// Addresses and CIDR ranges, IPv4 and IPv6, that may connect.
class AddressFilter {
 public:
  // A comma-separated list ("192.168.1.10, 10.0.0.0/8, fe80::/10"). Entries
  // that are no address or range are left out and named in `bad`; a list
  // that names something, even only bad entries, lets only its ranges in.
  static AddressFilter Parse(const std::string& list, std::vector<std::string>& bad);
  // Nothing configured: everyone may connect.
  bool AllowsEveryone() const { return !active_; }
  bool Allows(const sockaddr* addr) const;

 private:
  struct Range {
    int family;
    std::uint8_t bytes[16];
    int prefix;
  };
  bool active_ = false;
  std::vector<Range> ranges_;
};

// The address of a socket as text (an IPv4-mapped IPv6 address as IPv4).
std::string AddressText(const sockaddr* addr);

class TcpServer {
 public:
  // Runs on the connection's own thread for the connection's whole life; the
  // connection is finished and closed when it returns.
  using Handler = std::function<void(TcpConnection&)>;

  struct Settings {
    std::string bind;               // "" = every local address, IPv6 and IPv4
    AddressFilter allow;            // who may connect
    std::size_t max_connections = 64;
    TcpConnection::Limits limits;
  };

  // With a loop, done reports run on its thread; without, on the connection's.
  explicit TcpServer(Handler handler, MainLoop* loop = nullptr);
  ~TcpServer();  // Stop()
  TcpServer(const TcpServer&) = delete;
  TcpServer& operator=(const TcpServer&) = delete;

  // Before Listen().
  void Configure(Settings settings) { settings_ = std::move(settings); }
  // Listens on `port` (0: any free port) of the configured address. On
  // failure returns false with the reason in `reason`.
  bool Listen(std::uint16_t port, std::string& reason);
  // Listen() succeeded and Stop() has not run yet.
  bool Listening() const { return listen_fd_ >= 0; }
  // The port actually bound (useful after Listen(0)).
  std::uint16_t Port() const { return port_; }

  // Closes the listening socket, closes every connection (each writes what
  // was handed to it first, within its limit) and joins all threads.
  // Handlers must return once their reads fail.
  void Stop();
  // Main thread, after Stop() when the loop has quit: the done reports the
  // loop did not run.
  void RunCompletions() { completions_.Run(); }

  // Connections whose thread has not yet been reaped.
  std::size_t ConnectionCount() const;

  // One line for the operator about connections refused, on the listener
  // thread. Set before Listen().
  std::function<void(const std::string&)> OnNotice;

 private:
  struct Conn {
    std::unique_ptr<TcpConnection> connection;
    // Started with pthread_create, whose failure is a plain error code: a
    // client refused for want of a thread must cost no exception.
    pthread_t thread{};
    bool started = false;
    bool done = false;
  };
  // Connections refused in a row, told in one line when they stop coming.
  struct Refusals {
    int count = 0;
    std::string reason;
    Millis first = 0, last = 0;
  };

  void AcceptLoop();
  void AcceptOne(int lfd, bool& backoff);
  // False when the client had to be refused (counted as a refusal).
  bool StartConnection(int fd, std::string peer);
  void RunConnection(Conn& c);
  void Refuse(const std::string& reason);
  // Tells a burst of refusals once it is over (or has lasted long), and how
  // long the listener may wait before it looks again (-1: no limit).
  int TellRefusals(bool force);
  void Notice(const std::string& line);
  void Reap(bool all);
  void WakeAcceptLoop();

  Handler handler_;
  CompletionQueue completions_;
  Settings settings_;
  int listen_fd_ = -1;
  int wake_fd_ = -1;   // eventfd: a connection ended, or stop
  int spare_fd_ = -1;  // given up to refuse a client when descriptors run out
  std::uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  Refusals refusals_;  // listener thread only
  std::thread acceptor_;
  mutable std::mutex mu_;
  std::list<Conn> conns_;
};

// Raises the soft limit on open descriptors to the hard one.
void RaiseDescriptorLimit();

// Sends every byte (no SIGPIPE); 0, or the errno of the failure.
int SendAll(int fd, const std::string& bytes);

// Connects to host:port (name or address, IPv4 or IPv6). Returns the socket,
// or -1 with the reason in `reason`.
int ConnectTcp(const std::string& host, std::uint16_t port, std::string& reason);

}  // namespace tarvina
