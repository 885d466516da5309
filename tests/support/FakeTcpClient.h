#pragma once
// A TCP client that plays a scripted terminal in virtual time: arrivals are
// scheduled relative to the connect or to each write, and a wait moves the
// VirtualClock straight to the next arrival or to its own end.
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/TcpClient.h"

namespace tarvina {

struct FakeTcpArrival {
  Millis after_ms = 0;
  std::string bytes;
};

struct FakeTcpTerminal {
  explicit FakeTcpTerminal(Clock& c) : clock(c) {}
  Clock& clock;

  // Script.
  std::string connect_error;               // Connect throws a TcpError with this text
  std::string write_error;                 // Write throws a TcpError with this text
  std::vector<FakeTcpArrival> on_connect;  // the greeting
  std::vector<FakeTcpArrival> on_write;    // the reply, after every write
  Millis close_after_write_ms = -1;        // the terminal closes its side then
  std::function<void(const std::string&)> on_write_seen;  // called with every write

  // What the client did.
  struct ConnectCall {
    std::string host;
    int port = 0;
    Millis timeout_ms = 0;
  };
  std::vector<ConnectCall> connects;
  std::vector<std::string> writes;
  std::vector<Millis> write_times;
  int disconnects = 0;
  const void* connected_client = nullptr;  // the one client holding the connection

  // Wire state.
  std::multimap<Millis, std::string> pending;
  std::string buffer;
  Millis close_at = -1;
  bool peer_closed = false;
  int clients_alive = 0;

  void Deliver();
};

class FakeTcpClient final : public TcpClient {
 public:
  explicit FakeTcpClient(std::shared_ptr<FakeTcpTerminal> t);
  ~FakeTcpClient() override;
  void Connect(const std::string& host, int port, Millis timeout_ms) override;
  bool Connected() override;
  void Disconnect() override;
  void Write(const std::string& bytes) override;
  bool DataWaiting() override;
  bool WaitForData(Millis ms) override;
  std::string TakeAll() override;

 private:
  std::shared_ptr<FakeTcpTerminal> t_;
};

TcpClientFactory FakeTcpFactory(std::shared_ptr<FakeTcpTerminal> t);

}  // namespace tarvina
