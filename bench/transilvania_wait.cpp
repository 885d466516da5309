// Figures for the Banca Transilvania driver in the real server, against
// tarvina-sim on a pseudo-terminal:
//  - CPU time the server uses while a card sale waits for a silent terminal
//    (in the ENQ handshake, and in the answer wait after the request's ACK);
//  - time from the terminal's last answer byte to the EOT on the line.
// usage: bench_transilvania_wait [wait seconds, default 20] [sales, default 20]
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "server/RequestClient.h"
#include "tests/support/ServerProcess.h"

using namespace tarvina;

namespace {

// utime + stime of a process, in milliseconds.
double CpuMs(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream rest(stat.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return 1000.0 * static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct Rig {
  std::string dir;
  ServerProcess sim, server;

  bool Start(const std::vector<std::string>& scenario) {
    char tmpl[] = "/tmp/tarvina-bench-XXXXXX";
    if (!::mkdtemp(tmpl)) return false;
    dir = tmpl;
    std::vector<std::string> args = {"transilvania", "--link", dir + "/pos"};
    args.insert(args.end(), scenario.begin(), scenario.end());
    sim.Start(BinPath("tarvina-sim"), args);
    if (sim.WaitForLine("ready ", 10000) < 0) return false;
    std::ofstream(dir + "/Tarvina.ini") << "[Serial]\nCOM1=" << dir << "/pos\n";
    return server.StartServer(BinPath("tarvina"), {"--config", dir + "/Tarvina.ini"});
  }
  ~Rig() {
    server.Signal(SIGTERM);
    server.Wait();
    sim.Signal(SIGTERM);
    sim.Wait();
    std::remove((dir + "/Tarvina.ini").c_str());
    ::rmdir(dir.c_str());
  }
  std::unique_ptr<RequestClient> Sale() {
    auto c = std::make_unique<RequestClient>();
    std::string reason;
    if (!c->Connect("127.0.0.1", server.port(), reason)) return nullptr;
    c->Send("[InfoPachet]\r\nOperatie=0\r\nTipPos=3\r\nPortSerial=1\r\nSuma=12.34\r\n[ENDPACHET]\r\n");
    return c;
  }
};

void SilentWait(const char* what, const std::string& scenario, int seconds) {
  Rig rig;
  if (!rig.Start({"--scenario", scenario})) {
    std::printf("%s: could not start\n", what);
    return;
  }
  auto c = rig.Sale();
  rig.server.WaitForLine("log: Suma=12.34", 10000);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the request is on the line
  const double before = CpuMs(rig.server.pid());
  const auto t0 = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double after = CpuMs(rig.server.pid());
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("%s: server CPU %.0f ms in %.1f s of waiting (%.3f%% of a core; clock tick %ld ms)\n",
              what, after - before, wall, 100.0 * (after - before) / (wall * 1000.0),
              1000 / sysconf(_SC_CLK_TCK));
}

void EotLatency(int sales) {
  Rig rig;
  if (!rig.Start({})) {
    std::printf("EOT latency: could not start\n");
    return;
  }
  int ok = 0;
  for (int i = 0; i < sales; ++i) {
    auto c = rig.Sale();
    std::string bytes;
    if (c && c->ReadReply(bytes, 10000) == RequestClient::Result::kReply &&
        bytes.rfind("PROCESAREOK", 0) == 0)
      ++ok;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::vector<double> ms;
  for (const std::string& line : rig.sim.Lines()) {
    double v = 0;
    if (std::sscanf(line.c_str(), "EOT %lf ms after the last answer byte", &v) == 1) ms.push_back(v);
  }
  std::sort(ms.begin(), ms.end());
  std::printf("EOT latency: %d of %d sales approved, EOT seen by the terminal %zu times\n", ok, sales,
              ms.size());
  if (!ms.empty())
    std::printf("EOT latency: last answer byte -> EOT: min %.3f ms, median %.3f ms, max %.3f ms\n",
                ms.front(), ms[ms.size() / 2], ms.back());
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  const int sales = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;
  SilentWait("answer wait (ACK, then silence)", "ack-silent", seconds);
  SilentWait("ENQ handshake (no ACK)", "no-enq-ack", std::min(seconds, 18));
  EotLatency(sales);
  return 0;
}
