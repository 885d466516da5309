#pragma once
// A private X display for the desktop tests: Xvfb on a display number it
// picks itself (so parallel runs never collide), a tray host (trayer), and
// xdotool / xwininfo / xprop / xclip run against it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace tarvina {

// A shell command's standard output, trailing new lines removed.
inline std::string Sh(const std::string& command, int* status = nullptr) {
  FILE* p = ::popen((command + " 2>/dev/null").c_str(), "r");
  if (!p) return "";
  std::string out;
  char buf[512];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  const int st = ::pclose(p);
  if (status) *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

inline bool HaveTool(const std::string& name) {
  int st = 0;
  Sh("command -v " + name, &st);
  return st == 0;
}

// Polls cond every 20 ms until it holds or timeout_ms pass.
inline bool Eventually(const std::function<bool()>& cond, int timeout_ms = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (cond()) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

class XSession {
 public:
  // The tools it needs; empty when all are there, else the missing ones.
  static std::string Missing() {
    std::string missing;
    for (const char* t : {"Xvfb", "xdotool", "trayer", "xwininfo", "xprop", "xclip"})
      if (!HaveTool(t)) missing += std::string(missing.empty() ? "" : ", ") + t;
    return missing;
  }

  // Starts Xvfb and the tray host and points DISPLAY at them; false (with
  // why) when either does not come up.
  bool Start(std::string& why) {
    int fds[2];
    if (::pipe(fds) != 0) return false;
    xvfb_ = Spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
    ::close(fds[1]);
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    while (number.find('\n') == std::string::npos && ::poll(&p, 1, 10000) > 0) {
      char c;
      if (::read(fds[0], &c, 1) != 1) break;
      number += c;
    }
    ::close(fds[0]);
    if (number.find('\n') == std::string::npos) {
      why = "Xvfb gave no display number";
      return false;
    }
    number.pop_back();
    display_ = ":" + number;
    ::setenv("DISPLAY", display_.c_str(), 1);
    // The programs must use the tray host on this display, not a desktop bus.
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    ::unsetenv("QT_QPA_PLATFORM");
    ::unsetenv("WAYLAND_DISPLAY");
    runtime_dir_ = "/tmp/tarvina-gui-" + std::to_string(::getpid());
    ::mkdir(runtime_dir_.c_str(), 0700);
    ::setenv("XDG_RUNTIME_DIR", runtime_dir_.c_str(), 1);
    trayer_ = Spawn({"trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "24",
                     "--transparent", "false", "--SetDockType", "true"});
    if (!Eventually([] { return !Sh("xdotool search --classname '^panel$'").empty(); }, 10000)) {
      why = "the tray host did not come up on " + display_;
      return false;
    }
    return true;
  }

  ~XSession() {
    for (pid_t pid : {trayer_, xvfb_})
      if (pid > 0) {
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
      }
    if (!runtime_dir_.empty()) ::rmdir(runtime_dir_.c_str());
  }

  const std::string& display() const { return display_; }

 private:
  // Descriptors without close-on-exec (the -displayfd pipe) are inherited.
  static pid_t Spawn(const std::vector<std::string>& args) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      const int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(null, 2);
      std::vector<char*> argv;
      for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execvp(argv[0], argv.data());
      ::_exit(127);
    }
    return pid;
  }

  pid_t xvfb_ = -1, trayer_ = -1;
  std::string display_, runtime_dir_;
};

}  // namespace tarvina
