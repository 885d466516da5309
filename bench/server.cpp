// Figures of the request server over loopback, against the built
// `tarvina --headless` (or the program named by TARVINA_SERVER): round trips
// of a rejected request (one connection per packet, and many packets on one
// connection) and the server's CPU per round trip, first alone, then while 3
// clients that never read their replies and 1,000 idle connections are held;
// and the CPU an idle server uses.
// Usage: bench_server [per-connection N] [one-connection N] [idle seconds]
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/TcpServer.h"
#include "server/RequestClient.h"
#include "tests/support/HostileClients.h"
#include "tests/support/ServerProcess.h"

using namespace tarvina;
using Steady = std::chrono::steady_clock;

namespace {

const std::string kRequest = "[InfoPachet]\r\nOperatie=1\r\nTipPos=6\r\nPortSerial=1\r\n[ENDPACHET]\r\n";
// What the clients that never read send: each reply echoes its 16,000-byte
// amount, so that the replies fill the sockets quickly.
const std::string kBigRequest = "[InfoPachet]\r\nOperatie=0\r\nTipPos=4\r\nPortSerial=2\r\nSuma=" +
                                std::string(16000, '9') + "x\r\n[ENDPACHET]\r\n";
const std::string kExpected =
    "ERROR\r\nAceasta optiune este functionala doar pentru POS-uri Transilvania, Unicredit si BRD "
    "Hypercom\r\n[ENDPACHET]\r\n";
// A round trip that takes longer than this counts as lost: a server stuck on
// a client that does not read would otherwise hold the figures for minutes.
constexpr int kReplyLimitMs = 60000;

struct Run {
  std::vector<double> us;
  double seconds = 0;
  int wrong = 0;
};

// CPU time of the server process in nanoseconds, the threads that have ended
// included (utime + stime of /proc/<pid>/stat, in clock ticks).
double ServerCpuNs(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');  // the command name may hold blanks
  if (close == std::string::npos) return 0;
  std::vector<std::string> fields;
  std::size_t pos = close + 2;
  while (pos < text.size()) {
    const auto blank = text.find(' ', pos);
    fields.push_back(text.substr(pos, blank - pos));
    if (blank == std::string::npos) break;
    pos = blank + 1;
  }
  // fields[0] is the state (field 3); utime and stime are fields 14 and 15.
  if (fields.size() < 13) return 0;
  const double ticks = std::atof(fields[11].c_str()) + std::atof(fields[12].c_str());
  return ticks * 1e9 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

void Report(const char* what, Run& run) {
  if (run.us.empty()) return;
  std::sort(run.us.begin(), run.us.end());
  const auto at = [&](double q) { return run.us[static_cast<std::size_t>(q * (run.us.size() - 1))]; };
  std::printf("%-44s %7zu round trips  %9.0f /s  median %8.1f us  p99 %9.1f us  max %9.1f us\n", what,
              run.us.size(), run.us.size() / run.seconds, at(0.5), at(0.99), run.us.back());
}

// Round trips until n are done or `budget` has passed.
Run Measure(std::uint16_t port, int n, bool connection_per_packet, Steady::duration budget) {
  Run run;
  run.us.reserve(n);
  std::string reason, bytes;
  RequestClient shared;
  if (!connection_per_packet && !shared.Connect("127.0.0.1", port, reason)) {
    std::fprintf(stderr, "connect: %s\n", reason.c_str());
    std::exit(1);
  }
  const auto t0 = Steady::now();
  for (int i = 0; i < n && Steady::now() - t0 < budget; ++i) {
    const auto s = Steady::now();
    RequestClient own;
    RequestClient& c = connection_per_packet ? own : shared;
    if (connection_per_packet && !own.Connect("127.0.0.1", port, reason)) {
      std::fprintf(stderr, "connect: %s\n", reason.c_str());
      std::exit(1);
    }
    c.Send(kRequest);
    if (c.ReadReply(bytes, kReplyLimitMs) != RequestClient::Result::kReply || bytes != kExpected) {
      ++run.wrong;
      if (!connection_per_packet) shared.Connect("127.0.0.1", port, reason);
    }
    run.us.push_back(std::chrono::duration<double, std::micro>(Steady::now() - s).count());
  }
  run.seconds = std::chrono::duration<double>(Steady::now() - t0).count();
  return run;
}

// Both kinds of round trip and the server's CPU for them.
int MeasureBoth(const ServerProcess& server, int per_connection, int one_connection, const char* label,
                Steady::duration budget) {
  const double cpu0 = ServerCpuNs(server.pid());
  Run per = Measure(server.port(), per_connection, true, budget);
  Run one = Measure(server.port(), one_connection, false, budget);
  const double cpu_ns = ServerCpuNs(server.pid()) - cpu0;
  const std::string l = label;
  Report(("one connection per packet" + l).c_str(), per);
  Report(("one connection, many packets" + l).c_str(), one);
  const std::size_t n = per.us.size() + one.us.size();
  std::printf("server CPU for those %zu round trips%s: %.1f ms (%.1f us each)\n", n, label, cpu_ns / 1e6,
              n ? cpu_ns / 1e3 / n : 0.0);
  return per.wrong + one.wrong;
}

}  // namespace

int main(int argc, char** argv) {
  const int per_connection = argc > 1 ? std::atoi(argv[1]) : 5000;
  const int one_connection = argc > 2 ? std::atoi(argv[2]) : 20000;
  const int idle_seconds = argc > 3 ? std::atoi(argv[3]) : 10;
  constexpr int kNonReading = 3, kIdle = 1000;
  RaiseDescriptorLimit();

  // Room for the idle connections beside the measured ones.
  const std::string config = "/tmp/bench_server_" + std::to_string(::getpid()) + ".ini";
  std::ofstream(config) << "[Config]\nMaxConnections=" << kIdle + 100 << "\n";
  const char* program = std::getenv("TARVINA_SERVER");
  ServerProcess server;
  if (!server.StartServer(program ? program : std::string(TARVINA_BIN_DIR) + "/tarvina", {"--config", config})) {
    std::fprintf(stderr, "the server did not start\n");
    return 1;
  }
  std::remove(config.c_str());
  int wrong = 0;

  {  // warm-up
    std::string reason, bytes;
    RequestClient c;
    c.Connect("127.0.0.1", server.port(), reason);
    for (int i = 0; i < 500; ++i) {
      c.Send(kRequest);
      c.ReadReply(bytes, 10000);
    }
  }

  wrong += MeasureBoth(server, per_connection, one_connection, "", std::chrono::hours(1));

  {
    std::vector<int> idle = OpenIdleConnections("127.0.0.1", server.port(), kIdle);
    std::vector<std::unique_ptr<StuckClient>> stuck;
    for (int i = 0; i < kNonReading; ++i)
      stuck.push_back(std::make_unique<StuckClient>("127.0.0.1", server.port(), kBigRequest));
    WaitUntilStuck(stuck, 500, 40);
    std::printf("held: %zu idle connections, %d clients that never read; server threads %d, descriptors %d\n",
                idle.size(), kNonReading, server.Threads(), server.Descriptors());
    wrong += MeasureBoth(server, per_connection / 5, one_connection / 5, ", bad clients held",
                         std::chrono::seconds(30));
    long long bytes = 0;
    int connections = 0;
    for (auto& s : stuck) {
      bytes += s->BytesSent();
      connections += s->Connections();
    }
    std::printf("the clients that never read sent %lld request bytes on %d connections\n", bytes, connections);
    stuck.clear();
    CloseAll(idle);
  }

  // Let the connections' threads go, then watch the server do nothing.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const double cpu0 = ProcessCpuNs(server.pid());
  const auto w0 = Steady::now();
  std::this_thread::sleep_for(std::chrono::seconds(idle_seconds));
  const double cpu_ms = (ProcessCpuNs(server.pid()) - cpu0) / 1e6;
  const double wall_s = std::chrono::duration<double>(Steady::now() - w0).count();
  std::printf("idle server CPU over %.1f s: %.3f ms (%.4f %% of a core)\n", wall_s, cpu_ms,
              cpu_ms / (wall_s * 10));
  std::printf("wrong or late replies: %d\n", wrong);

  server.Signal(SIGTERM);
  server.Wait(30000);
  return wrong == 0 ? 0 : 1;
}
