#include "platform/MainLoop.h"

#include <chrono>
#include <vector>

namespace tarvina {

struct MainLoop::Call {
  std::function<void()> fn;
  bool waited = false;  // a thread blocks on it
  bool done = false;    // ran, or will never run
  bool ran = false;
  std::exception_ptr error;
};

MainLoop::MainLoop(Clock& clock) : clock_(clock), main_thread_(std::this_thread::get_id()) {}

MainLoop::~MainLoop() {
  Quit();
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& [t, it] : timer_pos_) t->enabled_ = false;
  timers_.clear();
  timer_pos_.clear();
}

void MainLoop::Synchronize(std::function<void()> fn) {
  if (IsMainThread()) {
    fn();
    return;
  }
  auto call = std::make_shared<Call>();
  call->fn = std::move(fn);
  call->waited = true;
  std::unique_lock<std::mutex> lock(mu_);
  if (quitting_) throw LoopClosed();
  queue_.push_back(call);
  NotifyLocked();
  cv_.wait(lock, [&] { return call->done; });
  if (!call->ran) throw LoopClosed();
  std::exception_ptr error = std::move(call->error);
  lock.unlock();
  if (error) std::rethrow_exception(error);
}

void MainLoop::Post(std::function<void()> fn) {
  auto call = std::make_shared<Call>();
  call->fn = std::move(fn);
  std::lock_guard<std::mutex> lock(mu_);
  if (quitting_) return;
  queue_.push_back(call);
  NotifyLocked();
}

bool MainLoop::RunOneCall() {
  std::shared_ptr<Call> call;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (queue_.empty()) return false;
    call = queue_.front();
    queue_.pop_front();
    ++messages_run_;
  }
  std::exception_ptr error;
  try {
    call->fn();
  } catch (...) {
    error = std::current_exception();
  }
  // A posted call has nobody to carry its failure back to; it must not take
  // the main thread down with it.
  // The exception is moved, not copied, so that only the waiting thread ever
  // touches its reference count after this point.
  std::lock_guard<std::mutex> lock(mu_);
  call->error = std::move(error);
  call->ran = true;
  call->done = true;
  if (call->waited) cv_.notify_all();
  return true;
}

bool MainLoop::FireOneTimer() {
  Timer* t = nullptr;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (timers_.empty() || timers_.begin()->first > clock_.NowMs()) return false;
    t = timers_.begin()->second;
    timer_pos_.erase(t);
    timers_.erase(timers_.begin());
    t->enabled_ = false;
    ++messages_run_;
  }
  // The timer may be restarted or even destroyed by its own event; copy the
  // handler so that neither pulls it out from under us.
  auto handler = t->OnTimer;
  if (handler) handler();
  return true;
}

void MainLoop::ProcessMessages() {
  EventSource* source;
  {
    std::lock_guard<std::mutex> lock(mu_);
    source = source_;
  }
  if (source) source->Process();
  for (;;) {
    bool any = RunOneCall();
    any = FireOneTimer() || any;
    if (!any) break;
  }
}

bool MainLoop::ProbesIdle() {
  std::vector<std::function<bool()>> probes;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& [id, p] : probes_) probes.push_back(p);
  }
  for (auto& p : probes)
    if (!p()) return false;
  return true;
}

void MainLoop::WaitMessage() {
  const bool virtual_time = clock_.IsVirtual();
  for (;;) {
    // Probes take their own locks, so they are asked outside ours.
    const bool idle = virtual_time ? ProbesIdle() : true;
    std::unique_lock<std::mutex> lock(mu_);
    if (!queue_.empty() || wake_ || quitting_) {
      wake_ = false;
      return;
    }
    const bool have_timer = !timers_.empty();
    const Millis next = have_timer ? timers_.begin()->first : 0;
    const Millis now = clock_.NowMs();
    if (have_timer && next <= now) return;
    if (virtual_time) {
      if (idle && have_timer) {
        clock_.AdvanceTo(next);
        return;
      }
      if (idle) {
        cv_.wait(lock, [&] { return !queue_.empty() || wake_ || quitting_; });
      } else {
        // Someone is about to hand us something; give it a moment, then look again.
        cv_.wait_for(lock, std::chrono::milliseconds(1));
      }
      continue;
    }
    if (source_) {
      // The source's own wait is the loop's: its events are handled while
      // nothing else happens, and every hand-off interrupts it.
      EventSource* source = source_;
      lock.unlock();
      source->Block(have_timer ? next - now : -1);
      lock.lock();
      wake_ = false;
      return;
    }
    if (have_timer) {
      cv_.wait_for(lock, std::chrono::milliseconds(next - now),
                   [&] { return !queue_.empty() || wake_ || quitting_; });
    } else {
      cv_.wait(lock, [&] { return !queue_.empty() || wake_ || quitting_; });
    }
    wake_ = false;
    return;
  }
}

void MainLoop::WaitUntil(const std::function<bool()>& done, Interrupts interrupts) {
  for (;;) {
    ProcessMessages();
    if (done()) return;
    if (interrupts == Interrupts::kTake && interrupt_) {
      std::exception_ptr error = std::move(interrupt_);
      interrupt_ = nullptr;
      interrupt_source_ = nullptr;
      std::rethrow_exception(error);
    }
    WaitMessage();
  }
}

void MainLoop::InterruptWait(std::exception_ptr error, const void* source) {
  interrupt_ = std::move(error);
  interrupt_source_ = interrupt_ ? source : nullptr;
}

void MainLoop::CancelInterrupt(const void* source) {
  if (interrupt_ && interrupt_source_ == source) {
    interrupt_ = nullptr;
    interrupt_source_ = nullptr;
  }
}

void MainLoop::Wake() {
  std::lock_guard<std::mutex> lock(mu_);
  wake_ = true;
  NotifyLocked();
}

void MainLoop::Run() {
  for (;;) {
    ProcessMessages();
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (quitting_) return;
    }
    WaitMessage();
  }
}

void MainLoop::Quit() {
  std::lock_guard<std::mutex> lock(mu_);
  quitting_ = true;
  // Threads blocked on a hand-off that will now never run are let go.
  for (auto& call : queue_) call->done = true;
  queue_.clear();
  NotifyLocked();
}

void MainLoop::NotifyLocked() {
  cv_.notify_all();
  if (source_) source_->Interrupt();
}

void MainLoop::SetEventSource(EventSource* source) {
  std::lock_guard<std::mutex> lock(mu_);
  source_ = source;
}

bool MainLoop::Quitting() const {
  std::lock_guard<std::mutex> lock(mu_);
  return quitting_;
}

int MainLoop::AddIdleProbe(std::function<bool()> idle) {
  std::lock_guard<std::mutex> lock(mu_);
  int id = next_probe_++;
  probes_[id] = std::move(idle);
  return id;
}

void MainLoop::RemoveIdleProbe(int id) {
  std::lock_guard<std::mutex> lock(mu_);
  probes_.erase(id);
  NotifyLocked();
}

std::uint64_t MainLoop::MessagesRun() const {
  std::lock_guard<std::mutex> lock(mu_);
  return messages_run_;
}

void MainLoop::ArmTimer(Timer* t, Millis deadline) {
  std::lock_guard<std::mutex> lock(mu_);
  auto old = timer_pos_.find(t);
  if (old != timer_pos_.end()) {
    timers_.erase(old->second);
    timer_pos_.erase(old);
  }
  timer_pos_[t] = timers_.emplace(deadline, t);
  NotifyLocked();
}

void MainLoop::DisarmTimer(Timer* t) {
  std::lock_guard<std::mutex> lock(mu_);
  auto old = timer_pos_.find(t);
  if (old != timer_pos_.end()) {
    timers_.erase(old->second);
    timer_pos_.erase(old);
  }
}

namespace {
// The real clock counts whole milliseconds, so "now" may be up to 1 ms past
// the reading; one more keeps a timer from ever firing short of its interval.
Millis DeadlineAfter(Clock& clock, Millis interval) {
  return clock.NowMs() + interval + (clock.IsVirtual() ? 0 : 1);
}
}  // namespace

Timer::Timer(MainLoop& loop, Millis interval_ms) : loop_(loop), interval_(interval_ms) {}

Timer::~Timer() { loop_.DisarmTimer(this); }

void Timer::SetInterval(Millis ms) {
  if (ms == interval_) return;
  interval_ = ms;
  if (enabled_) loop_.ArmTimer(this, DeadlineAfter(loop_.clock(), interval_));
}

void Timer::SetEnabled(bool on) {
  if (on == enabled_) return;
  enabled_ = on;
  if (on && interval_ > 0)
    loop_.ArmTimer(this, DeadlineAfter(loop_.clock(), interval_));
  else
    loop_.DisarmTimer(this);
}

}  // namespace tarvina
