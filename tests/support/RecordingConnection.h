#pragma once
// A client connection for tests that drive TEmain directly: it keeps every
// reply byte, and can play a client that has gone (what is written to it is
// then dropped, as on a closed socket).
#include <functional>
#include <string>

#include "platform/MainLoop.h"
#include "platform/TcpServer.h"
#include "server/MainSrv.h"

namespace tarvina {

class RecordingConnection : public Connection {
 public:
  // Reports each write through `loop` when one is given, as the real
  // connection does; at once otherwise.
  void Write(const std::string& b, std::function<void(bool)> done = {}) override {
    if (!gone) bytes += b;
    ++writes;
    if (!done) return;
    const bool delivered = !gone;
    if (loop)
      loop->Post([done = std::move(done), delivered] { done(delivered); });
    else
      done(delivered);
  }
  std::string PeerAddress() const override { return peer; }

  std::string bytes;
  int writes = 0;
  bool gone = false;
  std::string peer = "192.0.2.7";
  MainLoop* loop = nullptr;
};

// One billing client: its connection and the TPosClient the server keeps for it.
struct Peer {
  RecordingConnection conn;
  TPosClient client;
  Peer() { client.FContext = &conn; }
};

}  // namespace tarvina
