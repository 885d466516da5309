#include "server/RequestClient.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/TcpServer.h"
#include "server/Packets.h"

namespace tarvina {

RequestClient::~RequestClient() { Close(); }

bool RequestClient::Connect(const std::string& host, std::uint16_t port, std::string& reason) {
  Close();
  fd_ = ConnectTcp(host, port, reason);
  return fd_ >= 0;
}

bool RequestClient::Send(const std::string& bytes) { return SendAll(fd_, bytes) == 0; }

void RequestClient::FinishSending() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

void RequestClient::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  pending_.clear();
  scanned_ = 0;
}

bool RequestClient::ReadMore(int timeout_ms, Result& r) {
  pollfd p{fd_, POLLIN, 0};
  int n;
  do {
    n = ::poll(&p, 1, timeout_ms);
  } while (n < 0 && errno == EINTR);
  if (n == 0) {
    r = Result::kTimedOut;
    return false;
  }
  char buf[4096];
  ssize_t got;
  do {
    got = ::recv(fd_, buf, sizeof buf, 0);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) {
    r = Result::kClosed;
    return false;
  }
  pending_.append(buf, static_cast<std::size_t>(got));
  return true;
}

RequestClient::Result RequestClient::ReadReply(std::string& bytes, int timeout_ms) {
  Result r = Result::kReply;
  for (;;) {
    // Look for a complete end line among the lines not yet looked at.
    for (std::size_t lf; (lf = pending_.find('\n', scanned_)) != std::string::npos;) {
      std::string line = pending_.substr(scanned_, lf - scanned_);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      scanned_ = lf + 1;
      if (IsEndLine(line)) {
        bytes = pending_.substr(0, scanned_);
        pending_.erase(0, scanned_);
        scanned_ = 0;
        return Result::kReply;
      }
    }
    if (!ReadMore(timeout_ms, r)) {
      bytes = pending_;
      pending_.clear();
      scanned_ = 0;
      return r;
    }
  }
}

RequestClient::Result RequestClient::ReadToEnd(std::string& bytes, int timeout_ms) {
  Result r = Result::kClosed;
  while (ReadMore(timeout_ms, r)) {
  }
  bytes = pending_;
  pending_.clear();
  scanned_ = 0;
  return r;
}

std::string RequestBytes(const RequestFields& f) {
  std::vector<std::pair<std::string, std::string>> keys;
  const std::pair<const char*, const std::string*> all[] = {
      {"Operatie", &f.Operatie}, {"TipPos", &f.TipPos},       {"PortSerial", &f.PortSerial},
      {"Suma", &f.Suma},         {"NrBon", &f.NrBon},         {"SessionID", &f.SessionID},
      {"IPPosViva", &f.IPPosViva}};
  for (const auto& [key, value] : all)
    if (!value->empty()) keys.emplace_back(key, *value);
  return EncodeLines(RequestLines(keys));
}

std::vector<std::string> ReplyLines(const std::string& bytes) {
  // Not the request line reader: a reply line may be longer than any request
  // line (a rejected amount is echoed back whole).
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t lf; (lf = bytes.find('\n', start)) != std::string::npos; start = lf + 1) {
    std::string line = bytes.substr(start, lf - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
  }
  if (start < bytes.size()) lines.push_back(bytes.substr(start));
  return lines;
}

}  // namespace tarvina
