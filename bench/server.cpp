// Figures of the request server over loopback, against the built
// `tarvina --headless`: round trips of a rejected request (one connection
// per packet, and many packets on one connection), and the CPU an idle
// server uses. Usage: bench_server [per-connection N] [one-connection N] [idle seconds]
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "server/RequestClient.h"
#include "tests/support/ServerProcess.h"

using namespace tarvina;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kRequest = "[InfoPachet]\r\nOperatie=1\r\nTipPos=6\r\nPortSerial=1\r\n[ENDPACHET]\r\n";

void Report(const char* what, std::vector<double>& us, double seconds) {
  if (us.empty()) return;
  std::sort(us.begin(), us.end());
  const auto at = [&](double q) { return us[static_cast<std::size_t>(q * (us.size() - 1))]; };
  std::printf("%-34s %7zu round trips  %9.0f /s  median %7.1f us  p99 %7.1f us\n", what, us.size(),
              us.size() / seconds, at(0.5), at(0.99));
}

}  // namespace

int main(int argc, char** argv) {
  const int per_connection = argc > 1 ? std::atoi(argv[1]) : 5000;
  const int one_connection = argc > 2 ? std::atoi(argv[2]) : 20000;
  const int idle_seconds = argc > 3 ? std::atoi(argv[3]) : 10;

  ServerProcess server;
  if (!server.StartServer(std::string(TARVINA_BIN_DIR) + "/tarvina")) {
    std::fprintf(stderr, "the server did not start\n");
    return 1;
  }
  std::string reason, bytes;
  const std::string expected =
      "ERROR\r\nAceasta optiune este functionala doar pentru POS-uri Transilvania, Unicredit si BRD "
      "Hypercom\r\n[ENDPACHET]\r\n";
  int wrong = 0;

  {  // warm-up
    RequestClient c;
    c.Connect("127.0.0.1", server.port(), reason);
    for (int i = 0; i < 500; ++i) {
      c.Send(kRequest);
      c.ReadReply(bytes, 10000);
    }
  }

  const double busy0 = ProcessCpuNs(server.pid());
  std::vector<double> us;
  us.reserve(std::max(per_connection, one_connection));
  auto t0 = Clock::now();
  for (int i = 0; i < per_connection; ++i) {
    const auto s = Clock::now();
    RequestClient c;
    if (!c.Connect("127.0.0.1", server.port(), reason)) {
      std::fprintf(stderr, "connect: %s\n", reason.c_str());
      return 1;
    }
    c.Send(kRequest);
    if (c.ReadReply(bytes, 10000) != RequestClient::Result::kReply || bytes != expected) ++wrong;
    c.Close();
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - s).count());
  }
  Report("one connection per packet", us, std::chrono::duration<double>(Clock::now() - t0).count());

  us.clear();
  RequestClient c;
  c.Connect("127.0.0.1", server.port(), reason);
  t0 = Clock::now();
  for (int i = 0; i < one_connection; ++i) {
    const auto s = Clock::now();
    c.Send(kRequest);
    if (c.ReadReply(bytes, 10000) != RequestClient::Result::kReply || bytes != expected) ++wrong;
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - s).count());
  }
  Report("one connection, many packets", us, std::chrono::duration<double>(Clock::now() - t0).count());
  std::printf("server CPU for those %d round trips: %.1f ms (%.1f us each)\n", per_connection + one_connection,
              (ProcessCpuNs(server.pid()) - busy0) / 1e6,
              (ProcessCpuNs(server.pid()) - busy0) / 1e3 / (per_connection + one_connection));
  c.Close();

  // Let the last connection's thread go, then watch the server do nothing.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const double cpu0 = ProcessCpuNs(server.pid());
  const auto w0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(idle_seconds));
  const double cpu_ms = (ProcessCpuNs(server.pid()) - cpu0) / 1e6;
  const double wall_s = std::chrono::duration<double>(Clock::now() - w0).count();
  std::printf("idle server CPU over %.1f s: %.3f ms (%.4f %% of a core)\n", wall_s, cpu_ms,
              cpu_ms / (wall_s * 10));
  std::printf("wrong replies: %d\n", wrong);

  server.Signal(SIGTERM);
  server.Wait();
  return wrong == 0 ? 0 : 1;
}
