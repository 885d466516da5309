// The built `tarvina --headless` under clients that do not read, many
// clients, idle clients, clients from elsewhere and a descriptor limit; and
// packets that cost the connection's thread, not the main thread.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server/RequestClient.h"
#include "tests/support/HostileClients.h"
#include "tests/support/LoopbackClient.h"
#include "tests/support/ServerProcess.h"

namespace tarvina {
namespace {

using Clock = std::chrono::steady_clock;

const std::string kOk = "PROCESAREOK\r\n[ENDPACHET]\r\n";
const std::string kRejected = "[InfoPachet]\r\nOperatie=5\r\n[ENDPACHET]\r\n";
const std::string kRejectedReply = "ERROR\r\nParametrul \"Operatie\" este eronat (5)\r\n[ENDPACHET]\r\n";
// Its reply echoes the 16,000-byte amount: a client that does not read has
// the sockets full after a few of them.
const std::string kBigRejected = "[InfoPachet]\r\nOperatie=0\r\nTipPos=4\r\nPortSerial=2\r\nSuma=" +
                                 std::string(16000, '9') + "x\r\n[ENDPACHET]\r\n";

double MsSince(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

class ConnectionsE2E : public ::testing::Test {
 protected:
  // The server with these [Config] lines (and --test-kind).
  void Start(const std::string& config_lines) {
    config_ = ::testing::TempDir() + "tarvina_conn_" + std::to_string(::getpid()) + ".ini";
    std::ofstream(config_) << "[Config]\n" << config_lines;
    ASSERT_TRUE(server.StartServer(BinPath("tarvina"), {"--test-kind", "--config", config_}));
  }
  void TearDown() override {
    server.Signal(SIGTERM);
    server.Wait(20000);
    if (!config_.empty()) std::remove(config_.c_str());
  }
  // Connected and served: a rejected request answered on it.
  bool Served(RequestClient& c, int timeout_ms = 10000) {
    std::string bytes;
    return c.Send(kRejected) && c.ReadReply(bytes, timeout_ms) == RequestClient::Result::kReply &&
           bytes == kRejectedReply;
  }
  // The server closes the connection without a byte within timeout_ms.
  static bool ClosedWithoutReply(RequestClient& c, int timeout_ms) {
    std::string bytes;
    return c.ReadToEnd(bytes, timeout_ms) == RequestClient::Result::kClosed && bytes.empty();
  }

  ServerProcess server;
  std::string config_;
};

TEST_F(ConnectionsE2E, ClientsThatDoNotReadHoldNobodyElse) {
  Start("");
  std::vector<std::unique_ptr<StuckClient>> stuck;
  for (int i = 0; i < 3; ++i)
    stuck.push_back(std::make_unique<StuckClient>("127.0.0.1", server.port(), kBigRejected));
  stuck.push_back(std::make_unique<StuckClient>("127.0.0.1", server.port(), kBigRejected, 1000));
  WaitUntilStuck(stuck, 250, 20);
  for (auto& s : stuck) ASSERT_GT(s->BytesSent(), 0);

  // Replies are written by the connections, so the main thread waits for none of them.
  auto good = ConnectToServer(server.port());
  double slowest = 0;
  for (int i = 0; i < 20; ++i) {
    const auto t0 = Clock::now();
    EXPECT_TRUE(Served(*good));
    slowest = std::max(slowest, MsSince(t0));
  }
  EXPECT_LT(slowest, 2000);  // each is a matter of microseconds; seconds mean a blocked main thread

  // A 1 s card sale, with a busy reply to every stuck client meanwhile.
  auto sale = ConnectToServer(server.port());
  const auto t0 = Clock::now();
  sale->Send("[InfoPachet]\r\nOperatie=0\r\nTipPos=4\r\nPortSerial=1\r\nSuma=1\r\n[ENDPACHET]\r\n");
  std::string bytes;
  EXPECT_EQ(sale->ReadReply(bytes, 10000), RequestClient::Result::kReply);
  EXPECT_EQ(bytes, kOk);
  EXPECT_LT(MsSince(t0), 4000);
  EXPECT_TRUE(Served(*good));
}

TEST_F(ConnectionsE2E, ConnectionsBeyondTheCapAreClosedAtOnce) {
  Start("MaxConnections=3\n");
  std::vector<std::unique_ptr<RequestClient>> held;
  for (int i = 0; i < 3; ++i) {
    held.push_back(ConnectToServer(server.port()));
    ASSERT_TRUE(Served(*held.back()));
  }
  for (int i = 0; i < 2; ++i) {
    auto extra = ConnectToServer(server.port());
    extra->Send(kRejected);
    EXPECT_TRUE(ClosedWithoutReply(*extra, 5000)) << i;
  }
  // One line for the burst, once it is over.
  EXPECT_GE(server.WaitForLine("refused 2 connections: 3 open (MaxConnections)"), 0);
  EXPECT_TRUE(Served(*held[0]));  // those in are still served

  held.pop_back();  // a place comes free
  bool served = false;
  const auto t0 = Clock::now();
  while (!served && MsSince(t0) < 10000) {
    auto c = ConnectToServer(server.port());
    served = Served(*c, 2000);
  }
  EXPECT_TRUE(served);
}

TEST_F(ConnectionsE2E, IdleConnectionsAreClosedButNotDuringTheirOwnOperation) {
  Start("IdleTimeout=1\n");
  auto silent = ConnectToServer(server.port());
  auto trickle = ConnectToServer(server.port());
  auto sale = ConnectToServer(server.port());
  const auto t0 = Clock::now();
  // A 3 s operation: three times the idle limit.
  sale->Send("[InfoPachet]\r\nOperatie=0\r\nTipPos=4\r\nPortSerial=1\r\nSuma=3\r\n[ENDPACHET]\r\n");
  // A byte every 300 ms keeps a connection open.
  for (char c : kRejected.substr(0, 8)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    trickle->Send(std::string(1, c));
  }
  EXPECT_TRUE(ClosedWithoutReply(*silent, 100));  // after 1 s of nothing, long before now
  std::string bytes;
  ASSERT_TRUE(trickle->Send(kRejected.substr(8)));
  EXPECT_EQ(trickle->ReadReply(bytes, 5000), RequestClient::Result::kReply);
  EXPECT_EQ(bytes, "ERROR\r\nServer ocupat. Incearca mai tarziu\r\n[ENDPACHET]\r\n");  // the sale still runs
  EXPECT_EQ(sale->ReadReply(bytes, 10000), RequestClient::Result::kReply);
  EXPECT_EQ(bytes, kOk);
  EXPECT_GE(MsSince(t0), 2900);
  // Its own idle second starts when its reply has gone.
  const auto replied = Clock::now();
  EXPECT_TRUE(ClosedWithoutReply(*sale, 5000));
  EXPECT_GE(MsSince(replied), 800);
}

TEST_F(ConnectionsE2E, BindAndAllowFrom) {
  Start("Bind=127.0.0.1\nAllowFrom=127.0.0.1, 10.0.0.0/8\n");
  const int from2 = ConnectIpv4From("127.0.0.1", server.port(), "127.0.0.2");
  ASSERT_GE(from2, 0);
  char byte;
  const auto t0 = Clock::now();
  EXPECT_LE(::recv(from2, &byte, 1, 0), 0);  // closed at once, nothing said
  EXPECT_LT(MsSince(t0), 5000);
  ::close(from2);
  EXPECT_GE(server.WaitForLine("connection from 127.0.0.2 refused: not in AllowFrom"), 0);

  auto from1 = ConnectToServer(server.port());
  EXPECT_TRUE(Served(*from1));

  // Only the address named listens.
  EXPECT_LT(ConnectIpv4From("127.0.0.2", server.port()), 0);
  RequestClient v6;
  std::string reason;
  EXPECT_FALSE(v6.Connect("::1", server.port(), reason));
}

// At the descriptor limit a client is closed at once instead of hanging, the
// listener does not spin, and serves again once a descriptor is free.
TEST_F(ConnectionsE2E, DescriptorLimit) {
  const std::uint16_t port = FreePort();
  server.Start("/bin/sh", {"-c", "ulimit -n 40 && exec " + BinPath("tarvina") + " --headless --port " +
                                     std::to_string(port)});
  ASSERT_GE(server.WaitForLine("    Server activ"), 0);
  std::vector<std::unique_ptr<RequestClient>> held;
  int served = 0;
  for (int i = 0; i < 30; ++i) {
    auto c = ConnectToServer(port);
    if (Served(*c, 5000)) {
      ++served;
      held.push_back(std::move(c));
    } else {
      EXPECT_TRUE(ClosedWithoutReply(*c, 100));
    }
  }
  EXPECT_GT(served, 5);
  EXPECT_LT(served, 30);
  EXPECT_GE(server.WaitForLine(": no descriptor free"), 0);

  // Clients left waiting in the listen queue must not make it spin.
  std::vector<int> queued = OpenIdleConnections("127.0.0.1", port, 5);
  const double cpu0 = ProcessCpuNs(server.pid());
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  EXPECT_LT((ProcessCpuNs(server.pid()) - cpu0) / 1e6, 200);  // ms in a second
  CloseAll(queued);

  held.clear();
  bool again = false;
  const auto t0 = Clock::now();
  while (!again && MsSince(t0) < 10000) {
    auto c = ConnectToServer(port);
    again = Served(*c, 2000);
  }
  EXPECT_TRUE(again);
}

// The connection's thread assembles packets: what a client sends before its
// end line costs the main thread nothing, and the limit counts the bytes sent.
TEST_F(ConnectionsE2E, PacketsAreAssembledBeforeTheMainThreadSeesThem) {
  Start("");
  // A million empty lines: exactly 1 MiB, still open; one more line is too much.
  auto flood = ConnectToServer(server.port());
  ASSERT_TRUE(flood->Send(std::string(1 << 20, '\n')));
  const auto t0 = Clock::now();
  auto other = ConnectToServer(server.port());
  EXPECT_TRUE(Served(*other));
  EXPECT_LT(MsSince(t0), 2000);
  const std::string logged = "log: Parametrul \"Operatie\" este eronat (5)";
  const int first = server.WaitForLine(logged);
  ASSERT_GE(first, 0);
  flood->Send("[ENDPACHET]\n");
  EXPECT_TRUE(ClosedWithoutReply(*flood, 10000));
  EXPECT_TRUE(Served(*other));
  // The next request's four log lines follow at once: not a million lines between.
  EXPECT_EQ(server.WaitForLine(logged, 10000, first + 1), first + 4);

  // 0xE9 bytes: one each on the wire, three in the decoded text.
  std::string packet = "[InfoPachet]\n";
  for (int i = 0; i < 100; ++i) packet += "X=" + std::string(10000, '\xE9') + "\n";
  packet += "[ENDPACHET]\n";
  ASSERT_LT(packet.size(), 1u << 20);
  auto wide = ConnectToServer(server.port());
  wide->Send(packet);
  std::string bytes;
  EXPECT_EQ(wide->ReadReply(bytes, 10000), RequestClient::Result::kReply);
  EXPECT_EQ(bytes, "ERROR\r\nParametrul \"Operatie\" este eronat (-1)\r\n[ENDPACHET]\r\n");
}

}  // namespace
}  // namespace tarvina
