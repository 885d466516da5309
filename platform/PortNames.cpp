#include "platform/PortNames.h"

#include <mutex>

namespace tarvina {

namespace {

std::mutex& MapMutex() {
  static std::mutex m;
  return m;
}

std::map<int, std::string>& PortMap() {
  static std::map<int, std::string> map;
  return map;
}

}  // namespace

int ComPortNumber(const std::string& name) {
  std::string s = name;
  if (!s.empty() && s.back() == ':') s.pop_back();
  if (s.size() < 4 || s.size() > 12) return 0;
  auto up = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; };
  if (up(s[0]) != 'C' || up(s[1]) != 'O' || up(s[2]) != 'M') return 0;
  long n = 0;
  for (std::size_t i = 3; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return 0;
    n = n * 10 + (s[i] - '0');
    if (n > 1000000) return 0;
  }
  return static_cast<int>(n);
}

void SetPortMap(const std::map<std::string, std::string>& map) {
  std::map<int, std::string> numbered;
  for (const auto& [key, path] : map) {
    int n = ComPortNumber(key);
    if (n > 0 && !path.empty()) numbered[n] = path;
  }
  std::lock_guard<std::mutex> lock(MapMutex());
  PortMap() = std::move(numbered);
}

std::string PortDevicePath(const std::string& name) {
  int n = ComPortNumber(name);
  if (n <= 0) return name;
  {
    std::lock_guard<std::mutex> lock(MapMutex());
    auto it = PortMap().find(n);
    if (it != PortMap().end()) return it->second;
  }
  return "/dev/ttyS" + std::to_string(n - 1);
}

}  // namespace tarvina
