#pragma once
// What the serial drivers share around their line: reading what the port
// reported waiting, keeping it in a fixed buffer, and the silence limit of a
// wait (ResetTimer / TimeOutTimer forward to SilenceTimer).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <span>
#include <string>

#include "platform/MainLoop.h"
#include "serial/CPort.h"

namespace tarvina {

// Reads the `count` bytes the port's notification announced, at most one
// `chunk` at a time, and hands every piece read to `take(data, n)` (n >= 1).
// A read that gives less than asked ends it: nothing more is waiting, and
// whatever comes later brings a notification of its own. A count of zero or
// less reads nothing. Returns how many bytes were read.
template <typename Take>
std::size_t ReadWaiting(TCustomComPort& port, int count, std::span<std::uint8_t> chunk, Take&& take) {
  std::size_t total = 0;
  const int room = static_cast<int>(std::min<std::size_t>(chunk.size(), 1 << 30));
  int left = std::max(count, 0);
  while (left > 0 && room > 0) {
    const int want = std::min(left, room);
    const int got = std::clamp(port.Read(chunk.data(), want), 0, want);
    if (got > 0) {
      take(static_cast<const std::uint8_t*>(chunk.data()), static_cast<std::size_t>(got));
      total += static_cast<std::size_t>(got);
    }
    if (got < want) break;
    left -= got;
  }
  return total;
}

// Appends to `buffer`, which holds `held` bytes, what fits of data[0..n);
// the rest is dropped. Returns the bytes held afterwards.
inline int KeepWhatFits(std::span<std::uint8_t> buffer, int held, const std::uint8_t* data, std::size_t n) {
  const std::size_t at = std::min<std::size_t>(static_cast<std::size_t>(std::max(held, 0)), buffer.size());
  const std::size_t keep = std::min(n, buffer.size() - at);
  if (keep > 0) std::memcpy(buffer.data() + at, data, keep);
  return static_cast<int>(at + keep);
}

// A driver's log line for bytes that arrived: each byte in decimal and a blank.
inline std::string DecimalLine(const std::uint8_t* data, std::size_t n) {
  std::string s;
  s.reserve(n * 4);
  for (std::size_t i = 0; i < n; ++i) {
    s += std::to_string(data[i]);
    s += ' ';
  }
  return s;
}

// The silence limit of a driver's waits: a main-thread one-shot timer and the
// flag its expiry sets. Restart() runs a full interval from now, so a limit
// measures silence on the line rather than the length of the exchange.
class SilenceTimer {
 public:
  static constexpr Millis FromSeconds(double seconds) { return static_cast<Millis>(seconds * 1000); }

  // `on_expiry` runs when the interval runs out (the driver's TimeOutTimer,
  // which calls Expire()). The timer starts disabled.
  SilenceTimer(MainLoop& loop, Millis interval_ms, std::function<void()> on_expiry)
      : timer_(loop, interval_ms) {
    timer_.OnTimer = std::move(on_expiry);
  }

  void Restart() {
    timer_.SetEnabled(false);
    timed_out_ = false;
    timer_.SetEnabled(true);
  }
  void Expire() {
    timed_out_ = true;
    timer_.SetEnabled(false);
  }
  void Stop() { timer_.SetEnabled(false); }
  void SetInterval(Millis ms) { timer_.SetInterval(ms); }
  Millis Interval() const { return timer_.Interval(); }
  bool Enabled() const { return timer_.Enabled(); }
  bool TimedOut() const { return timed_out_; }

 private:
  Timer timer_;
  bool timed_out_ = false;
};

}  // namespace tarvina
