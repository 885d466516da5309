// Figures of UniCredit sales through the built `tarvina --headless`, this
// program playing the terminal on a virtual serial line:
//  1. the time from the last byte of the terminal's answer to the server's
//     acknowledgement of it (the driver's next line action), over N sales;
//  2. the server's CPU while a sale waits for a terminal that has gone quiet
//     after its acknowledgement (utime + stime of /proc/<pid>/stat).
// Usage: bench_unicredit [sales N] [quiet seconds]
#include <signal.h>
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

#include "platform/VirtualSerial.h"
#include "server/RequestClient.h"
#include "terminals/PosUnicredit/UnicreditFrames.h"
#include "tests/support/ServerProcess.h"

using namespace tarvina;
namespace uc = tarvina::unicredit;
using Steady = std::chrono::steady_clock;

namespace {

const std::string kSale = "[InfoPachet]\r\nOperatie=0\r\nTipPos=4\r\nPortSerial=3\r\nSuma=12.34\r\n[ENDPACHET]\r\n";

// utime + stime of the process, in seconds.
double CpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto close = all.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(all.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  // Fields 3 .. 13 come before utime (14) and stime (15).
  for (int i = 3; i <= 13 && rest >> field; ++i) {
  }
  rest >> utime >> stime;
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

}  // namespace

int main(int argc, char** argv) {
  const int sales = argc > 1 ? std::atoi(argv[1]) : 200;
  const int quiet_s = argc > 2 ? std::atoi(argv[2]) : 10;
  VirtualSerialLine line;
  const std::string config = "/tmp/bench-unicredit-" + std::to_string(::getpid()) + ".ini";
  std::ofstream(config) << "[Serial]\r\nCOM3=" << line.PortPath() << "\r\n";
  ServerProcess server;
  if (!server.StartServer(BinPath("tarvina"), {"--config", config})) {
    std::fprintf(stderr, "the server did not start\n");
    return 1;
  }

  std::vector<double> us;
  for (int i = 0; i < sales; ++i) {
    RequestClient c;
    std::string reason;
    if (!c.Connect("127.0.0.1", server.port(), reason)) return 1;
    c.Send(kSale);
    const auto msg = line.ReadExactly(42, 5000);
    if (msg.size() != 42) {
      std::fprintf(stderr, "no sale message\n");
      return 1;
    }
    line.Write(uc::BuildAck(msg[2]));
    const auto answer = uc::BuildMessage(3, static_cast<std::uint8_t>(i), {{uc::kElRezultat, "APROBAT"}});
    line.Write(answer);
    const auto t0 = Steady::now();
    const auto ack = line.ReadExactly(8, 5000);
    const auto t1 = Steady::now();
    if (ack != uc::BuildAck(static_cast<std::uint8_t>(i))) {
      std::fprintf(stderr, "sale %d: no acknowledgement of the answer\n", i);
      return 1;
    }
    us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    std::string reply;
    c.ReadReply(reply, 5000);
  }
  std::sort(us.begin(), us.end());
  const auto at = [&](double q) { return us[static_cast<std::size_t>(q * (us.size() - 1))]; };
  std::printf("answer's last byte -> acknowledgement  %d sales  median %.1f us  p99 %.1f us  max %.1f us\n", sales,
              at(0.5), at(0.99), us.back());

  // A sale whose terminal acknowledges and then says nothing.
  RequestClient c;
  std::string reason;
  if (!c.Connect("127.0.0.1", server.port(), reason)) return 1;
  c.Send(kSale);
  const auto msg = line.ReadExactly(42, 5000);
  if (msg.size() != 42) return 1;
  line.Write(uc::BuildAck(msg[2]));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const double cpu0 = CpuSeconds(server.pid());
  const auto w0 = Steady::now();
  std::this_thread::sleep_for(std::chrono::seconds(quiet_s));
  const double cpu1 = CpuSeconds(server.pid());
  const double wall = std::chrono::duration<double>(Steady::now() - w0).count();
  std::printf("server CPU while a sale waits for a quiet terminal  %.2f s of CPU in %.1f s  (%.2f %% of a core)\n",
              cpu1 - cpu0, wall, 100 * (cpu1 - cpu0) / wall);
  // The sale is still waiting: stop it and leave.
  RequestClient stop;
  if (stop.Connect("127.0.0.1", server.port(), reason)) stop.Send("STOP\r\n[ENDPACHET]\r\n");
  std::string reply;
  c.ReadReply(reply, 5000);
  server.Signal(SIGTERM);
  server.Wait();
  ::unlink(config.c_str());
  return 0;
}
