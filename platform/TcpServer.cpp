#include "platform/TcpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace tarvina {

namespace {

std::string ErrnoText(int err) { return std::strerror(err); }

void CloseFd(int fd) {
  if (fd >= 0) ::close(fd);
}

}  // namespace

int SendAll(int fd, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t r = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (r > 0) {
      sent += static_cast<std::size_t>(r);
    } else if (r < 0 && errno == EINTR) {
      continue;
    } else {
      return r < 0 ? errno : EPIPE;
    }
  }
  return 0;
}

namespace {

// Read at accept: once the client has reset the connection the socket no
// longer knows it, and a journal still wants to name it.
std::string PeerAddressOf(int fd) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return {};
  char text[INET6_ADDRSTRLEN] = {};
  if (ss.ss_family == AF_INET) {
    const auto* a = reinterpret_cast<const sockaddr_in*>(&ss);
    return ::inet_ntop(AF_INET, &a->sin_addr, text, sizeof text) ? text : "";
  }
  if (ss.ss_family != AF_INET6) return {};
  const auto* a6 = reinterpret_cast<const sockaddr_in6*>(&ss);
  if (IN6_IS_ADDR_V4MAPPED(&a6->sin6_addr))
    return ::inet_ntop(AF_INET, &a6->sin6_addr.s6_addr[12], text, sizeof text) ? text : "";
  return ::inet_ntop(AF_INET6, &a6->sin6_addr, text, sizeof text) ? text : "";
}

}  // namespace

TcpConnection::TcpConnection(int fd) : fd_(fd), peer_(PeerAddressOf(fd)) {
  timeval tv{};
  tv.tv_sec = kWriteTimeoutSeconds;
  ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

TcpConnection::~TcpConnection() { CloseFd(fd_); }

std::size_t TcpConnection::Read(std::uint8_t* buf, std::size_t n) {
  for (;;) {
    const ssize_t r = ::recv(fd_, buf, n, 0);
    if (r >= 0) return static_cast<std::size_t>(r);
    if (errno != EINTR) return 0;
  }
}

void TcpConnection::Write(const std::string& bytes, std::function<void(bool delivered)> done) {
  const int err = SendAll(fd_, bytes);
  if (done) done(err == 0);
  if (err == 0) return;
  throw WriteFailed("Scriere esuata catre client: " +
                    (err == EAGAIN || err == EWOULDBLOCK ? std::string("clientul nu citeste")
                                                         : ErrnoText(err)));
}


std::string TcpConnection::PeerAddress() const { return peer_; }

void TcpConnection::Shutdown() { ::shutdown(fd_, SHUT_RDWR); }

TcpServer::TcpServer(Handler handler) : handler_(std::move(handler)) {}

TcpServer::~TcpServer() { Stop(); }

namespace {

// A bound socket of the address's family, or -1 with the reason in `err`.
int BoundSocket(const sockaddr* addr, socklen_t len, int& err) {
  const int fd = ::socket(addr->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    err = errno;
    return -1;
  }
  const int off = 0, on = 1;
  // One dual-stack socket serves IPv6 and IPv4 alike.
  if (addr->sa_family == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(fd, addr, len) != 0) {
    err = errno;
    CloseFd(fd);
    return -1;
  }
  return fd;
}

}  // namespace

bool TcpServer::Listen(std::uint16_t port, std::string& reason) {
  if (listen_fd_ >= 0) {
    reason = "deja activ";
    return false;
  }
  int err = 0;
  sockaddr_in6 a6{};
  a6.sin6_family = AF_INET6;
  a6.sin6_addr = in6addr_any;
  a6.sin6_port = htons(port);
  int fd = BoundSocket(reinterpret_cast<sockaddr*>(&a6), sizeof a6, err);
  if (fd < 0 && (err == EAFNOSUPPORT || err == EADDRNOTAVAIL)) {
    // A machine without IPv6 gets a plain IPv4 socket.
    sockaddr_in a4{};
    a4.sin_family = AF_INET;
    a4.sin_addr.s_addr = htonl(INADDR_ANY);
    a4.sin_port = htons(port);
    fd = BoundSocket(reinterpret_cast<sockaddr*>(&a4), sizeof a4, err);
  }
  if (fd >= 0 && ::listen(fd, SOMAXCONN) != 0) {
    err = errno;
    CloseFd(fd);
    fd = -1;
  }
  if (fd < 0) {
    reason = ErrnoText(err);
    return false;
  }
  sockaddr_storage bound{};
  socklen_t len = sizeof bound;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
  port_ = bound.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port)
                                      : ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd_ < 0) {
    reason = ErrnoText(errno);
    CloseFd(fd);
    return false;
  }
  listen_fd_ = fd;
  stopping_ = false;
  stop_accepting_ = false;
  acceptor_ = std::thread([this] { AcceptLoop(); });
  return true;
}

void TcpServer::WakeAcceptLoop() {
  const std::uint64_t one = 1;
  if (wake_fd_ >= 0) {
    [[maybe_unused]] ssize_t r = ::write(wake_fd_, &one, sizeof one);
  }
}

void TcpServer::AcceptLoop() {
  int lfd = listen_fd_;
  bool backoff = false;
  while (!stopping_) {
    if (stop_accepting_ && lfd >= 0) {
      CloseFd(lfd);
      lfd = -1;
    }
    pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {lfd, POLLIN, 0}};
    // Out of descriptors: leave the pending connections queued for a while
    // instead of spinning on a listener that stays readable.
    const int n = ::poll(fds, lfd >= 0 && !backoff ? 2 : 1, backoff ? 100 : -1);
    backoff = false;
    if (n < 0 && errno != EINTR) break;
    if (fds[0].revents & POLLIN) {
      std::uint64_t v;
      [[maybe_unused]] ssize_t r = ::read(wake_fd_, &v, sizeof v);
    }
    Reap(false);
    if (lfd >= 0 && !stop_accepting_ && !stopping_ && (fds[1].revents & POLLIN)) {
      const int cfd = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
      if (cfd >= 0) {
        StartConnection(cfd);
      } else if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        backoff = true;
      }
    }
  }
  CloseFd(lfd);
}

void TcpServer::StartConnection(int fd) {
  std::lock_guard<std::mutex> lock(mu_);
  auto& c = conns_.emplace_back();
  c.connection = std::make_unique<TcpConnection>(fd);
  Conn* self = &c;
  try {
    c.thread = std::thread([this, self] {
      try {
        handler_(*self->connection);
      } catch (...) {
        // A failing connection ends itself, never the server.
      }
      // The peer sees the end now; the descriptor goes when the thread is reaped.
      self->connection->Shutdown();
      std::lock_guard<std::mutex> lock(mu_);
      self->done = true;
      WakeAcceptLoop();
    });
  } catch (const std::system_error&) {
    conns_.pop_back();  // no thread to be had: the connection is refused
  }
}

void TcpServer::Reap(bool all) {
  std::list<Conn> finished;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto it = conns_.begin(); it != conns_.end();) {
      auto next = std::next(it);
      if (all || it->done) finished.splice(finished.end(), conns_, it);
      it = next;
    }
  }
  for (auto& c : finished)
    if (c.thread.joinable()) c.thread.join();
}

void TcpServer::StopAccepting() {
  // Refuses new connections from now on; the acceptor closes the socket.
  if (listen_fd_ >= 0) ::shutdown(listen_fd_, SHUT_RDWR);
  stop_accepting_ = true;
  WakeAcceptLoop();
}

void TcpServer::Stop() {
  if (acceptor_.joinable()) {
    stopping_ = true;
    WakeAcceptLoop();
    acceptor_.join();
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& c : conns_) c.connection->Shutdown();
  }
  Reap(true);
  CloseFd(wake_fd_);
  wake_fd_ = -1;
  listen_fd_ = -1;
}

std::size_t TcpServer::ConnectionCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return conns_.size();
}

int ConnectTcp(const std::string& host, std::uint16_t port, std::string& reason) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  const std::string service = std::to_string(port);
  const int g = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &res);
  if (g != 0) {
    reason = ::gai_strerror(g);
    return -1;
  }
  int fd = -1;
  reason = "no address";
  for (addrinfo* a = res; a; a = a->ai_next) {
    fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      reason = ErrnoText(errno);
      continue;
    }
    if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) break;
    reason = ErrnoText(errno);
    CloseFd(fd);
    fd = -1;
  }
  ::freeaddrinfo(res);
  return fd;
}

}  // namespace tarvina
