#pragma once
// The built `tarvina` run as a child process for end-to-end tests and the
// benchmark: its standard output is read line by line on a thread of its own
// (so the server never blocks on a full pipe) and can be waited for.
// Header-only, so that the benchmark programs can use it too.
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tarvina {

// A TCP port that was free a moment ago (bound to port 0, then released).
inline std::uint16_t FreePort() {
  int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
  if (fd >= 0) {
    const int off = 0;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_any;
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
      ::close(fd);
      return ntohs(a.sin6_port);
    }
    ::close(fd);
  }
  fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  socklen_t len = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

// CPU time of every thread of the process, in nanoseconds (the first field
// of each task's schedstat; finer than the clock ticks of /proc/<pid>/stat).
inline double ProcessCpuNs(pid_t pid) {
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  double ns = 0;
  DIR* d = ::opendir(dir.c_str());
  if (!d) return 0;
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream in(dir + "/" + e->d_name + "/schedstat");
    double run = 0;
    if (in >> run) ns += run;
  }
  ::closedir(d);
  return ns;
}

#ifdef TARVINA_BIN_DIR
// Path of a built program.
inline std::string BinPath(const std::string& name) { return std::string(TARVINA_BIN_DIR) + "/" + name; }
#endif

class ServerProcess {
 public:
  ServerProcess() = default;
  ~ServerProcess() {
    if (pid_ > 0 && status_ < 0) {
      ::kill(pid_, SIGKILL);
      Wait(10000);
    }
    if (reader_.joinable()) reader_.join();
  }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Where the child's standard error goes: nowhere, to the test's own
  // standard error, or among the lines of standard output (for programs that
  // report on standard error what a test waits for).
  enum class Stderr { kDiscard, kKeep, kWithOutput };

  // Runs `program` with `args`; stderr goes to /dev/null unless keep_stderr.
  void Start(const std::string& program, const std::vector<std::string>& args,
             bool keep_stderr = false) {
    Start(program, args, keep_stderr ? Stderr::kKeep : Stderr::kDiscard);
  }
  void Start(const std::string& program, const std::vector<std::string>& args, Stderr err) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    std::vector<std::string> argv_s = {program};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_s) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      if (err == Stderr::kWithOutput) {
        ::dup2(out[1], 2);
      } else if (err == Stderr::kDiscard) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 2);
      }
      // The test runner may have blocked signals; the server wants its own mask.
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      ::execv(program.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    status_ = -1;
    reader_ = std::thread([this, fd = out[0]] { ReadOutput(fd); });
  }

  // Starts `tarvina --headless --port <free port>` plus `extra`, and waits for
  // the listening caption. Tries again with another port if it was taken.
  bool StartServer(const std::string& program, const std::vector<std::string>& extra = {}) {
    for (int attempt = 0; attempt < 5; ++attempt) {
      port_ = FreePort();
      std::vector<std::string> args = {"--headless", "--port", std::to_string(port_)};
      args.insert(args.end(), extra.begin(), extra.end());
      Start(program, args);
      const int caption = WaitForLine("Port : ", 10000);
      if (caption >= 0 && Lines()[caption].find("    Server activ") != std::string::npos) return true;
      ::kill(pid_, SIGKILL);
      Wait(10000);
      if (reader_.joinable()) reader_.join();
      std::lock_guard<std::mutex> lock(mu_);
      lines_.clear();
      eof_ = false;
    }
    return false;
  }

  // Waits until some line of standard output (from line `from` on) contains
  // `text`; returns its index, or -1 after timeout_ms.
  int WaitForLine(const std::string& text, int timeout_ms = 10000, std::size_t from = 0) {
    std::unique_lock<std::mutex> lock(mu_);
    int found = -1;
    cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
      for (std::size_t i = from; i < lines_.size(); ++i)
        if (lines_[i].find(text) != std::string::npos) {
          found = static_cast<int>(i);
          return true;
        }
      return eof_;
    });
    return found;
  }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(mu_);
    return lines_;
  }
  std::size_t LineCount() {
    std::lock_guard<std::mutex> lock(mu_);
    return lines_.size();
  }

  void Signal(int signo) {
    if (pid_ > 0 && status_ < 0) ::kill(pid_, signo);
  }
  // Waits for the exit; the exit status (128 + signal when killed by one), or
  // -1 after timeout_ms.
  int Wait(int timeout_ms = 10000) {
    if (status_ >= 0) return status_;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      int st = 0;
      const pid_t r = ::waitpid(pid_, &st, WNOHANG);
      if (r == pid_) {
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return status_;
      }
      if (std::chrono::steady_clock::now() > deadline) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  pid_t pid() const { return pid_; }
  std::uint16_t port() const { return port_; }
  // Entries of /proc/<pid>/task and /proc/<pid>/fd.
  int Threads() const { return CountEntries("/proc/" + std::to_string(pid_) + "/task"); }
  int Descriptors() const { return CountEntries("/proc/" + std::to_string(pid_) + "/fd"); }

 private:
  static int CountEntries(const std::string& dir) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return -1;
    int n = 0;
    while (dirent* e = ::readdir(d))
      if (e->d_name[0] != '.') ++n;
    ::closedir(d);
    return n;
  }

  void ReadOutput(int fd) {
    std::string partial;
    char buf[4096];
    for (;;) {
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      std::lock_guard<std::mutex> lock(mu_);
      for (ssize_t i = 0; i < n; ++i) {
        if (buf[i] == '\n') {
          lines_.push_back(partial);
          partial.clear();
        } else {
          partial += buf[i];
        }
      }
      cv_.notify_all();
    }
    ::close(fd);
    std::lock_guard<std::mutex> lock(mu_);
    eof_ = true;
    cv_.notify_all();
  }

  pid_t pid_ = -1;
  int status_ = -1;
  std::uint16_t port_ = 0;
  std::thread reader_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> lines_;
  bool eof_ = false;
};

}  // namespace tarvina
