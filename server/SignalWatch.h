#pragma once
// SIGINT and SIGTERM, read on a thread of their own, so that the main loop
// receives them as ordinary hand-offs instead of in a signal handler.
#include <functional>
#include <thread>

namespace tarvina {

class SignalWatch {
 public:
  // Blocks SIGINT and SIGTERM in the calling thread and so in every thread
  // started after it. Call first thing in main().
  static void BlockSignals();

  // `handler` runs on the watcher thread with the signal number and how many
  // of them came so far (1 for the first).
  explicit SignalWatch(std::function<void(int signo, int count)> handler);
  ~SignalWatch();
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;

 private:
  void Run();

  std::function<void(int, int)> handler_;
  int signal_fd_ = -1;
  int stop_fd_ = -1;
  std::thread thread_;
};

}  // namespace tarvina
