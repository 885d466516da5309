#pragma once
// The event thread of an open TComPort: waits for the line's events and hands
// each batch to the main thread, where the port turns them into its
// notification steps (OnRxChar and the others). While a batch is queued or
// running the thread starts no new wait; the platform keeps queueing bytes and
// the next batch reports them.
#include <atomic>
#include <cstdint>
#include <thread>

#include "platform/Comm.h"
#include "serial/CPort.h"

namespace tarvina {

// The port's event set and the platform's event flags, both ways.
std::uint32_t EventsToInt(TComEvents events);
TComEvents IntToEvents(std::uint32_t mask);

class TComThread {
 public:
  // Selects the port's events on the platform, then starts the thread.
  explicit TComThread(TCustomComPort& port);
  // Stops the thread and waits for its end. On the main thread it keeps
  // serving queued deliveries meanwhile, so a thread blocked on one can finish
  // (the delivery then runs inside this call, before the handle is released).
  ~TComThread();
  TComThread(const TComThread&) = delete;
  TComThread& operator=(const TComThread&) = delete;

  void Stop();
  // The thread has left its loop: stopped, failed to wait, or a delivery threw.
  bool Ended() const { return ended_.load(); }
  // Main thread: one of this thread's deliveries is running (the thread waits for it).
  bool Delivering() const { return delivering_; }
  // Main thread, after Stop, from inside one of its deliveries: the port
  // releases the handle now, so the thread must not touch it on its way out.
  void Release() { released_ = true; }

 private:
  void Execute();
  void DispatchComMsg();
  void ReportLineLost(int error);

  TCustomComPort& FComPort;
  CommHandle handle_;
  TComEvents FEvents = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> ended_{false};
  std::atomic<bool> released_{false};
  bool delivering_ = false;
  int probe_id_ = 0;
  std::thread thread_;
};

}  // namespace tarvina
