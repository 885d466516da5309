// Figures of the BRD card sale through the built `tarvina --headless` and
// `tarvina-sim brd`: the CPU the server uses while a sale waits for an answer
// that does not come (the polling loop), and the time from the last byte of
// the terminal's answer to the PC's ACK of it (the poll period plus the
// reading of the frame). Usage: bench_brd_sale [wait seconds] [sales]
#include <signal.h>
#include <stdlib.h>
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
using Clock = std::chrono::steady_clock;

namespace {

// utime + stime of the whole process from /proc/<pid>/stat, in clock ticks.
long StatTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto close = s.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(s.substr(close + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::atol(field.c_str());
    if (i == 15) stime = std::atol(field.c_str());
  }
  return utime + stime;
}

std::string Sale(int port) {
  RequestFields f;
  f.Operatie = "0";
  f.TipPos = "1";
  f.PortSerial = std::to_string(port);
  f.Suma = "1";
  return RequestBytes(f);
}

struct Sim {
  ServerProcess process;
  std::string link;
};

bool StartSim(Sim& sim, const std::string& link, const std::vector<std::string>& options) {
  std::vector<std::string> args = {"brd", "--link", link};
  args.insert(args.end(), options.begin(), options.end());
  sim.link = link;
  sim.process.Start(std::string(TARVINA_BIN_DIR) + "/tarvina-sim", args);
  return sim.process.WaitForLine("ready " + link, 10000) >= 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int wait_seconds = argc > 1 ? std::atoi(argv[1]) : 10;
  const int sales = argc > 2 ? std::atoi(argv[2]) : 200;

  char tmpl[] = "/tmp/tarvina-bench-brd-XXXXXX";
  if (!::mkdtemp(tmpl)) return 1;
  const std::string dir = tmpl;
  Sim silent, answering;
  if (!StartSim(silent, dir + "/pos3", {"--silent-after-ack"}) ||
      !StartSim(answering, dir + "/pos5", {"--timing"})) {
    std::fprintf(stderr, "tarvina-sim brd did not start\n");
    return 1;
  }
  const std::string config = dir + "/Tarvina.ini";
  {
    std::ofstream ini(config);
    ini << "[Serial]\r\nCOM3=" << silent.link << "\r\nCOM5=" << answering.link << "\r\n";
  }
  ServerProcess server;
  if (!server.StartServer(std::string(TARVINA_BIN_DIR) + "/tarvina", {"--config", config})) {
    std::fprintf(stderr, "the server did not start\n");
    return 1;
  }
  std::string reason, bytes;
  int wrong = 0;

  // 1. A sale acknowledged and never answered: the loop polls until a STOP.
  {
    RequestClient sale;
    sale.Connect("127.0.0.1", server.port(), reason);
    sale.Send(Sale(3));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // past the request and the ACK
    const double ns0 = ProcessCpuNs(server.pid());
    const long ticks0 = StatTicks(server.pid());
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(wait_seconds));
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu_ms = (ProcessCpuNs(server.pid()) - ns0) / 1e6;
    const double tick_ms = (StatTicks(server.pid()) - ticks0) * 1000.0 / ::sysconf(_SC_CLK_TCK);
    RequestClient stop;
    stop.Connect("127.0.0.1", server.port(), reason);
    stop.Send("STOP\r\n[ENDPACHET]\r\n");
    if (sale.ReadReply(bytes, 5000) != RequestClient::Result::kReply || bytes != "ERROR\r\n\r\n[ENDPACHET]\r\n")
      ++wrong;
    std::printf("sale waiting %.1f s for its answer: server CPU %.1f ms = %.2f %% of a core "
                "(utime+stime from /proc/%d/stat: %.0f ms = %.2f %%)\n",
                wall, cpu_ms, cpu_ms / (wall * 10), static_cast<int>(server.pid()), tick_ms, tick_ms / (wall * 10));
  }

  // 2. Answered sales: the terminal's last byte to the PC's ACK.
  for (int i = 0; i < sales; ++i) {
    RequestClient c;
    c.Connect("127.0.0.1", server.port(), reason);
    c.Send(Sale(5));
    if (c.ReadReply(bytes, 10000) != RequestClient::Result::kReply || bytes != "PROCESAREOK\r\n[ENDPACHET]\r\n")
      ++wrong;
  }
  std::vector<double> us;
  for (const std::string& line : answering.process.Lines())
    if (line.rfind("ack-latency-us ", 0) == 0) us.push_back(std::atof(line.c_str() + 15));
  if (!us.empty()) {
    std::sort(us.begin(), us.end());
    const auto at = [&](double q) { return us[static_cast<std::size_t>(q * (us.size() - 1))]; };
    std::printf("answer's last byte to the PC's ACK over %zu sales: median %.0f us, p99 %.0f us, max %.0f us\n",
                us.size(), at(0.5), at(0.99), us.back());
  }
  std::printf("wrong replies: %d\n", wrong);

  server.Signal(SIGTERM);
  server.Wait();
  for (Sim* s : {&silent, &answering}) {
    s->process.Signal(SIGTERM);
    s->process.Wait();
  }
  std::remove(config.c_str());
  ::rmdir(dir.c_str());
  return wrong == 0 ? 0 : 1;
}
