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
#include "tests/support/HostileClients.h"
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

// Runs the loop on this thread until quit, or 20 s at the most.
void RunLoopFor(MainLoop& loop) {
  std::atomic<bool> over{false};
  std::thread watchdog([&] {
    for (int i = 0; i < 2000 && !over; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    loop.Quit();
  });
  loop.Run();
  over = true;
  watchdog.join();
}

// Reads until the server closes; the bytes, and how long it took.
std::pair<std::string, double> ReadUntilClosed(int fd, int pause_ms = 0, std::size_t chunk = 65536) {
  const auto t0 = std::chrono::steady_clock::now();
  std::string got;
  std::vector<char> buf(chunk);
  for (;;) {
    if (pause_ms) std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
    const ssize_t r = ::recv(fd, buf.data(), buf.size(), 0);
    if (r <= 0) break;
    got.append(buf.data(), static_cast<std::size_t>(r));
  }
  return {got, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count()};
}

// The limit is for the whole reply from its hand-over, not for each send: a
// client that takes a little now and then does not stretch it.
TEST(TcpServerThreads, AReplyNotTakenWithinItsLimitClosesItsConnection) {
  for (const int pause_ms : {0, 20}) {
    SCOPED_TRACE(pause_ms);
    MainLoop loop;
    std::vector<bool> reports;
    bool on_main = true;
    TcpServer server(
        [&](TcpConnection& c) {
          std::uint8_t buf[64];
          if (c.Read(buf, sizeof buf) == 0) return;
          loop.Synchronize([&] {
            c.Write(std::string(8 << 20, 'r'), [&](bool delivered) {
              on_main = on_main && loop.IsMainThread();
              reports.push_back(delivered);
              loop.Quit();
            });
          });
          while (c.Read(buf, sizeof buf) > 0) {
          }
        },
        &loop);
    TcpServer::Settings settings;
    settings.limits.write_ms = 500;
    server.Configure(std::move(settings));
    std::string reason;
    ASSERT_TRUE(server.Listen(0, reason)) << reason;
    const int fd = ConnectIpv4From("127.0.0.1", server.Port(), "", 2048);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::send(fd, "x", 1, 0), 1);
    std::pair<std::string, double> read;
    std::thread client([&] {
      if (pause_ms == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // never in time
      read = ReadUntilClosed(fd, pause_ms, 4096);
    });
    RunLoopFor(loop);
    client.join();
    ::close(fd);
    EXPECT_EQ(reports, std::vector<bool>{false});
    EXPECT_TRUE(on_main);
    EXPECT_LT(read.first.size(), std::size_t{8 << 20});
    if (pause_ms) {
      EXPECT_LT(read.second, 8000);  // 0.5 s and what the socket buffers held
    }
    server.Stop();
  }
}

// Replies go out in the order handed over, each reported on the main thread
// once taken; Stop() lets what was handed over be written first.
TEST(TcpServerThreads, RepliesInOrderReportedOnTheMainThreadAndWrittenBeforeStop) {
  MainLoop loop;
  std::vector<int> reports;
  bool on_main = true;
  const std::vector<std::string> replies = {"first\r\n", std::string(1 << 20, 'b'), "third\r\n"};
  TcpServer server(
      [&](TcpConnection& c) {
        std::uint8_t buf[64];
        if (c.Read(buf, sizeof buf) == 0) return;
        loop.Synchronize([&] {
          for (int i = 0; i < 3; ++i)
            c.Write(replies[i], [&, i](bool delivered) {
              on_main = on_main && loop.IsMainThread();
              reports.push_back(delivered ? i : -1);
            });
          loop.Quit();
        });
        while (c.Read(buf, sizeof buf) > 0) {
        }
      },
      &loop);
  std::string reason;
  ASSERT_TRUE(server.Listen(0, reason)) << reason;
  const int fd = ConnectIpv4From("127.0.0.1", server.Port(), "", 2048);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::send(fd, "x", 1, 0), 1);
  RunLoopFor(loop);  // until the replies are handed over; the 1 MiB cannot be in the socket yet
  std::pair<std::string, double> read;
  std::thread client([&] { read = ReadUntilClosed(fd, 0); });
  server.Stop();          // with the loop gone, as at the program's end
  server.RunCompletions();
  client.join();
  ::close(fd);
  EXPECT_EQ(read.first, replies[0] + replies[1] + replies[2]);
  EXPECT_EQ(reports, (std::vector<int>{0, 1, 2}));
  EXPECT_TRUE(on_main);
}

// Handed over while the connection's thread waits for input, not inside a
// hand-off: the thread is woken and writes what the socket did not take.
TEST(TcpServerThreads, AReplyHandedOverWhileTheConnectionWaitsForInput) {
  MainLoop loop;
  std::vector<bool> reports;
  const std::string reply(1 << 20, 'w');
  TcpServer server(
      [&](TcpConnection& c) {
        std::uint8_t buf[64];
        if (c.Read(buf, sizeof buf) == 0) return;
        loop.Post([&] {
          c.Write(reply, [&](bool delivered) {
            reports.push_back(delivered);
            loop.Quit();
          });
        });
        while (c.Read(buf, sizeof buf) > 0) {
        }
      },
      &loop);
  std::string reason;
  ASSERT_TRUE(server.Listen(0, reason)) << reason;
  const int fd = ConnectIpv4From("127.0.0.1", server.Port());
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::send(fd, "x", 1, 0), 1);
  std::string got;
  std::thread client([&] {
    std::vector<char> buf(65536);
    while (got.size() < reply.size()) {
      const ssize_t r = ::recv(fd, buf.data(), buf.size(), 0);
      if (r <= 0) break;
      got.append(buf.data(), static_cast<std::size_t>(r));
    }
  });
  RunLoopFor(loop);
  client.join();
  ::close(fd);
  server.Stop();
  EXPECT_EQ(got, reply);
  EXPECT_EQ(reports, std::vector<bool>{true});
}

TEST(TcpServerThreads, WhatIsWrittenToAClosedConnectionIsReportedDropped) {
  MainLoop loop;
  std::vector<bool> reports;
  TcpServer server(
      [&](TcpConnection& c) {
        std::uint8_t buf[64];
        while (c.Read(buf, sizeof buf) > 0) {
        }
        // The client has gone; a reply for it now is dropped.
        loop.Synchronize([&] {
          c.Write("late\r\n", [&](bool delivered) {
            reports.push_back(delivered);
            loop.Quit();
          });
        });
      },
      &loop);
  std::string reason;
  ASSERT_TRUE(server.Listen(0, reason)) << reason;
  RequestClient c;
  ASSERT_TRUE(c.Connect("127.0.0.1", server.Port(), reason));
  c.Send("x");
  c.Close();
  RunLoopFor(loop);
  server.Stop();
  EXPECT_EQ(reports, std::vector<bool>{false});
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
