#pragma once
// The main thread's message loop. Every request, driver, reply and log line runs
// on one thread, so the drivers' flags and buffers need no locks; this loop is
// what lets other threads (connections, serial event threads) reach that thread,
// and what lets a driver wait for its terminal without stalling the server.
//
// Promises the rest of the program relies on:
//  - Synchronize() from another thread blocks until the call has run on the
//    main thread and rethrows what it threw; from the main thread it runs at once.
//  - ProcessMessages() may be called from inside anything running on the main
//    thread, also from inside a call it is itself running.
//  - WaitMessage() blocks, without spinning, until there is something to process.
//    Every flag a driver's wait tests changes only inside something the loop
//    runs, so "process, test, block" is exactly a busy wait that costs nothing.
//  - Timers are one-shot: each start runs a full interval and fires once.
//  - With a virtual clock, when nothing but a timer can happen, the clock jumps
//    to the next deadline.
//  - Quit() releases every thread waiting in Synchronize (it gets LoopClosed).
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "platform/Clock.h"

namespace tarvina {

// Thrown by Synchronize() when the loop has quit before running the call.
class LoopClosed : public std::runtime_error {
 public:
  LoopClosed() : std::runtime_error("main loop closed") {}
};

class Timer;

// Something outside the loop that has events of its own (a desktop toolkit's
// event queue). The loop calls Process() inside ProcessMessages(). With the
// real clock, when the loop would block it calls Block() instead of waiting on
// its own condition, so that the source's events are handled while the loop
// waits; every Post, Synchronize, Wake, timer change and Quit calls Interrupt().
class EventSource {
 public:
  virtual ~EventSource() = default;
  virtual void Process() = 0;
  // Main thread: handles the source's events, blocking until at least one came,
  // Interrupt() was called (also before this call, since the last Block), or
  // timeout_ms ran out (negative: no limit). May return early.
  virtual void Block(Millis timeout_ms) = 0;
  // Any thread, also with the loop's lock held: makes the current or next
  // Block() return. Must not call back into the loop.
  virtual void Interrupt() = 0;
};

class MainLoop {
 public:
  // The constructing thread becomes the main thread.
  explicit MainLoop(Clock& clock = DefaultClock());
  ~MainLoop();
  MainLoop(const MainLoop&) = delete;
  MainLoop& operator=(const MainLoop&) = delete;

  Clock& clock() const { return clock_; }
  bool IsMainThread() const { return std::this_thread::get_id() == main_thread_; }

  void Synchronize(std::function<void()> fn);
  // Queue fn for the main thread without waiting for it. Any thread.
  void Post(std::function<void()> fn);

  void ProcessMessages();
  void WaitMessage();
  // The wait step of every driver loop: process, test, block until done() holds.
  // kTake: an interrupt (below) that is pending when done() does not hold yet
  // is thrown from here. kLeave, for waits that must not throw (a port's
  // thread ending inside its Close): interrupts stay pending.
  enum class Interrupts { kTake, kLeave };
  void WaitUntil(const std::function<bool()>& done, Interrupts interrupts = Interrupts::kTake);
  // Main thread: the next WaitUntil step that finds its condition unmet throws
  // error. A serial port whose device vanished uses it: the driver waiting for
  // that line would otherwise sit out its whole protocol time-out. A wait whose
  // condition already holds returns as usual and leaves the error pending for
  // the next one. CancelInterrupt drops it, if it came from `source` (the port
  // does, when it closes: whoever waited on the line has stopped).
  void InterruptWait(std::exception_ptr error, const void* source);
  void CancelInterrupt(const void* source);

  // Makes the next (or current) WaitMessage() return. Any thread.
  void Wake();

  // Process messages until Quit().
  void Run();
  void Quit();
  bool Quitting() const;

  // Virtual time only: a probe answers false while a thread it knows of is
  // about to hand something to the main thread, so the clock must not jump yet.
  int AddIdleProbe(std::function<bool()> idle);
  void RemoveIdleProbe(int id);

  // Main thread, before the threads that hand things over start (or with
  // nullptr, after they ended).
  void SetEventSource(EventSource* source);

  // Hand-offs run and timer events fired so far (for tests and figures).
  std::uint64_t MessagesRun() const;

 private:
  friend class Timer;
  struct Call;

  void ArmTimer(Timer* t, Millis deadline);
  void DisarmTimer(Timer* t);
  bool RunOneCall();
  bool FireOneTimer();
  bool ProbesIdle();
  void NotifyLocked();  // with mu_ held: wake whoever waits for the loop

  Clock& clock_;
  std::thread::id main_thread_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::shared_ptr<Call>> queue_;
  std::multimap<Millis, Timer*> timers_;
  std::map<Timer*, std::multimap<Millis, Timer*>::iterator> timer_pos_;
  std::map<int, std::function<bool()>> probes_;
  int next_probe_ = 1;
  bool wake_ = false;
  bool quitting_ = false;
  std::uint64_t messages_run_ = 0;
  EventSource* source_ = nullptr;
  // Main thread only: the pending interrupt and where it came from.
  std::exception_ptr interrupt_;
  const void* interrupt_source_ = nullptr;
};

// A main-thread one-shot timer: enabling it (or changing its interval while
// enabled) starts a full interval; when it runs out, OnTimer runs once on the
// main thread, inside message processing, and the timer is disabled.
class Timer {
 public:
  explicit Timer(MainLoop& loop, Millis interval_ms = 1000);
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  void SetInterval(Millis ms);
  Millis Interval() const { return interval_; }
  void SetEnabled(bool on);
  bool Enabled() const { return enabled_; }

  std::function<void()> OnTimer;

 private:
  friend class MainLoop;
  MainLoop& loop_;
  Millis interval_;
  bool enabled_ = false;
};

}  // namespace tarvina
