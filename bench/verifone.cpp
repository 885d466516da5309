// Figures for the Verifone driver on a real pseudo-terminal, in real time.
// In this process:
//  - reaction time: from the terminal's last byte of a message to the first
//    byte of the driver's next line action, over many log-in exchanges;
//  - CPU: what the process spends while a sale waits for a silent terminal.
// Through the built server and `tarvina-sim verifone`:
//  - the same reaction time, as the simulator measures it over sales with
//    intermediate messages;
//  - the server's CPU (utime + stime of /proc/<pid>/stat) while a sale waits
//    for a silent terminal.
// Usage: bench_verifone [exchanges] [silent_seconds] [server_sales]
#include <sys/resource.h>
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

#include "platform/MainLoop.h"
#include "platform/PortNames.h"
#include "platform/PosixComm.h"
#include "platform/VirtualSerial.h"
#include "terminals/PosVerifoneIntf/PosVerifoneIntf.h"
#include "terminals/PosVerifoneIntf/VerifoneFrames.h"
#include "server/RequestClient.h"
#include "tests/support/ServerProcess.h"

using namespace tarvina;
using namespace tarvina::verifone;
using Steady = std::chrono::steady_clock;

namespace {

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The terminal's side of one log-in; each reply's reaction time is measured
// from our write to the first byte of the driver's answer.
bool PlayLogIn(VirtualSerialLine& line, std::vector<double>& reactions) {
  const Bytes answer = BuildFrame(Bytes{kLogInOk});
  if (line.ReadExactly(1, 5000) != Bytes{ENQ}) return false;
  struct Turn {
    Bytes send;
    std::size_t expect;  // bytes of the driver's reaction
  };
  const Turn turns[] = {{{ACK}, 8}, {{ACK}, 1}, {{ENQ}, 1}, {answer, 1}};
  for (const Turn& t : turns) {
    const auto sent = Steady::now();
    line.Write(t.send);
    const Bytes got = line.ReadExactly(t.expect, 5000);
    if (got.size() != t.expect) return false;
    reactions.push_back(std::chrono::duration<double, std::micro>(Steady::now() - sent).count());
  }
  line.Write(Bytes{EOT});
  return true;
}

void PrintSpread(const char* what, std::vector<double> v) {
  if (v.empty()) {
    std::printf("%s: no samples\n", what);
    return;
  }
  std::sort(v.begin(), v.end());
  auto at = [&](double q) { return v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1))]; };
  std::printf("%s (%zu samples):\n  median %.0f us  p90 %.0f us  p99 %.0f us  max %.0f us\n", what, v.size(),
              at(0.5), at(0.9), at(0.99), v.back());
}

// utime + stime of a process, in seconds.
double ProcessCpuSeconds(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  const auto close = all.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream rest(all.substr(close + 2));
  std::string field;
  long utime = 0, stime = 0;
  // Fields after the command: state is field 3; utime and stime are 14 and 15.
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::atol(field.c_str());
    if (i == 15) stime = std::atol(field.c_str());
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::string RoundTrip(std::uint16_t port, const std::string& request, RequestClient& c) {
  std::string reason, bytes;
  if (!c.Connect("127.0.0.1", port, reason)) return "connect: " + reason;
  c.Send(request);
  c.ReadReply(bytes, 20000);
  return bytes;
}

int ServerFigures(int sales, int silent_seconds) {
  const std::string base = "/tmp/tarvina-bench-verifone-" + std::to_string(::getpid());
  const std::string link = base + ".tty", config = base + ".ini";
  std::ofstream(config) << "[Serial]\nCOM5=" << link << "\n";
  const std::string sale = "[InfoPachet]\r\nOperatie=0\r\nTipPos=6\r\nPortSerial=5\r\nSuma=12.34\r\n[ENDPACHET]\r\n";
  const std::string ok = "PROCESAREOK\r\n[ENDPACHET]\r\n";

  ServerProcess server;
  if (!server.StartServer(BinPath("tarvina"), {"--config", config})) {
    std::fprintf(stderr, "the server did not start\n");
    return 1;
  }
  std::vector<double> reactions;
  {
    ServerProcess sim;
    sim.Start(BinPath("tarvina-sim"), {"verifone", "--link", link, "--timing", "--intermediate", "5", "--gap", "2"});
    if (sim.WaitForLine("ready", 10000) < 0) return 1;
    for (int i = 0; i < sales; ++i) {
      RequestClient c;
      const std::string reply = RoundTrip(server.port(), sale, c);
      if (reply != ok) {
        std::fprintf(stderr, "sale %d: %s\n", i, reply.c_str());
        return 1;
      }
    }
    for (const auto& l : sim.Lines()) {
      const auto at = l.find(" after ");
      if (at != std::string::npos) reactions.push_back(std::atof(l.c_str() + at + 7));
    }
    sim.Signal(SIGTERM);
    sim.Wait();
  }
  PrintSpread("server: host's reaction to the terminal's last byte, as the simulator saw it", reactions);

  ServerProcess sim;
  sim.Start(BinPath("tarvina-sim"), {"verifone", "--link", link, "--silent", "sale-enq"});
  if (sim.WaitForLine("ready", 10000) < 0) return 1;
  RequestClient waiting;
  std::string reason;
  if (!waiting.Connect("127.0.0.1", server.port(), reason)) return 1;
  waiting.Send(sale);
  if (sim.WaitForLine("silent sale-enq", 10000) < 0) return 1;
  const double cpu0 = ProcessCpuSeconds(server.pid());
  const auto t0 = Steady::now();
  std::this_thread::sleep_for(std::chrono::seconds(silent_seconds));
  const double cpu = ProcessCpuSeconds(server.pid()) - cpu0;
  const double wall = std::chrono::duration<double>(Steady::now() - t0).count();
  RequestClient stop;
  RoundTrip(server.port(), "STOP\r\n[ENDPACHET]\r\n", stop);
  std::string reply;
  waiting.ReadReply(reply, 10000);
  std::printf("server: sale waiting for a silent terminal: %.3f s CPU over %.1f s = %.3f %% of a core"
              " (clock tick %ld Hz); reply after STOP: %s\n",
              cpu, wall, 100.0 * cpu / wall, sysconf(_SC_CLK_TCK),
              reply == "ERROR\r\nOperatie esuata  \r\n[ENDPACHET]\r\n" ? "Operatie esuata" : reply.c_str());
  server.Signal(SIGTERM);
  server.Wait();
  sim.Signal(SIGTERM);
  sim.Wait();
  std::remove(config.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int exchanges = argc > 1 ? std::atoi(argv[1]) : 200;
  const int silent_seconds = argc > 2 ? std::atoi(argv[2]) : 5;
  const int server_sales = argc > 3 ? std::atoi(argv[3]) : 50;

  VirtualSerialLine line;
  SetPortMap({{"COM9", line.PortPath()}});
  MainLoop loop;
  PosixComm comm;
  TPosVerifone drv(loop, comm);
  drv.PortSerial = 9;
  if (!drv.OpenPort()) {
    std::fprintf(stderr, "cannot open %s\n", line.PortPath().c_str());
    return 1;
  }

  std::vector<double> reactions;
  bool terminal_ok = true;
  std::thread terminal([&] {
    for (int i = 0; i < exchanges && terminal_ok; ++i) terminal_ok = PlayLogIn(line, reactions);
  });
  int logged_in = 0;
  for (int i = 0; i < exchanges; ++i) logged_in += drv.LogIn() ? 1 : 0;
  terminal.join();
  if (!terminal_ok || reactions.empty()) {
    std::fprintf(stderr, "exchange failed after %d log-ins\n", logged_in);
    return 1;
  }
  std::printf("%d of %d log-ins true\n", logged_in, exchanges);
  PrintSpread("reaction time, terminal's last byte to driver's next byte", reactions);

  // A sale whose terminal acknowledges the frame and then says nothing; a
  // forced exit after silent_seconds ends it.
  std::thread silent([&] {
    if (line.ReadExactly(1, 5000) != Bytes{ENQ}) return;
    line.Write(Bytes{ACK});
    line.ReadExactly(29, 5000);
    line.Write(Bytes{ACK});
    line.ReadExactly(1, 5000);  // EOT; then silence
  });
  Timer stop(loop, silent_seconds * 1000);
  stop.OnTimer = [&] { drv.IesireFortata = true; };
  drv.Suma = 12.34;
  const double cpu0 = CpuSeconds();
  const auto t0 = Steady::now();
  stop.SetEnabled(true);
  const bool sold = drv.PosSaleByCard();
  const double wall = std::chrono::duration<double>(Steady::now() - t0).count();
  const double cpu = CpuSeconds() - cpu0;
  silent.join();
  std::printf("silent sale (result %s): %.2f s wall, %.4f s CPU = %.3f %% of a core\n", sold ? "true" : "false",
              wall, cpu, 100.0 * cpu / wall);
  drv.ClosePort();
  return ServerFigures(server_sales, silent_seconds);
}
