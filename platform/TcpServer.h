#pragma once
// The request listener: one socket on every local address (IPv6 and IPv4),
// one thread per accepted connection, blocking reads on that thread and
// writes from whoever answers. The server joins every thread it started:
// a connection's thread is reaped as soon as its connection has closed.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

namespace tarvina {

// Raised when a reply cannot be written: the client has gone or stopped reading.
class WriteFailed : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The writing side of a client connection, as request processing sees it.
class Connection {
 public:
  virtual ~Connection() = default;
  // Hands the reply over. `done`, when given, is called once on the main
  // thread: true when every byte was taken, false when the reply was dropped.
  // A failed write raises WriteFailed (after `done(false)`).
  virtual void Write(const std::string& bytes, std::function<void(bool delivered)> done = {}) = 0;
  // The client's address as text (an IPv4-mapped IPv6 address as plain IPv4),
  // or "" when unknown.
  virtual std::string PeerAddress() const { return {}; }
};

// A socket that is written whole, with a time limit per write, so that a
// client that never reads cannot hold the writer for ever.
class TcpConnection final : public Connection {
 public:
  explicit TcpConnection(int fd);
  ~TcpConnection() override;
  TcpConnection(const TcpConnection&) = delete;
  TcpConnection& operator=(const TcpConnection&) = delete;

  // Blocks until bytes arrive; 0 when the peer closed, the read failed or
  // Shutdown() was called.
  std::size_t Read(std::uint8_t* buf, std::size_t n);
  void Write(const std::string& bytes, std::function<void(bool delivered)> done = {}) override;
  std::string PeerAddress() const override;
  // Ends both directions; a blocked Read() returns 0. Any thread.
  void Shutdown();
  int fd() const { return fd_; }

 private:
  int fd_;
  std::string peer_;  // PeerAddress(), read when the connection was accepted
};

// How long one write may wait for the peer to take bytes.
constexpr int kWriteTimeoutSeconds = 10;

class TcpServer {
 public:
  // Runs on the connection's own thread for the connection's whole life; the
  // connection is closed when it returns.
  using Handler = std::function<void(TcpConnection&)>;

  explicit TcpServer(Handler handler);
  ~TcpServer();  // Stop()
  TcpServer(const TcpServer&) = delete;
  TcpServer& operator=(const TcpServer&) = delete;

  // Listens on every local address of `port` (0: any free port). On failure
  // returns false with the system's reason in `reason`.
  bool Listen(std::uint16_t port, std::string& reason);
  // Listen() succeeded and Stop() has not run yet.
  bool Listening() const { return listen_fd_ >= 0; }
  // The port actually bound (useful after Listen(0)).
  std::uint16_t Port() const { return port_; }

  // Closes the listening socket; open connections go on.
  void StopAccepting();
  // Closes the listening socket, shuts every connection down and joins all
  // threads. Handlers must return once their reads fail.
  void Stop();

  // Connections whose thread has not yet been reaped.
  std::size_t ConnectionCount() const;

 private:
  struct Conn {
    std::unique_ptr<TcpConnection> connection;
    std::thread thread;
    bool done = false;
  };

  void AcceptLoop();
  void StartConnection(int fd);
  void Reap(bool all);
  void WakeAcceptLoop();

  Handler handler_;
  int listen_fd_ = -1;
  int wake_fd_ = -1;  // eventfd: a connection ended, or stop
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_accepting_{false};
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  mutable std::mutex mu_;
  std::list<Conn> conns_;
};

// Sends every byte (no SIGPIPE); 0, or the errno of the failure.
int SendAll(int fd, const std::string& bytes);

// Connects to host:port (name or address, IPv4 or IPv6). Returns the socket,
// or -1 with the reason in `reason`.
int ConnectTcp(const std::string& host, std::uint16_t port, std::string& reason);

}  // namespace tarvina
