#include "platform/TcpClient.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace tarvina {

namespace {

// One read takes at most this much; a terminal that floods the line cannot
// make a single call swallow unbounded memory.
constexpr std::size_t kReadChunk = 64 * 1024;

std::string SystemText(int err) {
  switch (err) {
    case ECONNREFUSED: return "conexiune refuzata";
    case ETIMEDOUT: return "timp depasit";
    case ECONNRESET: return "conexiune resetata de POS";
    case EPIPE: return "conexiune intrerupta";
    case EHOSTUNREACH: return "gazda inaccesibila";
    case ENETUNREACH: return "retea inaccesibila";
    case EADDRNOTAVAIL: return "adresa indisponibila";
    default: return "eroare de sistem " + std::to_string(err) + " (" + std::strerror(err) + ")";
  }
}

std::string Endpoint(const std::string& host, int port) {
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

struct AddrInfoFree {
  void operator()(addrinfo* a) const {
    if (a) freeaddrinfo(a);
  }
};
using AddrList = std::unique_ptr<addrinfo, AddrInfoFree>;

// A name lookup runs on a helper thread so that the caller can give up on it
// when the resolver is slow; the helper frees its own result if nobody waits.
struct Lookup {
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;
  bool abandoned = false;
  int rc = 0;
  addrinfo* result = nullptr;
};

AddrList Resolve(const std::string& host, int port, Millis timeout_ms) {
  const std::string service = std::to_string(port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo* res = nullptr;
  if (!host.empty() && getaddrinfo(host.c_str(), service.c_str(), &hints, &res) == 0) return AddrList(res);

  if (host.empty()) throw TcpError("Adresa POS-ului nu a fost transmisa");
  hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
  auto lookup = std::make_shared<Lookup>();
  std::thread([lookup, host, service, hints] {
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    std::lock_guard<std::mutex> lock(lookup->mu);
    if (lookup->abandoned) {
      if (found) freeaddrinfo(found);
      return;
    }
    lookup->rc = rc;
    lookup->result = found;
    lookup->done = true;
    lookup->cv.notify_all();
  }).detach();

  std::unique_lock<std::mutex> lock(lookup->mu);
  if (!lookup->cv.wait_for(lock, std::chrono::milliseconds(std::max<Millis>(timeout_ms, 0)),
                           [&] { return lookup->done; })) {
    lookup->abandoned = true;
    throw TcpError("Timp depasit la rezolvarea numelui " + host);
  }
  if (lookup->rc != 0 || !lookup->result) {
    if (lookup->result) freeaddrinfo(lookup->result);
    throw TcpError("Numele " + host + " nu a putut fi rezolvat");
  }
  return AddrList(lookup->result);
}

// poll() on one descriptor until an event or the deadline on clock.
int PollUntil(Clock& clock, int fd, short events, Millis deadline) {
  for (;;) {
    const Millis left = std::max<Millis>(deadline - clock.NowMs(), 0);
    pollfd p{fd, events, 0};
    const int rc = ::poll(&p, 1, static_cast<int>(std::min<Millis>(left, 1 << 30)));
    if (rc < 0 && errno == EINTR) continue;
    return rc;
  }
}

}  // namespace

SocketTcpClient::SocketTcpClient(Clock& clock) : clock_(clock) {}

SocketTcpClient::~SocketTcpClient() { Disconnect(); }

void SocketTcpClient::Connect(const std::string& host, int port, Millis timeout_ms) {
  Disconnect();
  const Millis deadline = clock_.NowMs() + timeout_ms;
  const std::string where = Endpoint(host, port);
  AddrList addrs = Resolve(host, port, timeout_ms);

  int last_error = 0;
  bool timed_out = false;
  for (addrinfo* a = addrs.get(); a && !timed_out; a = a->ai_next) {
    const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      last_error = errno;
      continue;
    }
    int err = 0;
    if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
      err = errno;
      if (err == EINPROGRESS) {
        const int rc = PollUntil(clock_, fd, POLLOUT, deadline);
        if (rc == 0) {
          timed_out = true;
        } else if (rc < 0) {
          err = errno;
        } else {
          socklen_t len = sizeof err;
          if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
        }
      }
    }
    if (err == 0 && !timed_out) {
      // From here on reads and writes block; the waits are done with poll().
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      fd_ = fd;
      peer_closed_ = false;
      return;
    }
    if (err != 0 && err != EINPROGRESS) last_error = err;
    ::close(fd);
  }
  if (timed_out) throw TcpError("Timp depasit la conectarea la " + where);
  if (last_error == ECONNREFUSED) throw TcpError("Conexiune refuzata de " + where);
  throw TcpError("Eroare la conectarea la " + where + ": " + SystemText(last_error));
}

bool SocketTcpClient::Connected() { return fd_ >= 0 && !peer_closed_; }

void SocketTcpClient::Disconnect() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  peer_closed_ = false;
  in_.clear();
}

void SocketTcpClient::RequireOpen() const {
  if (fd_ < 0) throw TcpError("Nu exista conexiune cu POS-ul");
}

void SocketTcpClient::Write(const std::string& bytes) {
  RequireOpen();
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw TcpError("Eroare la scrierea catre POS: " + SystemText(errno));
    sent += static_cast<std::size_t>(n);
  }
}

bool SocketTcpClient::Receive(Millis wait_ms, bool* timed_out) {
  if (fd_ < 0 || peer_closed_) return false;
  const int rc = PollUntil(clock_, fd_, POLLIN, clock_.NowMs() + wait_ms);
  if (rc < 0) throw TcpError("Eroare la citirea de la POS: " + SystemText(errno));
  if (rc == 0) {
    if (timed_out) *timed_out = true;
    return false;
  }
  char buf[kReadChunk];
  for (;;) {
    const ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) {
      in_.append(buf, static_cast<std::size_t>(n));
      return true;
    }
    if (n == 0) {
      peer_closed_ = true;
      return false;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
    throw TcpError("Eroare la citirea de la POS: " + SystemText(errno));
  }
}

bool SocketTcpClient::DataWaiting() {
  if (in_.empty()) Receive(0);
  return !in_.empty();
}

bool SocketTcpClient::WaitForData(Millis ms) {
  if (!in_.empty()) return true;
  RequireOpen();
  const Millis deadline = clock_.NowMs() + ms;
  bool timed_out = false;
  while (!peer_closed_ && !timed_out) {
    if (Receive(std::max<Millis>(deadline - clock_.NowMs(), 0), &timed_out)) return true;
  }
  if (peer_closed_) throw TcpError("Conexiunea a fost inchisa de POS");
  return false;
}

std::string SocketTcpClient::TakeAll() {
  Receive(0);
  std::string out;
  out.swap(in_);
  return out;
}

TcpClientFactory SocketTcpClientFactory(Clock& clock) {
  return [&clock] { return std::make_unique<SocketTcpClient>(clock); };
}

}  // namespace tarvina
