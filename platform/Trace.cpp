#include "platform/Trace.h"

#include <mutex>

namespace tarvina {

std::atomic<bool> WireTrace::enabled_{false};

namespace {
std::mutex& SinkMutex() {
  static std::mutex m;
  return m;
}
WireTrace::Sink& SinkRef() {
  static WireTrace::Sink sink;
  return sink;
}
}  // namespace

void WireTrace::SetSink(Sink sink) {
  std::lock_guard<std::mutex> lock(SinkMutex());
  SinkRef() = std::move(sink);
  enabled_.store(static_cast<bool>(SinkRef()), std::memory_order_relaxed);
}

std::string WireTrace::Format(bool out, const std::uint8_t* data, std::size_t n) {
  std::string s = out ? "PC : " : "POS : ";
  for (std::size_t i = 0; i < n; ++i) {
    s += ' ';
    if (data[i] < 32)
      s += std::to_string(data[i]);
    else
      s += static_cast<char>(data[i]);
  }
  return s;
}

void WireTrace::Line(const std::string& line) {
  if (!Enabled()) return;
  std::lock_guard<std::mutex> lock(SinkMutex());
  if (SinkRef()) SinkRef()(line);
}

void WireTrace::Bytes(bool out, const std::uint8_t* data, std::size_t n) {
  if (!Enabled()) return;
  Line(Format(out, data, n));
}

}  // namespace tarvina
