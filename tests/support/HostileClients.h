#pragma once
// Billing clients that misbehave as a broken or hostile program on the shop's
// network does, for the end-to-end tests and the benchmark: one that sends
// requests and does not read its replies (or reads a byte now and then), and
// connections held open without a byte. Header-only, like ServerProcess.h.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace tarvina {

// A TCP connection to host:port (an IPv4 address) from `source` (an IPv4
// address, "" for any), with a small receive buffer when rcvbuf > 0; -1 when
// it cannot connect.
inline int ConnectIpv4From(const std::string& host, std::uint16_t port, const std::string& source = "",
                           int rcvbuf = 0) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  // Before connecting, so that the window the server sees is small from the start.
  if (rcvbuf > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  if (!source.empty()) {
    ::inet_pton(AF_INET, source.c_str(), &a.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ::close(fd);
      return -1;
    }
  }
  a.sin_port = htons(port);
  ::inet_pton(AF_INET, host.c_str(), &a.sin_addr);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Sends `request` over and over and never reads the replies (read_every_ms
// 0), or reads one byte every read_every_ms. Whatever the server does, it
// keeps at it: when the server closes the connection it connects again.
class StuckClient {
 public:
  StuckClient(std::string host, std::uint16_t port, std::string request, int read_every_ms = 0)
      : host_(std::move(host)), port_(port), request_(std::move(request)), read_every_ms_(read_every_ms) {
    thread_ = std::thread([this] { Run(); });
  }
  ~StuckClient() {
    stop_ = true;
    thread_.join();
  }
  StuckClient(const StuckClient&) = delete;
  StuckClient& operator=(const StuckClient&) = delete;

  // Connections opened so far (more than one: the server closed the others).
  int Connections() const { return connections_; }
  // Request bytes the server took.
  long long BytesSent() const { return sent_; }
  // Reply bytes read (with read_every_ms > 0).
  long long BytesRead() const { return read_; }

 private:
  void Run() {
    while (!stop_) {
      const int fd = ConnectIpv4From(host_, port_, "", 2048);
      if (fd < 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        continue;
      }
      ++connections_;
      Pump(fd);
      ::close(fd);
    }
  }

  // Until the server closes the connection or the client is stopped.
  void Pump(int fd) {
    std::size_t off = 0;
    auto next_read = std::chrono::steady_clock::now();
    while (!stop_) {
      const ssize_t r =
          ::send(fd, request_.data() + off, request_.size() - off, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (r > 0) {
        sent_ += r;
        off = (off + static_cast<std::size_t>(r)) % request_.size();
        continue;
      }
      if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return;
      // The server takes nothing more for now: look again in a while, and
      // notice when it has closed the connection.
      pollfd p{fd, POLLRDHUP, 0};
      if (::poll(&p, 1, 20) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR))) return;
      if (read_every_ms_ > 0 && std::chrono::steady_clock::now() >= next_read) {
        char byte;
        if (::recv(fd, &byte, 1, MSG_DONTWAIT) == 1) ++read_;
        next_read += std::chrono::milliseconds(read_every_ms_);
      }
    }
  }

  const std::string host_;
  const std::uint16_t port_;
  const std::string request_;
  const int read_every_ms_;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::atomic<long long> sent_{0}, read_{0};
  std::thread thread_;
};

// Waits until the clients' sockets are full and the server takes no more of
// their requests: nothing more sent over one `step_ms`, or `tries` steps.
inline void WaitUntilStuck(const std::vector<std::unique_ptr<StuckClient>>& clients, int step_ms, int tries) {
  long long before = -1;
  for (int i = 0; i < tries; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
    long long now = 0;
    for (auto& c : clients) now += c->BytesSent();
    if (now == before) return;
    before = now;
  }
}

// n connections to host:port that send nothing; the descriptors of those that
// connected. CloseAll() them when done.
inline std::vector<int> OpenIdleConnections(const std::string& host, std::uint16_t port, int n) {
  std::vector<int> fds;
  for (int i = 0; i < n; ++i) {
    const int fd = ConnectIpv4From(host, port);
    if (fd >= 0) fds.push_back(fd);
  }
  return fds;
}

inline void CloseAll(std::vector<int>& fds) {
  for (int fd : fds) ::close(fd);
  fds.clear();
}

}  // namespace tarvina
