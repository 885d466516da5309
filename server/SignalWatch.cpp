#include "server/SignalWatch.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdint>
#include <system_error>

namespace tarvina {

namespace {

sigset_t WatchedSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

void SignalWatch::BlockSignals() {
  const sigset_t set = WatchedSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

SignalWatch::SignalWatch(std::function<void(int, int)> handler) : handler_(std::move(handler)) {
  const sigset_t set = WatchedSignals();
  signal_fd_ = ::signalfd(-1, &set, SFD_CLOEXEC);
  stop_fd_ = ::eventfd(0, EFD_CLOEXEC);
  if (signal_fd_ < 0 || stop_fd_ < 0) throw std::system_error(errno, std::generic_category());
  thread_ = std::thread([this] { Run(); });
}

SignalWatch::~SignalWatch() {
  const std::uint64_t one = 1;
  [[maybe_unused]] ssize_t r = ::write(stop_fd_, &one, sizeof one);
  if (thread_.joinable()) thread_.join();
  ::close(signal_fd_);
  ::close(stop_fd_);
}

void SignalWatch::Run() {
  int count = 0;
  for (;;) {
    pollfd fds[2] = {{signal_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    signalfd_siginfo info{};
    if (::read(signal_fd_, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) continue;
    handler_(static_cast<int>(info.ssi_signo), ++count);
  }
}

}  // namespace tarvina
