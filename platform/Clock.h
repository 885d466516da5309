#pragma once
// Time for everything that waits: the main loop's timers, the drivers' silence
// time-outs and the BRD sale's clock. Tests swap in VirtualClock so that
// protocol time-outs of minutes pass in microseconds.
#include <atomic>
#include <cstdint>

namespace tarvina {

using Millis = std::int64_t;

struct TimeOfDay {
  int hour = 0;
  int minute = 0;
  int second = 0;
};

class Clock {
 public:
  virtual ~Clock() = default;
  // Monotonic milliseconds from an arbitrary origin.
  virtual Millis NowMs() = 0;
  // The local wall clock's time of day.
  virtual TimeOfDay WallTime() = 0;
  virtual void SleepMs(Millis ms) = 0;
  virtual bool IsVirtual() const { return false; }
  // Only meaningful for a virtual clock: move time forward to t (never back).
  virtual void AdvanceTo(Millis t) {}
};

class SystemClock final : public Clock {
 public:
  Millis NowMs() override;
  TimeOfDay WallTime() override;
  void SleepMs(Millis ms) override;
};

// The process-wide real clock.
Clock& DefaultClock();

// Time that moves only when told to: by SleepMs, Advance, or the main loop
// jumping to its next timer deadline when nothing else can happen.
class VirtualClock final : public Clock {
 public:
  // wall_start_seconds: the time of day (seconds since midnight) at NowMs() == 0.
  explicit VirtualClock(int wall_start_seconds = 10 * 3600);
  Millis NowMs() override { return now_.load(); }
  TimeOfDay WallTime() override;
  void SleepMs(Millis ms) override { Advance(ms); }
  bool IsVirtual() const override { return true; }
  void AdvanceTo(Millis t) override;
  void Advance(Millis ms) { AdvanceTo(now_.load() + ms); }

 private:
  std::atomic<Millis> now_{0};
  int wall_start_seconds_;
};

}  // namespace tarvina
