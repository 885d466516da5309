#include "platform/HeadlessShell.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace tarvina {

std::string TimeStamp() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t t = system_clock::to_time_t(now);
  const int ms = static_cast<int>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
  return buf;
}

std::string Printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

void HeadlessShell::Emit(const char* what, const std::string& text) {
  // One write per line, flushed, so that a reader sees whole lines at once.
  const std::string line = TimeStamp() + " " + what + Printable(text) + "\n";
  std::lock_guard<std::mutex> lock(mu_);
  out_ << line << std::flush;
}

void HeadlessShell::SetLogLines(const std::vector<std::string>& lines) {
  for (const auto& l : lines) Emit("log: ", l);
}

void HeadlessShell::AddTrayIcon(const std::string& tip) {
  tray_ = true;
  tray_tip_ = tip.substr(0, kTrayTipMax);
}

}  // namespace tarvina
