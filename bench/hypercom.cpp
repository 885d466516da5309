// Figures for the BRD Hypercom driver inside the built server, with
// `tarvina-sim hypercom` on a pseudo-terminal:
//  1. CPU the server uses while a sale waits for a terminal that has
//     acknowledged and then stays silent (utime + stime from /proc/<pid>/stat);
//  2. the time from the terminal's last byte of an answer to the driver's
//     next action on the line (host ACK after the acknowledgement,
//     confirmation after the result), from the simulator's time stamps.
// Usage: bench_hypercom [seconds to watch the idle wait, default 10] [sales, default 20]
// BENCH_DUMP=1 also prints the simulator's lines (events and time-stamped bytes).
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "server/RequestClient.h"
#include "tests/support/ServerProcess.h"

using namespace tarvina;

namespace {

struct Rig {
  ServerProcess sim, server;
  std::string link, config;
  bool Start(const std::vector<std::string>& sim_options) {
    const std::string base = "/tmp/bench_hypercom_" + std::to_string(::getpid());
    link = base + ".tty";
    config = base + ".ini";
    std::vector<std::string> args = {"hypercom", "--link", link};
    args.insert(args.end(), sim_options.begin(), sim_options.end());
    sim.Start(BinPath("tarvina-sim"), args);
    if (sim.WaitForLine("ready ") < 0) return false;
    std::ofstream(config) << "[Config]\r\n[Serial]\r\nCOM5=" << link << "\r\n";
    return server.StartServer(BinPath("tarvina"), {"--config", config});
  }
  ~Rig() {
    server.Signal(SIGTERM);
    server.Wait();
    sim.Signal(SIGTERM);
    sim.Wait();
    std::remove(config.c_str());
  }
};

std::string Sale(const std::string& suma) {
  RequestFields f;
  f.Operatie = "0";
  f.TipPos = "5";
  f.PortSerial = "5";
  f.Suma = suma;
  return RequestBytes(f);
}

// utime + stime of a process, in clock ticks.
long long CpuTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(in)), {});
  const auto close = all.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream rest(all.substr(close + 2));
  std::string field;
  long long utime = 0, stime = 0;
  // Fields after the name start at 3 (state); utime is 14, stime 15.
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::atoll(field.c_str());
    if (i == 15) stime = std::atoll(field.c_str());
  }
  return utime + stime;
}

int IdleCpu(int seconds) {
  Rig rig;
  if (!rig.Start({"--scenario", "no-result"})) {
    std::fprintf(stderr, "could not start the simulator and the server\n");
    return 1;
  }
  RequestClient sale;
  std::string reason;
  if (!sale.Connect("127.0.0.1", rig.server.port(), reason)) return 1;
  sale.Send(Sale("12.34"));
  if (rig.sim.WaitForLine("host-ack", 5000) < 0) return 1;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const long long t0 = CpuTicks(rig.server.pid());
  const auto w0 = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const long long t1 = CpuTicks(rig.server.pid());
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
  const double tick = static_cast<double>(::sysconf(_SC_CLK_TCK));
  std::printf("server CPU while a sale waits for a silent terminal: %lld ticks (1/%.0f s) in %.1f s = %.3f %% of a core\n",
              t1 - t0, tick, wall, 100.0 * static_cast<double>(t1 - t0) / tick / wall);
  RequestClient stop;
  if (stop.Connect("127.0.0.1", rig.server.port(), reason)) stop.Send("STOP\r\n[ENDPACHET]\r\n");
  std::string bytes;
  sale.ReadReply(bytes, 10000);
  return 0;
}

void PrintFigures(const char* what, std::vector<double> ms) {
  if (ms.empty()) {
    std::printf("%s: no samples\n", what);
    return;
  }
  std::sort(ms.begin(), ms.end());
  std::printf("%s: %zu samples, min %.3f ms, median %.3f ms, max %.3f ms\n", what, ms.size(), ms.front(),
              ms[ms.size() / 2], ms.back());
}

int Latency(int sales) {
  Rig rig;
  if (!rig.Start({"--stamps", "--delay", "50"})) {
    std::fprintf(stderr, "could not start the simulator and the server\n");
    return 1;
  }
  for (int i = 0; i < sales; ++i) {
    RequestClient c;
    std::string reason, bytes;
    if (!c.Connect("127.0.0.1", rig.server.port(), reason)) return 1;
    c.Send(Sale(std::to_string(i + 1)));
    c.ReadReply(bytes, 20000);
    if (bytes.rfind("PROCESAREOK", 0) != 0) {
      std::fprintf(stderr, "sale %d failed: %s\n", i, bytes.c_str());
      return 1;
    }
  }
  // "at SECONDS POS> HEX..." / "at SECONDS PC< HEX...": each answer of the
  // terminal against the first bytes the host sends after it.
  std::vector<double> after_ack, after_result;
  double pos_at = -1;
  bool was_ack = false;
  for (const auto& line : rig.sim.Lines()) {
    double t = 0;
    char dir[8] = {0};
    int used = 0;
    if (std::sscanf(line.c_str(), "at %lf %7s %n", &t, dir, &used) < 2) continue;
    const std::string hex = line.substr(static_cast<std::size_t>(used));
    if (std::string(dir) == "POS>") {
      pos_at = t;
      was_ack = hex.rfind("06 02", 0) == 0;
    } else if (pos_at >= 0) {
      (was_ack ? after_ack : after_result).push_back((t - pos_at) * 1000.0);
      pos_at = -1;
    }
  }
  int failures = 0;
  for (const auto& line : rig.sim.Lines()) {
    failures += line.rfind("FAIL", 0) == 0;
    if (std::getenv("BENCH_DUMP")) std::printf("%s\n", line.c_str());
  }
  std::printf("simulator: %d failed checks over %d sales\n", failures, sales);
  PrintFigures("terminal's acknowledgement -> host ACK", after_ack);
  PrintFigures("terminal's result frame -> confirmation", after_result);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
  const int sales = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;
  if (int rc = IdleCpu(seconds)) return rc;
  return Latency(sales);
}
