#include "platform/TcpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/MainLoop.h"

namespace tarvina {

namespace {

std::string ErrnoText(int err) { return std::strerror(err); }

void CloseFd(int fd) {
  if (fd >= 0) ::close(fd);
}

Millis NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// What the kernel buffers for a connection each way (the accepted sockets
// take it from the listener): requests and replies are a few short lines,
// and a client that sends without reading must not pin megabytes of the
// kernel's memory.
constexpr int kSocketBufferBytes = 64 * 1024;

// A burst of refusals is told once none came for this long, or after this
// long at the latest.
constexpr Millis kBurstQuietMs = 1000;
constexpr Millis kBurstLongestMs = 10000;

bool IsV4Mapped(const in6_addr& a) { return IN6_IS_ADDR_V4MAPPED(&a); }

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

void RaiseDescriptorLimit() {
  rlimit lim{};
  if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &lim);
  }
}

// ---- done reports

void CompletionQueue::Add(std::function<void()> fn) {
  if (!loop_) {
    fn();
    return;
  }
  std::lock_guard<std::mutex> lock(mu_);
  pending_.push_back(std::move(fn));
  if (posted_) return;
  posted_ = true;
  loop_->Post([this] { Run(); });
}

void CompletionQueue::Run() {
  std::vector<std::function<void()>> ready;
  {
    std::lock_guard<std::mutex> lock(mu_);
    ready.swap(pending_);
    posted_ = false;
  }
  for (auto& fn : ready) {
    try {
      fn();
    } catch (...) {
      // One report that fails must not keep the others from running.
    }
  }
}

// ---- one connection

TcpConnection::TcpConnection(int fd, int wake_fd, std::string peer, Limits limits,
                             CompletionQueue& completions)
    : fd_(fd), wake_fd_(wake_fd), peer_(std::move(peer)), limits_(limits), completions_(completions) {
  const int flags = ::fcntl(fd_, F_GETFL);
  ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
}

TcpConnection::~TcpConnection() {
  CloseFd(fd_);
  CloseFd(wake_fd_);
}

void TcpConnection::Write(const std::string& bytes, std::function<void(bool)> done) {
  std::unique_lock<std::mutex> lock(mu_);
  if (failed_) {
    lock.unlock();
    Report(done, false);
    return;
  }
  std::size_t sent = 0;
  if (!sending_ && queue_.empty()) {
    // Nothing is on its way before it: what the socket takes at once goes
    // now, without waiting (the client has it without a thread switch), and
    // the connection's thread writes the rest.
    const ssize_t r = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r > 0) sent = static_cast<std::size_t>(r);
    if (sent == bytes.size()) {
      lock.unlock();
      Report(done, true);
      return;
    }
  }
  queue_.push_back(Pending{bytes, sent, NowMs() + limits_.write_ms, std::move(done)});
  if (polling_ && !woken_) {
    woken_ = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t r = ::write(wake_fd_, &one, sizeof one);
  }
}

void TcpConnection::Close() {
  std::lock_guard<std::mutex> lock(mu_);
  closing_ = true;
  if (!woken_) {
    woken_ = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t r = ::write(wake_fd_, &one, sizeof one);
  }
}

void TcpConnection::Report(std::function<void(bool)>& done, bool delivered) {
  if (done) completions_.Add([done = std::move(done), delivered] { done(delivered); });
}

bool TcpConnection::Writing() {
  if (current_) return true;
  std::lock_guard<std::mutex> lock(mu_);
  sending_ = !queue_.empty();
  if (!sending_) return false;
  current_ = std::move(queue_.front());
  queue_.pop_front();
  return true;
}

bool TcpConnection::SendPending() {
  while (Writing()) {
    Pending& p = *current_;
    const ssize_t r = ::send(fd_, p.bytes.data() + p.sent, p.bytes.size() - p.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r > 0) {
      p.sent += static_cast<std::size_t>(r);
      if (p.sent == p.bytes.size()) {
        Report(p.done, true);
        current_.reset();
        quiet_since_ = NowMs();
      }
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (NowMs() < p.deadline) return true;
    }
    Fail();
    return false;
  }
  return true;
}

void TcpConnection::Fail() {
  std::deque<Pending> dropped;
  {
    std::lock_guard<std::mutex> lock(mu_);
    failed_ = true;
    dropped.swap(queue_);
  }
  if (current_) {
    Report(current_->done, false);
    current_.reset();
  }
  for (auto& p : dropped) Report(p.done, false);
  ::shutdown(fd_, SHUT_RDWR);
}

void TcpConnection::WaitForWake() {
  std::uint64_t v;
  [[maybe_unused]] ssize_t r = ::read(wake_fd_, &v, sizeof v);
  std::lock_guard<std::mutex> lock(mu_);
  woken_ = false;
}

std::size_t TcpConnection::Read(std::uint8_t* buf, std::size_t n) {
  quiet_since_ = NowMs();
  for (;;) {
    if (!SendPending()) return 0;
    bool writing = current_.has_value();
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (failed_) return 0;
      if (!writing && !queue_.empty()) continue;  // handed over meanwhile
      if (closing_ && !writing) return 0;
      polling_ = true;
    }
    int timeout = -1;
    const Millis now = NowMs();
    if (writing)
      timeout = static_cast<int>(std::max<Millis>(0, current_->deadline - now));
    else if (limits_.idle_ms > 0)
      timeout = static_cast<int>(std::max<Millis>(0, quiet_since_ + limits_.idle_ms - now));
    pollfd fds[2] = {{fd_, static_cast<short>(writing ? POLLOUT : POLLIN), 0}, {wake_fd_, POLLIN, 0}};
    const int k = ::poll(fds, 2, timeout);
    {
      std::lock_guard<std::mutex> lock(mu_);
      polling_ = false;
    }
    if (k < 0) {
      if (errno == EINTR) continue;
      Fail();
      return 0;
    }
    if (fds[1].revents & POLLIN) WaitForWake();
    if (k == 0) {
      // A reply not taken in time, or a client silent for too long.
      Fail();
      return 0;
    }
    if (writing || !(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    const ssize_t r = ::recv(fd_, buf, n, MSG_DONTWAIT);
    if (r > 0) return static_cast<std::size_t>(r);
    if (r < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    Fail();
    return 0;
  }
}

void TcpConnection::Finish() {
  Close();
  for (;;) {
    if (!SendPending()) return;
    if (!current_) break;
    pollfd p{fd_, POLLOUT, 0};
    const int k = ::poll(&p, 1, static_cast<int>(std::max<Millis>(0, current_->deadline - NowMs())));
    if (k == 0) break;
    if (k < 0 && errno != EINTR) break;
  }
  Fail();  // drops what is left, or comes later, and ends the socket
}

// ---- who may connect

AddressFilter AddressFilter::Parse(const std::string& list, std::vector<std::string>& bad) {
  AddressFilter f;
  std::size_t pos = 0;
  while (pos <= list.size()) {
    std::size_t comma = list.find(',', pos);
    if (comma == std::string::npos) comma = list.size();
    std::string entry = list.substr(pos, comma - pos);
    pos = comma + 1;
    const auto first = entry.find_first_not_of(" \t");
    if (first == std::string::npos) continue;
    entry = entry.substr(first, entry.find_last_not_of(" \t") - first + 1);
    f.active_ = true;

    const auto slash = entry.find('/');
    const std::string address = entry.substr(0, slash);
    Range r{};
    int max_prefix;
    in6_addr a6{};
    if (::inet_pton(AF_INET, address.c_str(), r.bytes) == 1) {
      r.family = AF_INET;
      max_prefix = 32;
    } else if (::inet_pton(AF_INET6, address.c_str(), &a6) == 1) {
      r.family = AF_INET6;
      max_prefix = 128;
      std::memcpy(r.bytes, &a6, 16);
    } else {
      bad.push_back(entry);
      continue;
    }
    r.prefix = max_prefix;
    if (slash != std::string::npos) {
      const std::string digits = entry.substr(slash + 1);
      if (digits.empty() || digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string::npos ||
          std::stoi(digits) > max_prefix) {
        bad.push_back(entry);
        continue;
      }
      r.prefix = std::stoi(digits);
    }
    // An IPv4-mapped range is the IPv4 range it maps: clients of the
    // dual-stack listener are matched as plain IPv4.
    if (r.family == AF_INET6 && IsV4Mapped(a6) && r.prefix >= 96) {
      r.family = AF_INET;
      std::memmove(r.bytes, r.bytes + 12, 4);
      r.prefix -= 96;
    }
    f.ranges_.push_back(r);
  }
  return f;
}

bool AddressFilter::Allows(const sockaddr* addr) const {
  if (!active_) return true;
  int family = addr->sa_family;
  const std::uint8_t* bytes;
  if (family == AF_INET) {
    bytes = reinterpret_cast<const std::uint8_t*>(&reinterpret_cast<const sockaddr_in*>(addr)->sin_addr);
  } else if (family == AF_INET6) {
    const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(addr)->sin6_addr;
    bytes = reinterpret_cast<const std::uint8_t*>(&a);
    if (IsV4Mapped(a)) {
      family = AF_INET;
      bytes += 12;
    }
  } else {
    return false;
  }
  for (const auto& r : ranges_) {
    if (r.family != family) continue;
    const int whole = r.prefix / 8, rest = r.prefix % 8;
    if (std::memcmp(r.bytes, bytes, whole) != 0) continue;
    const std::uint8_t mask = static_cast<std::uint8_t>(0xFF00 >> rest);
    if (rest == 0 || ((r.bytes[whole] ^ bytes[whole]) & mask) == 0) return true;
  }
  return false;
}

std::string AddressText(const sockaddr* addr) {
  char text[INET6_ADDRSTRLEN] = "";
  if (addr->sa_family == AF_INET) {
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(addr)->sin_addr, text, sizeof text);
  } else if (addr->sa_family == AF_INET6) {
    const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(addr)->sin6_addr;
    if (IsV4Mapped(a))
      ::inet_ntop(AF_INET, reinterpret_cast<const std::uint8_t*>(&a) + 12, text, sizeof text);
    else
      ::inet_ntop(AF_INET6, &a, text, sizeof text);
  }
  return text;
}

// ---- the listener

TcpServer::TcpServer(Handler handler, MainLoop* loop) : handler_(std::move(handler)), completions_(loop) {}

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
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSocketBufferBytes, sizeof kSocketBufferBytes);
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kSocketBufferBytes, sizeof kSocketBufferBytes);
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
  int fd = -1;
  sockaddr_in6 a6{};
  a6.sin6_family = AF_INET6;
  a6.sin6_port = htons(port);
  sockaddr_in a4{};
  a4.sin_family = AF_INET;
  a4.sin_port = htons(port);
  if (settings_.bind.empty()) {
    a6.sin6_addr = in6addr_any;
    fd = BoundSocket(reinterpret_cast<sockaddr*>(&a6), sizeof a6, err);
    if (fd < 0 && (err == EAFNOSUPPORT || err == EADDRNOTAVAIL)) {
      // A machine without IPv6 gets a plain IPv4 socket.
      a4.sin_addr.s_addr = htonl(INADDR_ANY);
      fd = BoundSocket(reinterpret_cast<sockaddr*>(&a4), sizeof a4, err);
    }
  } else if (::inet_pton(AF_INET, settings_.bind.c_str(), &a4.sin_addr) == 1) {
    fd = BoundSocket(reinterpret_cast<sockaddr*>(&a4), sizeof a4, err);
  } else if (::inet_pton(AF_INET6, settings_.bind.c_str(), &a6.sin6_addr) == 1) {
    fd = BoundSocket(reinterpret_cast<sockaddr*>(&a6), sizeof a6, err);
  } else {
    reason = "Bind=" + settings_.bind + " is no IPv4 or IPv6 address";
    return false;
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
  spare_fd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  listen_fd_ = fd;
  stopping_ = false;
  acceptor_ = std::thread([this] { AcceptLoop(); });
  return true;
}

void TcpServer::WakeAcceptLoop() {
  const std::uint64_t one = 1;
  if (wake_fd_ >= 0) {
    [[maybe_unused]] ssize_t r = ::write(wake_fd_, &one, sizeof one);
  }
}

void TcpServer::Notice(const std::string& line) {
  if (OnNotice) OnNotice(line);
}

void TcpServer::Refuse(const std::string& reason) {
  const Millis now = NowMs();
  if (refusals_.count == 0) {
    refusals_.first = now;
    refusals_.reason = reason;
  }
  ++refusals_.count;
  refusals_.last = now;
}

int TcpServer::TellRefusals(bool force) {
  if (refusals_.count == 0) return -1;
  const Millis now = NowMs();
  const Millis quiet_end = refusals_.last + kBurstQuietMs, longest_end = refusals_.first + kBurstLongestMs;
  if (!force && now < quiet_end && now < longest_end)
    return static_cast<int>(std::min(quiet_end, longest_end) - now);
  Notice("refused " + std::to_string(refusals_.count) + " connection" + (refusals_.count == 1 ? "" : "s") +
         ": " + refusals_.reason);
  refusals_ = Refusals{};
  return -1;
}

void TcpServer::AcceptLoop() {
  const int lfd = listen_fd_;
  bool backoff = false;
  while (!stopping_) {
    const int burst_ms = TellRefusals(false);
    pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {lfd, POLLIN, 0}};
    // Out of descriptors with none to spare: the pending clients wait until
    // a connection ends (which wakes us) or a while has passed, instead of
    // spinning on a listener that stays readable.
    int timeout = backoff ? 100 : burst_ms;
    if (backoff && burst_ms >= 0) timeout = std::min(timeout, burst_ms);
    const int n = ::poll(fds, backoff ? 1 : 2, timeout);
    backoff = false;
    if (n < 0 && errno != EINTR) break;
    if (fds[0].revents & POLLIN) {
      std::uint64_t v;
      [[maybe_unused]] ssize_t r = ::read(wake_fd_, &v, sizeof v);
    }
    Reap(false);
    if (!stopping_ && (fds[1].revents & POLLIN)) AcceptOne(lfd, backoff);
  }
  TellRefusals(true);
  CloseFd(lfd);
}

void TcpServer::AcceptOne(int lfd, bool& backoff) {
  sockaddr_storage peer{};
  socklen_t len = sizeof peer;
  const int cfd = ::accept4(lfd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
  if (cfd < 0) {
    if (errno == EMFILE || errno == ENFILE) {
      if (spare_fd_ >= 0) {
        // The spare descriptor makes room to take the client and close it,
        // so that it learns at once instead of hanging in the queue.
        CloseFd(spare_fd_);
        const int refused = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
        CloseFd(refused);
        spare_fd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (refused >= 0) Refuse("no descriptor free");
      }
      backoff = spare_fd_ < 0;
    } else if (errno == ENOBUFS || errno == ENOMEM) {
      backoff = true;
    }
    return;
  }
  const auto* addr = reinterpret_cast<const sockaddr*>(&peer);
  std::string text = AddressText(addr);
  if (!settings_.allow.Allows(addr)) {
    CloseFd(cfd);
    Notice("connection from " + text + " refused: not in AllowFrom");
    return;
  }
  std::size_t open;
  {
    std::lock_guard<std::mutex> lock(mu_);
    open = conns_.size();
  }
  if (open >= settings_.max_connections) {
    CloseFd(cfd);
    Refuse(std::to_string(settings_.max_connections) + " open (MaxConnections)");
    return;
  }
  if (StartConnection(cfd, std::move(text))) TellRefusals(true);  // the burst is over: this one is served
}

bool TcpServer::StartConnection(int fd, std::string peer) {
  const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) {
    CloseFd(fd);
    Refuse("no descriptor free");
    return false;
  }
  std::lock_guard<std::mutex> lock(mu_);
  auto& c = conns_.emplace_back();
  c.connection = std::make_unique<TcpConnection>(fd, wake, std::move(peer), settings_.limits, completions_);
  struct Start {
    TcpServer* server;
    Conn* conn;
  };
  auto* start = new Start{this, &c};
  const auto entry = [](void* arg) -> void* {
    const Start s = *static_cast<Start*>(arg);
    delete static_cast<Start*>(arg);
    s.server->RunConnection(*s.conn);
    return nullptr;
  };
  if (::pthread_create(&c.thread, nullptr, entry, start) != 0) {
    delete start;
    conns_.pop_back();  // no thread to be had: the connection is refused
    Refuse("no thread to be had");
    return false;
  }
  c.started = true;
  return true;
}

void TcpServer::RunConnection(Conn& c) {
  try {
    handler_(*c.connection);
  } catch (...) {
    // A failing connection ends itself, never the server.
  }
  // The peer sees the end now; the descriptors go when the thread is reaped.
  c.connection->Finish();
  std::lock_guard<std::mutex> lock(mu_);
  c.done = true;
  WakeAcceptLoop();
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
    if (c.started) ::pthread_join(c.thread, nullptr);
}

void TcpServer::Stop() {
  if (acceptor_.joinable()) {
    stopping_ = true;
    WakeAcceptLoop();
    acceptor_.join();
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& c : conns_) c.connection->Close();
  }
  Reap(true);
  CloseFd(wake_fd_);
  CloseFd(spare_fd_);
  wake_fd_ = spare_fd_ = -1;
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
