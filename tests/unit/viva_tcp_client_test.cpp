// The socket client against real listening sockets on loopback: connect by
// address and by name, refusals and time-outs, and the waits it offers.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/TcpClient.h"

namespace tarvina {
namespace {

// A listening socket on an ephemeral port that the test accepts from by hand.
class Listener {
 public:
  explicit Listener(bool v6 = false, int backlog = 8) {
    fd_ = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage ss{};
    socklen_t len;
    if (v6) {
      auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
      a->sin6_family = AF_INET6;
      a->sin6_addr = in6addr_loopback;
      len = sizeof *a;
    } else {
      auto* a = reinterpret_cast<sockaddr_in*>(&ss);
      a->sin_family = AF_INET;
      a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      len = sizeof *a;
    }
    ok_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&ss), len) == 0 && ::listen(fd_, backlog) == 0 &&
          ::getsockname(fd_, reinterpret_cast<sockaddr*>(&ss), &len) == 0;
    port_ = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
  }
  ~Listener() {
    if (peer_ >= 0) ::close(peer_);
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return ok_; }
  int port() const { return port_; }
  int Accept() { return peer_ = ::accept(fd_, nullptr, nullptr); }
  void Send(const std::string& s) { ASSERT_EQ(::send(peer_, s.data(), s.size(), MSG_NOSIGNAL), ssize_t(s.size())); }
  std::string Recv(std::size_t n) {
    std::string out(n, '\0');
    std::size_t got = 0;
    while (got < n) {
      const ssize_t r = ::recv(peer_, out.data() + got, n - got, 0);
      if (r <= 0) break;
      got += static_cast<std::size_t>(r);
    }
    out.resize(got);
    return out;
  }
  void ClosePeer() {
    ::close(peer_);
    peer_ = -1;
  }

 private:
  int fd_ = -1;
  int peer_ = -1;
  int port_ = 0;
  bool ok_ = false;
};

TEST(VivaTcpClient, ConnectsByIPv4IPv6AndNameAndExchangesBytes) {
  for (const char* host : {"127.0.0.1", "localhost", "::1"}) {
    SCOPED_TRACE(host);
    const bool v6 = std::strchr(host, ':') != nullptr;
    Listener l(v6);
    if (!l.ok()) GTEST_SKIP() << "no loopback for " << host;
    SocketTcpClient c;
    EXPECT_FALSE(c.Connected());
    c.Connect(host, l.port(), 2000);
    ASSERT_TRUE(c.Connected());
    ASSERT_GE(l.Accept(), 0);

    EXPECT_FALSE(c.DataWaiting());
    EXPECT_FALSE(c.WaitForData(20));
    l.Send(std::string("hi\0\xff", 4));
    EXPECT_TRUE(c.WaitForData(5000));
    EXPECT_TRUE(c.DataWaiting());
    EXPECT_EQ(c.TakeAll(), std::string("hi\0\xff", 4));
    EXPECT_FALSE(c.DataWaiting());

    c.Write("0004|ab|");
    EXPECT_EQ(l.Recv(8), "0004|ab|");
    c.Disconnect();
    EXPECT_FALSE(c.Connected());
    EXPECT_EQ(l.Recv(1), "");
  }
}

TEST(VivaTcpClient, FailuresAreThrownWithAClearMessage) {
  int closed_port;
  {
    Listener l;
    closed_port = l.port();
  }
  struct Case {
    std::string host;
    int port;
    std::string message;
  };
  const Case cases[] = {
      {"127.0.0.1", closed_port, "Conexiune refuzata de 127.0.0.1:" + std::to_string(closed_port)},
      {"nosuchhost.invalid", 8080, "Numele nosuchhost.invalid nu a putut fi rezolvat"},
      {"", 8080, "Adresa POS-ului nu a fost transmisa"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host);
    SocketTcpClient client;
    try {
      client.Connect(c.host, c.port, 2000);
      ADD_FAILURE() << "connected";
    } catch (const TcpError& e) {
      EXPECT_EQ(e.what(), c.message);
    }
    EXPECT_FALSE(client.Connected());
    EXPECT_THROW(client.Write("x"), TcpError);
  }
}

TEST(VivaTcpClient, ConnectGivesUpAtItsTimeLimit) {
  // A full accept queue leaves further handshakes unanswered.
  Listener l(false, 0);
  SocketTcpClient first;
  first.Connect("127.0.0.1", l.port(), 2000);
  SocketTcpClient second;
  try {
    second.Connect("127.0.0.1", l.port(), 150);
    GTEST_SKIP() << "the kernel accepted a second handshake";
  } catch (const TcpError& e) {
    EXPECT_EQ(std::string(e.what()), "Timp depasit la conectarea la 127.0.0.1:" + std::to_string(l.port()));
  }
}

TEST(VivaTcpClient, PeerClosingIsSeenAfterItsLastBytes) {
  Listener l;
  SocketTcpClient c;
  c.Connect("127.0.0.1", l.port(), 2000);
  ASSERT_GE(l.Accept(), 0);
  l.Send("last");
  l.ClosePeer();
  EXPECT_TRUE(c.WaitForData(5000));
  EXPECT_EQ(c.TakeAll(), "last");
  try {
    c.WaitForData(5000);
    ADD_FAILURE() << "no exception";
  } catch (const TcpError& e) {
    EXPECT_STREQ(e.what(), "Conexiunea a fost inchisa de POS");
  }
  EXPECT_FALSE(c.Connected());
}

}  // namespace
}  // namespace tarvina
