#pragma once
// The wire trace: every byte the PC sends to a terminal and every byte it
// receives, as one text line per write or arrival. Off by default; when off,
// drivers pay one relaxed load per write or arrival.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace tarvina {

class WireTrace {
 public:
  using Sink = std::function<void(const std::string& line)>;

  // Installs the sink (null switches tracing off). Call before drivers run.
  static void SetSink(Sink sink);
  static bool Enabled() { return enabled_.load(std::memory_order_relaxed); }
  // Emits "PC : ..." (out) or "POS : ..." (in) for the bytes.
  static void Bytes(bool out, const std::uint8_t* data, std::size_t n);
  // Emits a line as it stands (drivers with a trace format of their own).
  static void Line(const std::string& line);

  // "PC : " or "POS : ", then each byte preceded by a blank: bytes below 32
  // as decimal numbers, others as the character.
  static std::string Format(bool out, const std::uint8_t* data, std::size_t n);

 private:
  static std::atomic<bool> enabled_;
};

}  // namespace tarvina
