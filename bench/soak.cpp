// Soak run of the whole system through its real processes: the built
// `tarvina --headless`, an approving and a refusing `tarvina-sim` for every
// terminal kind (serial kinds on pseudo-terminals, Viva Wallet on two loopback
// addresses) and a billing client on loopback TCP. It sends N requests in a
// row (1000 by default), one connection each, mixed over every operation the
// kinds offer, approvals and refusals, validation refusals and busy replies,
// and compares every reply with the expected bytes. It prints operations per
// second, the server's peak resident memory and its thread and descriptor
// counts before and after. Exit status 1 when a reply differs, a simulator
// reports a protocol fault, the thread or descriptor count grew, or the
// server does not end cleanly on SIGTERM.
//
// Usage: bench_soak [--stress] [operations, default 1000] [Viva address,
//        approving, default 127.0.0.210] [Viva address, refusing, default
//        127.0.0.211]
// SOAK_SEED sets the seed of the mix (default 1).
//
// --stress: the same mix on a loaded machine against terminals whose writes
// are cut and joined at random (tarvina-sim --shape, seeded from SOAK_SEED),
// the UniCredit ones with an intermediate message before each answer (the
// approving one writing its acknowledgement, that message and the answer at
// once).
// SOAK_LOAD busy-loop processes (default 3) run beside it. A reply that does
// not come within 15 s, or a busy reply while nothing runs, is counted and
// printed as a failure.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/HeadlessShell.h"
#include "server/RequestClient.h"
#include "tests/support/ServerProcess.h"

using namespace tarvina;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kOk = "PROCESAREOK\r\n[ENDPACHET]\r\n";
const std::string kBusy = "ERROR\r\nServer ocupat. Incearca mai tarziu\r\n[ENDPACHET]\r\n";
std::string Error(const std::string& msg) { return "ERROR\r\n" + msg + "\r\n[ENDPACHET]\r\n"; }

// One simulated terminal. Serial kinds sit on COM<com>; Viva Wallet on `ip`.
struct Sim {
  std::string name;  // label in the figures
  std::string kind;  // tarvina-sim KIND
  int com = 0;       // serial kinds
  std::string ip;    // Viva Wallet
  std::vector<std::string> options;
};

// Lines a simulator prints when the server broke its side of the protocol.
const char* const kSimFaults[] = {"FAIL ", "error: ", "bad request", "PROTOCOL FAULT", "wrong LRC",
                                  "no ACK from the PC", "host stray"};

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// The simulators write some of their checks on standard error: run each
// through the shell with both streams on the pipe ServerProcess reads.
std::unique_ptr<ServerProcess> StartSim(const Sim& s, const std::string& dir) {
  std::string cmd = "exec " + Quote(BinPath("tarvina-sim")) + " " + s.kind;
  if (s.com > 0) cmd += " --link " + Quote(dir + "/com" + std::to_string(s.com));
  if (!s.ip.empty()) cmd += " --listen " + Quote(s.ip);
  for (const auto& o : s.options) cmd += " " + Quote(o);
  cmd += " 2>&1";
  auto p = std::make_unique<ServerProcess>();
  p->Start("/bin/sh", {"-c", cmd});
  return p;
}

struct Case {
  std::string label;  // kind, operation and outcome, for the figures
  RequestFields fields;
  std::string expected;
};

// A field of /proc/<pid>/status, e.g. "VmHWM:  1234 kB" -> "1234 kB".
std::string StatusField(pid_t pid, const std::string& name) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(name + ":", 0) == 0) {
      const auto v = line.find_first_not_of(" \t", name.size() + 1);
      return v == std::string::npos ? "" : line.substr(v);
    }
  return "?";
}

RequestFields Fields(const char* op, const char* tip, int com, const std::string& ip = "") {
  RequestFields f;
  f.Operatie = op;
  f.TipPos = tip;
  f.PortSerial = std::to_string(com);
  f.IPPosViva = ip;
  return f;
}

// The request of a terminal case, with the values its operation needs made
// up from the request's number, so that every request differs from the last.
std::string Request(RequestFields f, int i) {
  if (f.Operatie != "1") {
    char amount[32];
    std::snprintf(amount, sizeof amount, "%d.%02d", 1 + i % 997, i % 100);
    f.Suma = amount;
  }
  if (f.Operatie == "2") f.NrBon = std::to_string(1 + i % 999999);
  if (f.Operatie == "0" && f.TipPos == "7") f.SessionID = std::to_string(i);
  return RequestBytes(f);
}

}  // namespace

int main(int argc, char** argv) {
  const bool stress = argc > 1 && std::string(argv[1]) == "--stress";
  if (stress) {
    --argc;
    ++argv;
  }
  const int operations = argc > 1 ? std::atoi(argv[1]) : 1000;
  const std::string viva_ok = argc > 2 ? argv[2] : "127.0.0.210";
  const std::string viva_refuse = argc > 3 ? argv[3] : "127.0.0.211";
  const unsigned seed = std::getenv("SOAK_SEED") ? std::strtoul(std::getenv("SOAK_SEED"), nullptr, 10) : 1;
  const int load = std::getenv("SOAK_LOAD") ? std::atoi(std::getenv("SOAK_LOAD")) : 3;

  for (const char* program : {"tarvina", "tarvina-sim"})
    if (::access(BinPath(program).c_str(), X_OK) != 0) {
      std::fprintf(stderr, "%s is not built: cmake --build build\n", BinPath(program).c_str());
      return 1;
    }
  char dir_template[] = "/tmp/bench_soak.XXXXXX";
  if (!::mkdtemp(dir_template)) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string dir = dir_template;
  // Declared before the processes, so that it goes after them, on every way out.
  struct RemoveDir {
    std::string path;
    ~RemoveDir() {
      std::error_code ec;
      std::filesystem::remove_all(path, ec);
    }
  } remove_dir{dir};

  // Pauses shortened so that the run measures the server, not the terminals.
  std::vector<Sim> sims = {
      {"brd", "brd", 1, "", {"--delay", "0"}},
      {"brd refusing", "brd", 2, "", {"--delay", "0", "--answer", "refused"}},
      {"transilvania", "transilvania", 3, "", {}},
      {"transilvania refusing", "transilvania", 13, "",
       {"--scenario", "refuse", "--code", "5", "--a107", "51", "--a108", "FONDURI INSUFICIENTE"}},
      {"unicredit", "unicredit", 4, "", {}},
      {"unicredit refusing", "unicredit", 14, "",
       {"--result", "TRANZACTIE REFUZATA", "--extra", "FONDURI INSUFICIENTE", "--report-code", "05",
        "--report-text1", "EROARE", "--report-text2", "LOT DESCHIS"}},
      {"hypercom", "hypercom", 5, "", {"--delay", "0"}},
      {"hypercom refusing", "hypercom", 15, "", {"--delay", "0", "--code", "51"}},
      // Answers after a pause, so that a second request meets the busy server.
      {"hypercom slow", "hypercom", 25, "", {"--delay", "300"}},
      {"verifone", "verifone", 6, "", {"--gap", "0"}},
      {"verifone refusing", "verifone", 16, "", {"--gap", "0", "--final", "declined"}},
      {"viva", "viva", 0, viva_ok, {}},
      {"viva refusing", "viva", 0, viva_refuse, {"--result", "51", "--message", "Fonduri insuficiente"}},
  };
  if (stress) {
    unsigned n = 0;
    for (auto& s : sims) {
      if (s.com == 0) continue;
      s.options.push_back("--shape");
      s.options.push_back(std::to_string(seed * 100 + ++n));
      // One UniCredit terminal writes its acknowledgement, a message and the
      // answer at once; the other writes each on its own.
      if (s.name == "unicredit") s.options.insert(s.options.end(), {"--scenario", "burst"});
      if (s.kind == "unicredit") s.options.insert(s.options.end(), {"--intermediate", "1"});
    }
  }
  // Busy loops, so that the server, the simulators and the client fight for
  // the cores as they do beside a build (killed when they go out of scope).
  std::vector<std::unique_ptr<ServerProcess>> loaders;
  for (int i = 0; stress && i < load; ++i) {
    loaders.push_back(std::make_unique<ServerProcess>());
    loaders.back()->Start("/bin/sh", {"-c", "while :; do :; done"});
  }
  std::string serial;
  std::vector<std::unique_ptr<ServerProcess>> running;  // one per simulator, in the same order
  for (const auto& s : sims) {
    running.push_back(StartSim(s, dir));
    if (running.back()->WaitForLine(s.com > 0 ? "ready " : "listening ", 10000) < 0) {
      std::fprintf(stderr, "the %s simulator did not start:\n", s.name.c_str());
      for (const auto& l : running.back()->Lines()) std::fprintf(stderr, "  %s\n", l.c_str());
      return 1;
    }
    if (s.com > 0) serial += "COM" + std::to_string(s.com) + "=" + dir + "/com" + std::to_string(s.com) + "\r\n";
  }
  const std::string config = dir + "/Tarvina.ini";
  std::ofstream(config) << "[Config]\r\n[Serial]\r\n" << serial;

  ServerProcess server;
  if (!server.StartServer(BinPath("tarvina"), {"--config", config})) {
    std::fprintf(stderr, "the server did not start\n");
    return 1;
  }

  const std::vector<Case> terminal = {
      {"brd sale approved", Fields("0", "1", 1), kOk},
      {"brd sale refused", Fields("0", "1", 2), Error("Tranzactie refuzata : FONDURI INSUFICIENTE  ")},
      {"transilvania sale approved", Fields("0", "3", 3), kOk},
      {"transilvania sale refused", Fields("0", "3", 13),
       Error("Eroare la inregistrare tranzactie :   FONDURI INSUFICIENTE  Cod eroare banca : 51")},
      {"transilvania void approved", Fields("2", "3", 3), kOk},
      {"transilvania void refused", Fields("2", "3", 13),
       Error("Operatia de anulare nu a reusit \r\rFONDURI INSUFICIENTE")},
      {"transilvania settlement approved", Fields("1", "3", 3), kOk},
      {"transilvania settlement refused", Fields("1", "3", 13), Error("")},
      {"unicredit sale approved", Fields("0", "4", 4), kOk},
      {"unicredit sale refused", Fields("0", "4", 14),
       Error("Operatie esuata :   TRANZACTIE REFUZATA\r\rFONDURI INSUFICIENTE")},
      {"unicredit void approved", Fields("2", "4", 4), kOk},
      {"unicredit void refused", Fields("2", "4", 14),
       Error("Operatia de anulare nu a reusit \r\rTRANZACTIE REFUZATA\r\rFONDURI INSUFICIENTE")},
      {"unicredit settlement approved", Fields("1", "4", 4), kOk},
      {"unicredit settlement refused", Fields("1", "4", 14), Error("Eroare raport. EROARE\r\rLOT DESCHIS")},
      {"hypercom sale approved", Fields("0", "5", 5), kOk},
      {"hypercom sale refused", Fields("0", "5", 15), Error("Operatie esuata :   FONDURI INSUFICIENTE")},
      {"hypercom void approved", Fields("2", "5", 5), kOk},
      {"hypercom void refused", Fields("2", "5", 15),
       Error("Operatia de anulare nu a reusit \r\rFONDURI INSUFICIENTE")},
      // A settlement is done once the terminal has acknowledged it: the
      // response code plays no part, so the refusing terminal approves it.
      {"hypercom settlement approved", Fields("1", "5", 5), kOk},
      {"hypercom settlement, refusing terminal", Fields("1", "5", 15), kOk},
      {"verifone sale approved", Fields("0", "6", 6), kOk},
      {"verifone sale refused", Fields("0", "6", 16), Error("Operatie esuata  ")},
      {"verifone void approved", Fields("2", "6", 6), kOk},
      {"verifone void refused", Fields("2", "6", 16), Error("Operatia de anulare nu a reusit ")},
      {"viva sale approved", Fields("0", "7", 1, viva_ok), kOk},
      {"viva sale refused", Fields("0", "7", 1, viva_refuse), Error("Operatie esuata :   Fonduri insuficiente")},
      {"viva void approved", Fields("2", "7", 1, viva_ok), kOk},
      {"viva void refused", Fields("2", "7", 1, viva_refuse),
       Error("Operatia de anulare nu a reusit \r\rFonduri insuficiente")},
  };
  const auto bad = [](const char* op, const char* tip, const char* com, const char* suma, const char* nrbon) {
    RequestFields f;
    f.Operatie = op;
    f.TipPos = tip;
    f.PortSerial = com;
    f.Suma = suma;
    f.NrBon = nrbon;
    return f;
  };
  const std::vector<Case> refusals = {
      {"refused: operation", bad("3", "3", "3", "", ""), Error("Parametrul \"Operatie\" este eronat (3)")},
      {"refused: kind", bad("0", "2", "3", "5", ""), Error("Parametrul \"TipPos\" este eronat (2)")},
      {"refused: settlement kind", bad("1", "6", "6", "", ""),
       Error("Aceasta optiune este functionala doar pentru POS-uri Transilvania, Unicredit si BRD Hypercom")},
      {"refused: void kind", bad("2", "1", "1", "5", "7"),
       Error("Aceasta optiune este functionala doar pentru POS-uri Transilvania, Unicredit, BRD Hypercom, "
             "Verofone si Viva Wallet")},
      {"refused: port", bad("0", "4", "0", "5", ""), Error("Parametrul \"PortSerial\" este eronat (0)")},
      {"refused: amount", bad("0", "5", "5", "1.234,56", ""), Error("Parametrul \"Suma\" este eronat (1,234,56)")},
      {"refused: no receipt", bad("2", "3", "3", "5", ""), Error("Nu ai transmis parametrul \"NrBon\"")},
  };
  // The Viva Wallet driver pauses 1 s after writing its request: a smaller
  // share of those keeps the run about the server rather than that pause.
  std::vector<Case> viva, serial_cases;
  for (const auto& c : terminal) (c.fields.TipPos == "7" ? viva : serial_cases).push_back(c);
  const Case slow_sale{"busy: slow hypercom sale", Fields("0", "5", 25), kOk};
  ServerProcess& slow =
      *running[std::find_if(sims.begin(), sims.end(), [](const Sim& s) { return s.name == "hypercom slow"; }) -
               sims.begin()];

  struct Tally {
    int count = 0;
    double ms = 0;  // request sent to reply read, summed
  };
  std::map<std::string, Tally> done;  // by label
  int wrong = 0, no_reply = 0, stray_busy = 0;
  double slowest_ms = 0;
  const auto check = [&](const std::string& label, const std::string& request, const std::string& expected,
                         RequestClient& c, Clock::time_point start) {
    std::string bytes;
    const auto r = c.ReadReply(bytes, 15000);
    Tally& t = done[label];
    ++t.count;
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    t.ms += ms;
    slowest_ms = std::max(slowest_ms, ms);
    if (r == RequestClient::Result::kReply && bytes == expected) return;
    if (r != RequestClient::Result::kReply) ++no_reply;
    else if (bytes == kBusy) ++stray_busy;
    if (++wrong <= 10)
      std::fprintf(stderr, "%s: sent %s\n  expected %s\n  got      %s\n", label.c_str(), Printable(request).c_str(),
                   Printable(expected).c_str(), Printable(bytes).c_str());
  };
  const auto connect = [&](RequestClient& c) {
    std::string reason;
    if (c.Connect("127.0.0.1", server.port(), reason)) return true;
    std::fprintf(stderr, "connect: %s\n", reason.c_str());
    return false;
  };

  const int threads0 = server.Threads();
  const int fds0 = server.Descriptors();
  const std::string rss0 = StatusField(server.pid(), "VmRSS");

  std::mt19937 rng(seed);
  int sent = 0;
  const auto t0 = Clock::now();
  while (sent < operations) {
    // Out of 100: 2 busy pairs, 6 validation refusals, 3 Viva Wallet
    // operations, 89 operations on the serial kinds.
    const unsigned pick = rng() % 100;
    if (pick < 2 && operations - sent >= 2) {
      // A sale that waits on its terminal, and a request meanwhile on another
      // connection: the second gets the busy reply, the first its own.
      const std::size_t from = slow.LineCount();
      const std::string sale = Request(slow_sale.fields, sent);
      RequestClient a, b;
      if (!connect(a) || !connect(b)) return 1;
      const auto sale_start = Clock::now();
      a.Send(sale);
      if (slow.WaitForLine("host-ack", 5000, from) < 0) std::fprintf(stderr, "the slow sale did not start\n");
      const Case& other = terminal[rng() % terminal.size()];
      const std::string second = Request(other.fields, sent + 1);
      const auto second_start = Clock::now();
      b.Send(second);
      check("busy reply", second, kBusy, b, second_start);
      check(slow_sale.label, sale, kOk, a, sale_start);
      sent += 2;
      continue;
    }
    const bool refusal = pick < 8;
    const Case& c = refusal     ? refusals[rng() % refusals.size()]
                    : pick < 11 ? viva[rng() % viva.size()]
                                : serial_cases[rng() % serial_cases.size()];
    const std::string request = refusal ? RequestBytes(c.fields) : Request(c.fields, sent);
    const auto start = Clock::now();
    RequestClient client;
    if (!connect(client)) return 1;
    client.Send(request);
    check(c.label, request, c.expected, client, start);
    ++sent;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();

  // The last connection's thread ends once it has seen the close.
  int threads1 = server.Threads(), fds1 = server.Descriptors();
  for (int i = 0; i < 100 && (threads1 > threads0 || fds1 > fds0); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    threads1 = server.Threads();
    fds1 = server.Descriptors();
  }

  std::printf("%-40s %6s %9s\n", "operation", "count", "mean ms");
  for (const auto& [label, t] : done) std::printf("%-40s %6d %9.1f\n", label.c_str(), t.count, t.ms / t.count);
  std::printf("\n%d operations in %.2f s: %.1f operations/s (seed %u)\n", sent, seconds, sent / seconds, seed);
  int viva_count = 0;
  double viva_ms = 0;
  for (const auto& [label, t] : done)
    if (label.rfind("viva ", 0) == 0) {
      viva_count += t.count;
      viva_ms += t.ms;
    }
  if (viva_count > 0 && seconds > viva_ms / 1000)
    std::printf("without the %d Viva Wallet operations (%.2f s): %.1f operations/s\n", viva_count, viva_ms / 1000,
                (sent - viva_count) / (seconds - viva_ms / 1000));
  std::printf("server peak RSS (VmHWM) %s; VmRSS %s before, %s after\n",
              StatusField(server.pid(), "VmHWM").c_str(), rss0.c_str(), StatusField(server.pid(), "VmRSS").c_str());
  std::printf("server threads %d before, %d after; descriptors %d before, %d after\n", threads0, threads1, fds0,
              fds1);
  std::printf("wrong replies: %d (no reply within 15 s: %d, busy where none was due: %d); slowest reply %.0f ms\n",
              wrong, no_reply, stray_busy, slowest_ms);
  if (stress) std::printf("stress: terminal writes shaped (seed %u), %d busy loops beside\n", seed, load);

  int faults = 0;
  for (std::size_t i = 0; i < sims.size(); ++i) {
    for (const auto& line : running[i]->Lines())
      for (const char* marker : kSimFaults)
        if (line.find(marker) != std::string::npos) {
          if (++faults <= 10) std::fprintf(stderr, "%s simulator: %s\n", sims[i].name.c_str(), line.c_str());
          break;
        }
  }
  std::printf("simulator protocol faults: %d\n", faults);

  server.Signal(SIGTERM);
  const int server_exit = server.Wait();
  for (auto& p : running) {
    p->Signal(SIGTERM);
    p->Wait();
  }
  if (server_exit != 0) std::printf("server exit status %d\n", server_exit);

  const bool grew = threads1 > threads0 || fds1 > fds0;
  if (grew) std::printf("FAIL: the server's threads or descriptors grew\n");
  return wrong == 0 && faults == 0 && !grew && server_exit == 0 ? 0 : 1;
}
