#pragma once
// A client connection for tests that drive TEmain directly: it keeps every
// reply byte, and can play a client that has gone (its writes then fail as a
// closed socket's would).
#include <functional>
#include <string>

#include "platform/TcpServer.h"
#include "server/MainSrv.h"

namespace tarvina {

class RecordingConnection : public Connection {
 public:
  void Write(const std::string& b, std::function<void(bool delivered)> done = {}) override {
    if (done) done(!gone);
    if (gone) throw WriteFailed("gone");
    bytes += b;
  }
  std::string PeerAddress() const override { return peer; }
  std::string peer = "192.0.2.7";
  std::string bytes;
  bool gone = false;
};

// One billing client: its connection and the TPosClient the server keeps for it.
struct Peer {
  RecordingConnection conn;
  TPosClient client;
  Peer() { client.FContext = &conn; }
};

}  // namespace tarvina
