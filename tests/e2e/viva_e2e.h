#pragma once
// Helpers of the Viva Wallet end-to-end tests: child programs whose output is
// read line by line, and the billing side of a request as a raw socket.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tarvina::viva_e2e {

using SteadyClock = std::chrono::steady_clock;

// A child program whose standard output (and error) the test reads line by line.
class Child {
 public:
  explicit Child(const std::vector<std::string>& argv) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(fds[1], 1);
      ::dup2(fds[1], 2);
      std::vector<char*> args;
      for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
    ::close(fds[1]);
    out_ = fds[0];
  }
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status;
      for (int i = 0; i < 500 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i) ::usleep(10000);
      if (::waitpid(pid_, &status, WNOHANG) == 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
      }
    }
    if (out_ >= 0) ::close(out_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Reads output until a line holding needle has come after the line last
  // matched (true), or timeout_ms have passed.
  bool WaitFor(const std::string& needle, int timeout_ms = 10000) {
    const auto end = SteadyClock::now() + std::chrono::milliseconds(timeout_ms);
    for (std::size_t seen = matched_;;) {
      for (; seen < lines_.size(); ++seen)
        if (lines_[seen].find(needle) != std::string::npos) {
          matched_ = seen + 1;
          return true;
        }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - SteadyClock::now()).count();
      if (left <= 0 || !ReadMore(static_cast<int>(left))) return false;
    }
  }
  // The lines so far that hold needle.
  std::vector<std::string> Lines(const std::string& needle) {
    while (ReadMore(0)) {
    }
    std::vector<std::string> out;
    for (const auto& l : lines_)
      if (l.find(needle) != std::string::npos) out.push_back(l);
    return out;
  }

 private:
  bool ReadMore(int timeout_ms) {
    if (out_ < 0) return false;
    pollfd p{out_, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return false;
    char buf[4096];
    const ssize_t n = ::read(out_, buf, sizeof buf);
    if (n <= 0) return false;
    partial_.append(buf, static_cast<std::size_t>(n));
    for (std::size_t nl; (nl = partial_.find('\n')) != std::string::npos;) {
      lines_.push_back(partial_.substr(0, nl));
      partial_.erase(0, nl + 1);
    }
    return true;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  std::string partial_;
  std::vector<std::string> lines_;
  std::size_t matched_ = 0;
};

inline int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), len);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

// The billing side: one connection, one packet.
class Billing {
 public:
  explicit Billing(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~Billing() { ::close(fd_); }
  bool connected() const { return connected_; }

  void Send(const std::vector<std::pair<std::string, std::string>>& keys) {
    std::string s = "[InfoPachet]\r\n";
    for (const auto& [k, v] : keys) s += k + "=" + v + "\r\n";
    s += "[ENDPACHET]\r\n";
    ASSERT_EQ(::send(fd_, s.data(), s.size(), MSG_NOSIGNAL), static_cast<ssize_t>(s.size()));
  }
  // Bytes that have arrived by now, without waiting.
  std::string Pending() {
    std::string got;
    char buf[4096];
    for (ssize_t n; (n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT)) > 0;) got.append(buf, n);
    reply_ += got;
    return got;
  }
  // The reply up to and including its end line.
  std::string Reply(int timeout_ms = 60000) {
    const auto end = SteadyClock::now() + std::chrono::milliseconds(timeout_ms);
    while (reply_.size() < 13 || reply_.compare(reply_.size() - 13, 13, "[ENDPACHET]\r\n") != 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - SteadyClock::now()).count();
      pollfd p{fd_, POLLIN, 0};
      if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) break;
      char buf[4096];
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) break;
      reply_.append(buf, static_cast<std::size_t>(n));
    }
    return reply_;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
  std::string reply_;
};

inline std::string Bin(const std::string& name) { return std::string(TARVINA_BIN_DIR) + "/" + name; }

// `tarvina-sim viva --listen addr` with scenario options, once it listens.
inline std::unique_ptr<Child> StartVivaSim(const std::string& addr, const std::vector<std::string>& options = {}) {
  std::vector<std::string> argv = {Bin("tarvina-sim"), "viva", "--listen", addr};
  argv.insert(argv.end(), options.begin(), options.end());
  auto sim = std::make_unique<Child>(argv);
  EXPECT_TRUE(sim->WaitFor("listening " + addr + ":8080")) << "simulator did not start on " << addr;
  return sim;
}

}  // namespace tarvina::viva_e2e
