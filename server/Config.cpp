#include "server/Config.h"

#include <unistd.h>

#include <climits>
#include <cstdint>
#include <fstream>
#include <vector>

#include "server/Validation.h"

namespace tarvina {

namespace {

int IntegerOr(const TKeyStore& keys, const char* key, int fallback, std::int32_t least = INT32_MIN) {
  std::int32_t v;
  return TryIntegerText(keys.ReadString("Config", key), v) && v >= least ? v : fallback;
}

}  // namespace

TConfig ReadConfig(const std::string& path) {
  TConfig cfg;
  std::ifstream in(path, std::ios::binary);
  if (!in) return cfg;
  // Device paths in [Serial] are file names: the bytes are kept as they are.
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  cfg.FileRead = true;
  cfg.Keys.Load(lines);
  cfg.PortIP = IntegerOr(cfg.Keys, "Port", kDefaultPort);
  cfg.TimeOutLongOp = IntegerOr(cfg.Keys, "TimeOut", kDefaultTimeOut);
  cfg.MaxConnections = IntegerOr(cfg.Keys, "MaxConnections", kDefaultMaxConnections, 1);
  cfg.IdleTimeout = IntegerOr(cfg.Keys, "IdleTimeout", kDefaultIdleTimeout, 0);
  cfg.Bind = cfg.Keys.ReadString("Config", "Bind");
  cfg.AllowFrom = cfg.Keys.ReadString("Config", "AllowFrom");
  return cfg;
}

std::string ProgramPath() {
  std::vector<char> buf(4096);
  const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return {};
  return std::string(buf.data(), static_cast<std::size_t>(n));
}

std::string DefaultConfigPath() {
  const std::string exe = ProgramPath();
  const auto slash = exe.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : exe.substr(0, slash);
  return (dir.empty() ? "" : dir) + "/Tarvina.ini";
}

}  // namespace tarvina
