#pragma once
// A client connection for tests that drive TEmain directly: it keeps every
// reply byte, and can play a client that has gone (its writes then fail as a
// closed socket's would).
#include <string>

#include "platform/TcpServer.h"
#include "server/MainSrv.h"

namespace tarvina {

class RecordingConnection : public Connection {
 public:
  void Write(const std::string& b) override {
    if (gone) throw WriteFailed("gone");
    bytes += b;
  }
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
