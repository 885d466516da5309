// The listener and TEmain's connections with real threads and loopback TCP
// (also run under TSan).
#include <gtest/gtest.h>

#include "platform/PosixComm.h"
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/MainLoop.h"
#include "platform/TcpServer.h"
#include "server/MainSrv.h"
#include "server/RequestClient.h"
#include "tests/support/RecordingShell.h"
#include "tests/support/ServerProcess.h"

namespace tarvina {
namespace {

bool Eventually(const std::function<bool()>& cond) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

bool HasIpv6Loopback() {
  const int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

// Echoes every chunk back until the peer closes.
void Echo(TcpConnection& c) {
  std::uint8_t buf[256];
  for (std::size_t n; (n = c.Read(buf, sizeof buf)) > 0;)
    c.Write(std::string(reinterpret_cast<char*>(buf), n));
}

TEST(TcpServerThreads, ServesIpv4AndIpv6AndReapsEveryConnectionThread) {
  TcpServer server(Echo);
  std::string reason;
  ASSERT_TRUE(server.Listen(0, reason)) << reason;
  std::vector<std::string> hosts = {"127.0.0.1"};
  if (HasIpv6Loopback()) hosts.push_back("::1");
  for (const auto& host : hosts) {
    SCOPED_TRACE(host);
    std::vector<std::unique_ptr<RequestClient>> clients;
    for (int i = 0; i < 5; ++i) {
      clients.push_back(std::make_unique<RequestClient>());
      ASSERT_TRUE(clients.back()->Connect(host, server.Port(), reason)) << reason;
    }
    for (auto& c : clients) {
      ASSERT_TRUE(c->Send("x\r\n[ENDPACHET]\r\n"));
      std::string bytes;
      ASSERT_EQ(c->ReadReply(bytes, 10000), RequestClient::Result::kReply);
      EXPECT_EQ(bytes, "x\r\n[ENDPACHET]\r\n");
    }
    EXPECT_TRUE(Eventually([&] { return server.ConnectionCount() == clients.size(); }));
    clients.clear();
    EXPECT_TRUE(Eventually([&] { return server.ConnectionCount() == 0; }));
  }
}

TEST(TcpServerThreads, StopEndsConnectionsThatWaitForInput) {
  TcpServer server(Echo);
  std::string reason;
  ASSERT_TRUE(server.Listen(0, reason)) << reason;
  RequestClient a, b;
  ASSERT_TRUE(a.Connect("127.0.0.1", server.Port(), reason));
  ASSERT_TRUE(b.Connect("127.0.0.1", server.Port(), reason));
  ASSERT_TRUE(Eventually([&] { return server.ConnectionCount() == 2; }));
  server.Stop();
  EXPECT_EQ(server.ConnectionCount(), 0u);
  std::string rest;
  EXPECT_EQ(a.ReadToEnd(rest, 10000), RequestClient::Result::kClosed);
  EXPECT_EQ(b.ReadToEnd(rest, 10000), RequestClient::Result::kClosed);
  RequestClient late;
  EXPECT_FALSE(late.Connect("127.0.0.1", server.Port(), reason));
}

class EmainThreads : public ::testing::Test {
 protected:
  TConfig ConfigOnPort(std::uint16_t port) {
    TConfig c;
    c.PortIP = port;
    return c;
  }
  MainLoop loop;
  RecordingShell shell;
  Services services{loop, shell, loop.clock(), SystemComm()};
};

TEST_F(EmainThreads, AnswersOverLoopbackWhileTheMainLoopRuns) {
  const std::uint16_t port = FreePort();
  TEmain m(services, ConfigOnPort(port), "/usr/bin/tarvina");
  m.FormCreate();
  ASSERT_EQ(shell.captions.back(),
            "Server POS-uri bancare     Port : " + std::to_string(port) + "    Server activ");
  EXPECT_TRUE(shell.messages.empty());
  EXPECT_TRUE(shell.tray);
  EXPECT_EQ(shell.tray_tip, "tarvina");

  std::string reply;
  std::thread client([&] {
    RequestClient c;
    std::string reason;
    if (c.Connect("127.0.0.1", port, reason) &&
        c.Send("[InfoPachet]\nOperatie=1\nTipPos=6\nPortSerial=1\n[ENDPACHET]\n"))
      c.ReadReply(reply, 10000);
    loop.Quit();
  });
  loop.Run();
  client.join();
  m.FormDestroy();
  EXPECT_EQ(reply,
            "ERROR\r\nAceasta optiune este functionala doar pentru POS-uri Transilvania, "
            "Unicredit si BRD Hypercom\r\n[ENDPACHET]\r\n");
  EXPECT_FALSE(shell.tray);
}

TEST_F(EmainThreads, QuittingReleasesAConnectionWaitingForItsHandOff) {
  TEmain m(services, ConfigOnPort(0), "tarvina");
  m.FormCreate();
  RequestClient c;
  std::string reason;
  ASSERT_TRUE(c.Connect("127.0.0.1", m.TCPServer.Port(), reason)) << reason;
  ASSERT_TRUE(c.Send("[InfoPachet]\r\n[ENDPACHET]\r\n"));
  loop.WaitMessage();  // the connection's hand-off is queued, nobody runs it
  m.FormDestroy();     // must not wait on the main thread it runs on
  std::string rest;
  EXPECT_EQ(c.ReadToEnd(rest, 10000), RequestClient::Result::kClosed);
  EXPECT_EQ(rest, "");
  EXPECT_EQ(m.TCPServer.ConnectionCount(), 0u);
}

TEST_F(EmainThreads, PortTakenLeavesTheServerInactive) {
  TcpServer holder([](TcpConnection&) {});
  std::string reason;
  ASSERT_TRUE(holder.Listen(0, reason));
  TEmain m(services, ConfigOnPort(holder.Port()), "tarvina");
  m.FormCreate();
  EXPECT_EQ(shell.captions.back(), "Server POS-uri bancare     Port : " +
                                       std::to_string(holder.Port()) + "    Server inactiv");
  ASSERT_EQ(shell.messages.size(), 1u);
  EXPECT_EQ(shell.messages[0], "Eroare la activare server : Address already in use");
  EXPECT_FALSE(m.TCPServer.Listening());
  EXPECT_TRUE(shell.tray);  // the window and tray icon still work
}

}  // namespace
}  // namespace tarvina
