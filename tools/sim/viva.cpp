// tarvina-sim viva: a Viva Wallet terminal on TCP. It greets each connection,
// reads one request, checks its length field and form, and answers with the
// fields its options choose.
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/Trace.h"
#include "terminals/VivaWalletIntf/VivaFrames.h"
#include "tools/sim/SimKind.h"
#include "tools/sim/SimOptions.h"

namespace tarvina::sim {

namespace {

struct Options {
  std::string listen;
  int port = kVivaPort;
  std::string greeting = "VIVA READY";
  bool greet = true;
  std::string result = "00";
  std::string message;
  bool message_set = false;
  int fields = 31;
  std::string txn_id;
  std::string txn_date = "2024-01-01 12:00:00";
  bool zero_bytes = false;
  int segments = 1;
  int segment_pause_ms = 200;
  int reply_delay_ms = 0;
  int length_extra = 0;
  bool silent = false;
  long count = -1;  // connections to serve; -1: until stopped
  bool trace = false;
};

Options FromCommandLine(const SimOptions& t) {
  Options o;
  o.listen = t.Text("--listen");
  o.port = static_cast<int>(t.Number("--port"));
  o.greeting = t.Text("--greeting");
  o.greet = !t.Flag("--no-greeting");
  o.result = t.Text("--result");
  o.message_set = t.Given("--message");
  o.message = t.Text("--message");
  o.fields = static_cast<int>(t.Number("--fields"));
  o.txn_id = t.Text("--txn-id");
  o.txn_date = t.Text("--txn-date");
  o.zero_bytes = t.Flag("--zero-bytes");
  o.segments = static_cast<int>(t.Number("--segments"));
  o.segment_pause_ms = static_cast<int>(t.Number("--pause"));
  o.reply_delay_ms = static_cast<int>(t.Number("--delay"));
  o.length_extra = static_cast<int>(t.Number("--length-extra"));
  o.silent = t.Flag("--silent");
  if (t.Given("--count")) o.count = t.Number("--count");
  if (t.Flag("--once")) o.count = 1;
  return o;
}

void Say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

std::string Printable(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    }
  }
  return out;
}

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The sim's own side is the terminal: what it sends is "POS", what it reads "PC".
void Trace(const Options& o, bool from_pc, const std::string& bytes) {
  if (o.trace)
    std::fprintf(stderr, "%s\n",
                 WireTrace::Format(from_pc, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()).c_str());
}

bool SendAll(const Options& o, int fd, const std::string& s) {
  Trace(o, false, s);
  std::size_t sent = 0;
  while (sent < s.size()) {
    const ssize_t n = ::send(fd, s.data() + sent, s.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

// Reads what arrives within wait_ms (-1: no limit); false when the peer closed.
bool ReadSome(const Options& o, int fd, std::string& into, int wait_ms, bool& timed_out) {
  timed_out = false;
  pollfd p{fd, POLLIN, 0};
  int rc;
  do rc = ::poll(&p, 1, wait_ms);
  while (rc < 0 && errno == EINTR);
  if (rc == 0) {
    timed_out = true;
    return true;
  }
  char buf[4096];
  const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
  if (n <= 0) return false;
  into.append(buf, static_cast<std::size_t>(n));
  Trace(o, true, std::string(buf, static_cast<std::size_t>(n)));
  return true;
}

bool IsAmount(const std::string& s) {
  std::size_t i = s.size() > 0 && s[0] == '-' ? 1 : 0;
  const std::size_t dot = s.find('.');
  if (dot == std::string::npos || dot == i || s.size() - dot != 3) return false;
  for (; i < s.size(); ++i)
    if (i != dot && (s[i] < '0' || s[i] > '9')) return false;
  return true;
}

// What is wrong with the request, or "" when its length field and form hold.
std::string CheckRequest(const std::string& req) {
  const auto f = VivaSplit(req);
  if (f.empty() || f.back() != "") return "not closed by |";
  if (f[0].size() < 4 || f[0].find_first_not_of("0123456789") != std::string::npos)
    return "length field \"" + f[0] + "\" is not a number of at least 4 digits";
  const std::size_t following = req.size() - f[0].size();
  const std::size_t length = std::stoul(f[0]);
  if (f.size() < 4 || f[2] != "200") return "message type is not 200";
  if (f[3] == "00") {
    if (f.size() != 12) return "a sale has 11 fields, not " + std::to_string(f.size() - 1);
    if (length != following) return "sale length field " + f[0] + " but " + std::to_string(following) + " follow";
    if (f[6] != "0000") return "msgOpt is not 0000";
  } else if (f[3] == "04") {
    if (f.size() != 8) return "a cancellation has 7 fields, not " + std::to_string(f.size() - 1);
    if (length + 1 != following)
      return "cancellation length field " + f[0] + " but " + std::to_string(following) + " follow";
    if (f[1].size() != 6 || f[6] != f[1]) return "refNum differs from the 6-character sessionId";
    if (f[4].size() < 32) return "uniqueTxnId shorter than 32";
  } else {
    return "message code \"" + f[3] + "\" is neither 00 nor 04";
  }
  if (!IsAmount(f[5])) return "amount \"" + f[5] + "\" is not digits, a full stop and two decimals";
  return "";
}

std::string WithZeros(const std::string& s) {
  const std::size_t half = s.size() / 2;
  return s.substr(0, half) + std::string(2, '\0') + s.substr(half);
}

std::string BuildReply(const Options& o, const std::vector<std::string>& req, const std::string& problem) {
  const bool bad = !problem.empty();
  const std::string session = req.size() > 1 ? req[1] : "";
  std::vector<std::string> f(static_cast<std::size_t>(o.fields));
  auto set = [&](std::size_t i, const std::string& v) {
    if (i < f.size()) f[i] = v;
  };
  set(1, session);
  set(2, "210");
  set(3, req.size() > 3 ? req[3] : "");
  set(4, bad ? "30" : o.result);
  std::string message = o.message_set ? o.message : (o.result == "00" ? "APROBAT" : "REFUZAT");
  if (bad) message = "Cerere invalida: " + problem;
  std::string id = o.txn_id.empty() ? "TX" + session : o.txn_id;
  if (o.zero_bytes) {
    message = WithZeros(message);
    id = WithZeros(id);
  }
  set(5, message);
  for (std::size_t i = 6; i < 29; ++i) set(i, "R" + std::to_string(i));
  set(29, id);
  set(30, o.txn_date);
  std::string body;
  for (std::size_t i = 1; i < f.size(); ++i) body += "|" + f[i];
  return VivaLengthField(body.size() + static_cast<std::size_t>(o.length_extra)) + body;
}

void Serve(int fd, const Options& o) {
  if (o.greet && !SendAll(o, fd, o.greeting)) return;
  std::string req;
  bool timed_out = false;
  while (req.empty() || VivaReplyStatus(req) == VivaReplyState::Short)
    if (!ReadSome(o, fd, req, -1, timed_out)) return;
  // The length field may count one "|" fewer than follow (a cancellation):
  // take what is still on its way.
  do
    if (!ReadSome(o, fd, req, 100, timed_out)) break;
  while (!timed_out);
  Say("request " + Printable(req));
  const std::string problem = CheckRequest(req);
  if (!problem.empty()) Say("bad request: " + problem);

  if (!o.silent) {
    SleepMs(o.reply_delay_ms);
    const std::string reply = BuildReply(o, VivaSplit(req), problem);
    const std::size_t n = static_cast<std::size_t>(o.segments);
    for (std::size_t i = 0; i < n; ++i) {
      if (i > 0) SleepMs(o.segment_pause_ms);
      const std::size_t from = reply.size() * i / n, to = reply.size() * (i + 1) / n;
      if (!SendAll(o, fd, reply.substr(from, to - from))) return;
    }
    Say("reply " + Printable(reply));
  }
  // Hold the connection until the driver lets it go.
  std::string rest;
  while (ReadSome(o, fd, rest, -1, timed_out)) rest.clear();
}

int Listen(const Options& o) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* res = nullptr;
  const std::string port = std::to_string(o.port);
  if (const int rc = getaddrinfo(o.listen.c_str(), port.c_str(), &hints, &res); rc != 0) {
    std::fprintf(stderr, "viva: cannot resolve %s: %s\n", o.listen.c_str(), gai_strerror(rc));
    return -1;
  }
  int fd = -1;
  for (addrinfo* a = res; a && fd < 0; a = a->ai_next) {
    fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, 16) != 0) {
      ::close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(res);
  if (fd < 0) std::fprintf(stderr, "viva: cannot listen on %s port %d: %s\n", o.listen.c_str(), o.port,
                           std::strerror(errno));
  return fd;
}

// Serves connections one after another until stopped or --count is reached.
int RunViva(SimContext& ctx) {
  Options o = FromCommandLine(*ctx.options);
  o.trace = ctx.trace;
  const int lfd = Listen(o);
  if (lfd < 0) return 1;
  Say("listening " + o.listen + ":" + std::to_string(o.port));
  long served = 0;
  while (o.count < 0 || served < o.count) {
    const int fd = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR) continue;
      std::perror("viva: accept");
      ::close(lfd);
      return 1;
    }
    Say("connected");
    Serve(fd, o);
    ::close(fd);
    Say("disconnected");
    ++served;
  }
  ::close(lfd);
  return 0;
}

[[maybe_unused]] const bool registered = RegisterSimKind({"viva", RunViva});

}  // namespace

}  // namespace tarvina::sim
