// Figures for the Verifone driver on a real pseudo-terminal, in real time:
//  - reaction time: from the terminal's last byte of a message to the first
//    byte of the driver's next line action, over many log-in exchanges;
//  - CPU: what the process spends while a sale waits for a silent terminal.
// Usage: bench_verifone [exchanges] [silent_seconds]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "platform/MainLoop.h"
#include "platform/PortNames.h"
#include "platform/PosixComm.h"
#include "platform/VirtualSerial.h"
#include "terminals/PosVerifoneIntf/PosVerifoneIntf.h"
#include "terminals/PosVerifoneIntf/VerifoneFrames.h"

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

}  // namespace

int main(int argc, char** argv) {
  const int exchanges = argc > 1 ? std::atoi(argv[1]) : 200;
  const int silent_seconds = argc > 2 ? std::atoi(argv[2]) : 2;

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
  std::sort(reactions.begin(), reactions.end());
  auto at = [&](double q) { return reactions[static_cast<std::size_t>(q * static_cast<double>(reactions.size() - 1))]; };
  std::printf("reaction time, terminal's last byte to driver's next byte (%zu samples, %d log-ins ok):\n",
              reactions.size(), logged_in);
  std::printf("  median %.0f us  p90 %.0f us  p99 %.0f us  max %.0f us\n", at(0.5), at(0.9), at(0.99),
              reactions.back());

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
  return 0;
}
