#pragma once
// A client connection to a terminal that is a TCP server on the shop's network.
// Everything here blocks the calling thread: the terminal driver that uses it
// waits on purpose without pumping the main loop. Every wait takes its time
// from a Clock, so a fake client on a VirtualClock runs minutes of silence at once.
//
// Failures (name not found, connection refused, connect too slow, connection
// lost, read or write errors) are thrown as TcpError with a message that may
// reach the billing client, so it is plain Romanian text.
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/Clock.h"

namespace tarvina {

class TcpError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TcpClient {
 public:
  virtual ~TcpClient() = default;

  // Resolves host (a name, an IPv4 or an IPv6 address) and connects to the first
  // address that answers; resolving and connecting together take at most
  // timeout_ms. A connected client is disconnected first.
  virtual void Connect(const std::string& host, int port, Millis timeout_ms) = 0;
  // Open, and the peer has not been seen closing its side.
  virtual bool Connected() = 0;
  virtual void Disconnect() = 0;
  // Sends the bytes of the text as they stand.
  virtual void Write(const std::string& bytes) = 0;
  // Received bytes are waiting to be taken (looks without blocking).
  virtual bool DataWaiting() = 0;
  // Blocks until some data is waiting or ms have passed; true when data is
  // waiting. Throws when the peer has closed and nothing is left to take.
  virtual bool WaitForData(Millis ms) = 0;
  // All bytes received so far; they are taken out of the client.
  virtual std::string TakeAll() = 0;
};

using TcpClientFactory = std::function<std::unique_ptr<TcpClient>()>;

// The real client on POSIX sockets.
class SocketTcpClient final : public TcpClient {
 public:
  explicit SocketTcpClient(Clock& clock = DefaultClock());
  ~SocketTcpClient() override;
  SocketTcpClient(const SocketTcpClient&) = delete;
  SocketTcpClient& operator=(const SocketTcpClient&) = delete;

  void Connect(const std::string& host, int port, Millis timeout_ms) override;
  bool Connected() override;
  void Disconnect() override;
  void Write(const std::string& bytes) override;
  bool DataWaiting() override;
  bool WaitForData(Millis ms) override;
  std::string TakeAll() override;

 private:
  // Reads what the socket holds into in_, waiting at most wait_ms for the first
  // byte. Returns false when nothing came (time-out, told through timed_out, or
  // the peer closed).
  bool Receive(Millis wait_ms, bool* timed_out = nullptr);
  void RequireOpen() const;

  Clock& clock_;
  int fd_ = -1;
  bool peer_closed_ = false;
  std::string in_;
};

TcpClientFactory SocketTcpClientFactory(Clock& clock = DefaultClock());

}  // namespace tarvina
