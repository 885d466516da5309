#pragma once
// The billing side of the end-to-end tests: a connection to the server under
// test, and one request answered on a connection of its own.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "server/RequestClient.h"

namespace tarvina {

inline std::unique_ptr<RequestClient> ConnectToServer(std::uint16_t port, const std::string& host = "127.0.0.1") {
  auto c = std::make_unique<RequestClient>();
  std::string reason;
  EXPECT_TRUE(c->Connect(host, port, reason)) << reason;
  return c;
}

// The reply bytes, or what came before timeout_ms ran out.
inline std::string RoundTripToServer(std::uint16_t port, const std::string& request, int timeout_ms) {
  auto c = ConnectToServer(port);
  c->Send(request);
  std::string bytes;
  c->ReadReply(bytes, timeout_ms);
  return bytes;
}

}  // namespace tarvina
