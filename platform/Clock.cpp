#include "platform/Clock.h"

#include <chrono>
#include <ctime>
#include <thread>

namespace tarvina {

Millis SystemClock::NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

TimeOfDay SystemClock::WallTime() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  return TimeOfDay{tm.tm_hour, tm.tm_min, tm.tm_sec};
}

void SystemClock::SleepMs(Millis ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

Clock& DefaultClock() {
  static SystemClock clock;
  return clock;
}

VirtualClock::VirtualClock(int wall_start_seconds) : wall_start_seconds_(wall_start_seconds) {}

TimeOfDay VirtualClock::WallTime() {
  Millis s = (wall_start_seconds_ + now_.load() / 1000) % 86400;
  return TimeOfDay{static_cast<int>(s / 3600), static_cast<int>(s / 60 % 60), static_cast<int>(s % 60)};
}

void VirtualClock::AdvanceTo(Millis t) {
  Millis cur = now_.load();
  while (t > cur && !now_.compare_exchange_weak(cur, t)) {
  }
}

}  // namespace tarvina
