// The built `tarvina --headless` over loopback TCP: exact reply bytes, line
// limits, busy and STOP with the test kind, shutdown, load, tarvina-cli.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "server/Config.h"
#include "server/RequestClient.h"
#include "tests/support/LoopbackClient.h"
#include "tests/support/ServerProcess.h"

namespace tarvina {
namespace {

const std::string kBusy = "ERROR\r\nServer ocupat. Incearca mai tarziu\r\n[ENDPACHET]\r\n";
const std::string kOk = "PROCESAREOK\r\n[ENDPACHET]\r\n";

std::string Error(const std::string& msg) { return "ERROR\r\n" + msg + "\r\n[ENDPACHET]\r\n"; }

// Runs a shell command; its standard output and exit status.
std::pair<std::string, int> RunCommand(const std::string& command) {
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) return {"", -1};
  std::string out;
  char buf[512];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  const int st = ::pclose(p);
  return {out, WEXITSTATUS(st)};
}

class ServerE2E : public ::testing::Test {
 protected:
  void Start(const std::vector<std::string>& extra = {}) {
    ASSERT_TRUE(server.StartServer(BinPath("tarvina"), extra)) << "the server did not start";
  }
  std::unique_ptr<RequestClient> Connect(const std::string& host = "127.0.0.1") {
    return ConnectToServer(server.port(), host);
  }
  // One request on a connection of its own; the reply bytes, or what came.
  std::string RoundTrip(const std::string& request) { return RoundTripToServer(server.port(), request, 10000); }
  void TearDown() override {
    server.Signal(SIGTERM);
    server.Wait();
  }

  ServerProcess server;
};

TEST_F(ServerE2E, RepliesByteForByte) {
  Start();
  // Port 250 has no device behind it on any test machine.
  const std::string sale3 = "[InfoPachet]\r\nOperatie=0\r\nTipPos=3\r\nPortSerial=250\r\nSuma=12.50\r\n";
  struct Case {
    const char* name;
    std::string request, reply;
  } cases[] = {
      {"sale accepted, no terminal on the port", sale3 + "[ENDPACHET]\r\n",
       Error("Eroare la deschidere port serial")},
      // COM99 is in no [Serial] map and no machine has /dev/ttyS98: the settlement cannot open it.
      {"bare LF reads like CR LF", "[InfoPachet]\nOperatie=1\nTipPos=5\nPortSerial=99\n[ENDPACHET]\n",
       Error("Eroare la deschidere port serial ")},
      {"end line in any case", sale3 + "[endPachet]\r\n", Error("Eroare la deschidere port serial")},
      {"void accepted, no terminal address", "[InfoPachet]\nOperatie=$2\nTipPos=7\nPortSerial=1\nSuma=1\nNrBon=9\n[ENDPACHET]\n",
       Error("Eroare conectare la POS \r\rAdresa POS-ului nu a fost transmisa")},
      {"only the end line", "[ENDPACHET]\r\n", Error("Parametrul \"Operatie\" este eronat (-1)")},
      {"lower-case stop is a request", "stop\r\n[ENDPACHET]\r\n",
       Error("Parametrul \"Operatie\" este eronat (-1)")},
      {"stop with a blank is a request", "STOP \r\n[ENDPACHET]\r\n",
       Error("Parametrul \"Operatie\" este eronat (-1)")},
      {"key before the section is not read", "Operatie=0\r\n[InfoPachet]\r\nTipPos=3\r\n[ENDPACHET]\r\n",
       Error("Parametrul \"Operatie\" este eronat (-1)")},
      {"names without case, blanks around =", "[infopachet]\r\noperatie = 2\r\nTIPPOS=1\r\n[ENDPACHET]\r\n",
       Error("Aceasta optiune este functionala doar pentru POS-uri Transilvania, Unicredit, BRD "
             "Hypercom, Verofone si Viva Wallet")},
      {"operation 3", "[InfoPachet]\r\nOperatie=3\r\n[ENDPACHET]\r\n",
       Error("Parametrul \"Operatie\" este eronat (3)")},
      {"kind 2", "[InfoPachet]\r\nOperatie=0\r\nTipPos=2\r\n[ENDPACHET]\r\n",
       Error("Parametrul \"TipPos\" este eronat (2)")},
      {"settlement on Verifone", "[InfoPachet]\r\nOperatie=1\r\nTipPos=6\r\nPortSerial=1\r\n[ENDPACHET]\r\n",
       Error("Aceasta optiune este functionala doar pentru POS-uri Transilvania, Unicredit si BRD "
             "Hypercom")},
      {"Viva Wallet needs a serial port too", "[InfoPachet]\r\nOperatie=0\r\nTipPos=7\r\nSuma=1\r\n[ENDPACHET]\r\n",
       Error("Parametrul \"PortSerial\" este eronat (-1)")},
      {"last occurrence wins, two sections merge",
       "[InfoPachet]\r\nOperatie=0\r\nSuma=5\r\n[Other]\r\n[InfoPachet]\r\nTipPos=4\r\nPortSerial=2\r\nSuma=1.234,56\r\n[ENDPACHET]\r\n",
       Error("Parametrul \"Suma\" este eronat (1,234,56)")},
      {"second dot stays", "[InfoPachet]\r\nOperatie=0\r\nTipPos=4\r\nPortSerial=2\r\nSuma=1.234.56\r\n[ENDPACHET]\r\n",
       Error("Parametrul \"Suma\" este eronat (1,234.56)")},
      {"empty amount", "[InfoPachet]\r\nOperatie=0\r\nTipPos=4\r\nPortSerial=2\r\nSuma=\r\n[ENDPACHET]\r\n",
       Error("Parametrul \"Suma\" este eronat ()")},
      {"byte 0xE9 echoed as ?", "[InfoPachet]\r\nOperatie=0\r\nTipPos=4\r\nPortSerial=2\r\nSuma=1\xE9\r\n[ENDPACHET]\r\n",
       Error("Parametrul \"Suma\" este eronat (1?)")},
      {"CR inside a line stays", "[InfoPachet]\r\nOperatie=0\r\nTipPos=4\r\nPortSerial=2\r\nSuma=1\r2\r\n[ENDPACHET]\r\n",
       Error("Parametrul \"Suma\" este eronat (1\r2)")},
      {"void: amount checked before NrBon", "[InfoPachet]\r\nOperatie=2\r\nTipPos=3\r\nPortSerial=2\r\nSuma=x\r\n[ENDPACHET]\r\n",
       Error("Parametrul \"Suma\" este eronat (x)")},
      {"void without NrBon", "[InfoPachet]\r\nOperatie=2\r\nTipPos=3\r\nPortSerial=2\r\nSuma=1e2\r\n[ENDPACHET]\r\n",
       Error("Nu ai transmis parametrul \"NrBon\"")},
  };
  for (const auto& k : cases) EXPECT_EQ(RoundTrip(k.request), k.reply) << k.name;
}

TEST_F(ServerE2E, EndLineWithABlankDoesNotEndThePacket) {
  Start();
  auto c = Connect();
  c->Send("[InfoPachet]\r\nOperatie=9\r\n[ENDPACHET] \r\n");
  std::string bytes;
  EXPECT_EQ(c->ReadReply(bytes, 300), RequestClient::Result::kTimedOut);
  EXPECT_EQ(bytes, "");
  c->Send("[ENDPACHET]\r\n");
  EXPECT_EQ(c->ReadReply(bytes, 10000), RequestClient::Result::kReply);
  EXPECT_EQ(bytes, Error("Parametrul \"Operatie\" este eronat (9)"));
}

TEST_F(ServerE2E, PacketsInARowOnOneConnectionStandAlone) {
  Start();
  auto c = Connect();
  std::string bytes;
  c->Send("[InfoPachet]\r\nOperatie=1\r\nTipPos=3\r\nPortSerial=250\r\n[ENDPACHET]\r\n");
  c->ReadReply(bytes, 10000);
  EXPECT_EQ(bytes, Error("Eroare la deschidere port serial "));
  c->Send("[InfoPachet]\r\nTipPos=4\r\n[ENDPACHET]\r\n");
  c->ReadReply(bytes, 10000);
  EXPECT_EQ(bytes, Error("Parametrul \"Operatie\" este eronat (-1)"));
}

TEST_F(ServerE2E, OverlongLineOrPacketClosesOnlyItsConnection) {
  Start();
  auto other = Connect();  // open before, kept open throughout
  auto longest = Connect();
  longest->Send("[InfoPachet]\nOperatie=0\nTipPos=4\nPortSerial=2\nSuma=" + std::string(16384 - 5, '7') +
                "x\n[ENDPACHET]\n");  // 16385 bytes before its LF
  auto endless = Connect();  // short lines, but never an end line
  for (int i = 0; i < 70; ++i) endless->Send(std::string(16000, 'k') + "\n");
  auto fits = Connect();
  const std::string amount(16384 - 5, '7');  // "Suma=" + this: exactly 16384 bytes
  fits->Send("[InfoPachet]\nOperatie=0\nTipPos=4\nPortSerial=2\nSuma=" + amount.substr(1) + "x\n[ENDPACHET]\n");
  std::string bytes;
  EXPECT_EQ(longest->ReadToEnd(bytes, 10000), RequestClient::Result::kClosed);
  EXPECT_EQ(bytes, "");
  EXPECT_EQ(endless->ReadToEnd(bytes, 10000), RequestClient::Result::kClosed);  // past 1 MiB
  EXPECT_EQ(bytes, "");
  EXPECT_EQ(fits->ReadReply(bytes, 10000), RequestClient::Result::kReply);
  EXPECT_EQ(bytes, Error("Parametrul \"Suma\" este eronat (" + amount.substr(1) + "x)"));
  other->Send("[InfoPachet]\r\nOperatie=5\r\n[ENDPACHET]\r\n");
  EXPECT_EQ(other->ReadReply(bytes, 10000), RequestClient::Result::kReply);
  EXPECT_EQ(bytes, Error("Parametrul \"Operatie\" este eronat (5)"));
  EXPECT_EQ(RoundTrip("[ENDPACHET]\r\n"), Error("Parametrul \"Operatie\" este eronat (-1)"));
}

TEST_F(ServerE2E, Ipv6AndIpv4AlikeWhenTheMachineHasBoth) {
  Start();
  for (const std::string host : {"127.0.0.1", "::1"}) {
    RequestClient c;
    std::string reason;
    if (!c.Connect(host, server.port(), reason)) {
      EXPECT_EQ(host, "::1") << reason;  // IPv4 must always work
      continue;
    }
    c.Send("[ENDPACHET]\r\n");
    std::string bytes;
    c.ReadReply(bytes, 10000);
    EXPECT_EQ(bytes, Error("Parametrul \"Operatie\" este eronat (-1)")) << host;
  }
}

TEST_F(ServerE2E, BusyAndStopWhileASaleWaits) {
  Start({"--test-kind"});
  auto a = Connect();
  const auto t0 = std::chrono::steady_clock::now();
  a->Send("[InfoPachet]\r\nOperatie=0\r\nTipPos=4\r\nPortSerial=1\r\nSuma=60\r\n[ENDPACHET]\r\n");
  ASSERT_GE(server.WaitForLine("log: Suma=60"), 0);  // A's operation has begun

  EXPECT_EQ(RoundTrip("[InfoPachet]\r\nOperatie=1\r\nTipPos=3\r\nPortSerial=1\r\n[ENDPACHET]\r\n"), kBusy);

  auto stop = Connect();
  stop->Send("STOP\r\n[ENDPACHET]\r\n");
  ASSERT_GE(server.WaitForLine("log: Inchidere fortata"), 0);
  std::string bytes;
  EXPECT_EQ(a->ReadReply(bytes, 10000), RequestClient::Result::kReply);
  EXPECT_EQ(bytes, Error("Tranzactie intrerupta"));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(30));
  EXPECT_GE(server.WaitForLine("log: Tranzactie intrerupta"), 0);
  stop->FinishSending();
  EXPECT_EQ(stop->ReadToEnd(bytes, 10000), RequestClient::Result::kClosed);
  EXPECT_EQ(bytes, "");  // the stop packet got no reply
  // The server is free again.
  EXPECT_EQ(RoundTrip("[InfoPachet]\r\nOperatie=0\r\nTipPos=4\r\nPortSerial=1\r\nSuma=0\r\n[ENDPACHET]\r\n"), kOk);
  // A failure with an empty message is three lines.
  EXPECT_EQ(RoundTrip("[InfoPachet]\r\nOperatie=0\r\nTipPos=4\r\nPortSerial=1\r\nSuma=0\r\nNrBon=gol\r\n[ENDPACHET]\r\n"),
            "ERROR\r\n\r\n[ENDPACHET]\r\n");
}

// A test-kind card sale of `suma` seconds on kind `tip` begun, then SIGTERM;
// the sale's connection.
std::unique_ptr<RequestClient> SaleThenSigterm(ServerProcess& server, const std::string& tip, const std::string& suma) {
  auto a = ConnectToServer(server.port());
  a->Send("[InfoPachet]\r\nOperatie=0\r\nTipPos=" + tip + "\r\nPortSerial=1\r\nSuma=" + suma + "\r\n[ENDPACHET]\r\n");
  EXPECT_GE(server.WaitForLine("log: Suma=" + suma), 0);
  server.Signal(SIGTERM);
  EXPECT_GE(server.WaitForLine("stopping (SIGTERM): after the operation in progress"), 0);
  return a;
}

TEST_F(ServerE2E, ShutdownLetsTheRunningOperationAnswerFirst) {
  Start({"--test-kind"});
  auto a = SaleThenSigterm(server, "3", "3");
  // Still accepting while the operation runs: a request meanwhile is busy.
  EXPECT_EQ(RoundTrip("[InfoPachet]\r\nOperatie=1\r\nTipPos=3\r\nPortSerial=1\r\n[ENDPACHET]\r\n"), kBusy);
  std::string bytes;
  EXPECT_EQ(a->ReadReply(bytes, 10000), RequestClient::Result::kReply);
  EXPECT_EQ(bytes, kOk);
  EXPECT_EQ(server.Wait(), 0);
}

// A BRD sale whose terminal stays silent ends only by a STOP: shutdown must
// leave the way open for it.
TEST_F(ServerE2E, ShutdownDuringASilentSaleStillTakesTheStop) {
  Start({"--test-kind"});
  auto a = SaleThenSigterm(server, "1", "600");
  EXPECT_EQ(RoundTrip("[InfoPachet]\r\nOperatie=0\r\nTipPos=4\r\nPortSerial=1\r\nSuma=0\r\n[ENDPACHET]\r\n"), kBusy);
  auto stop = Connect();
  stop->Send("STOP\r\n[ENDPACHET]\r\n");
  std::string bytes;
  EXPECT_EQ(a->ReadReply(bytes, 10000), RequestClient::Result::kReply);
  EXPECT_EQ(bytes, Error("Tranzactie intrerupta"));
  EXPECT_EQ(server.Wait(), 0);
  EXPECT_EQ(stop->ReadToEnd(bytes, 10000), RequestClient::Result::kClosed);
  EXPECT_EQ(bytes, "");  // the stop packet got no reply
}

TEST_F(ServerE2E, SecondSignalExitsAtOnce) {
  Start({"--test-kind"});
  auto a = Connect();
  a->Send("[InfoPachet]\r\nOperatie=0\r\nTipPos=3\r\nPortSerial=1\r\nSuma=600\r\n[ENDPACHET]\r\n");
  ASSERT_GE(server.WaitForLine("log: Suma=600"), 0);
  server.Signal(SIGINT);
  ASSERT_GE(server.WaitForLine("stopping (SIGINT)"), 0);
  server.Signal(SIGINT);
  EXPECT_EQ(server.Wait(), 128 + SIGINT);
  std::string bytes;
  EXPECT_EQ(a->ReadToEnd(bytes, 10000), RequestClient::Result::kClosed);
  EXPECT_EQ(bytes, "");
}

TEST_F(ServerE2E, IdleServerEndsCleanlyOnSigint) {
  Start();
  server.Signal(SIGINT);
  EXPECT_EQ(server.Wait(), 0);
}

TEST_F(ServerE2E, ConfigFileAndTakenPort) {
  const std::uint16_t port = FreePort();
  const std::string path = ::testing::TempDir() + "tarvina_e2e.ini";
  std::ofstream(path) << "[Config]\r\nPort=" << port << "\r\nTimeOut=abc\r\n";
  server.Start(BinPath("tarvina"), {"--headless", "--config", path});
  ASSERT_GE(server.WaitForLine("caption: Server POS-uri bancare     Port : " + std::to_string(port) +
                               "    Server activ"),
            0);
  // A second server on the same port stays inactive and says why.
  ServerProcess second;
  second.Start(BinPath("tarvina"), {"--headless", "--config", path});
  EXPECT_GE(second.WaitForLine("caption: Server POS-uri bancare     Port : " + std::to_string(port) +
                               "    Server inactiv"),
            0);
  EXPECT_GE(second.WaitForLine("message: Eroare la activare server : Address already in use"), 0);
  second.Signal(SIGTERM);
  EXPECT_EQ(second.Wait(), 0);
  std::remove(path.c_str());
}

TEST_F(ServerE2E, LoadLeavesNoThreadsOrDescriptorsBehind) {
  Start();
  const int threads0 = server.Threads(), fds0 = server.Descriptors();
  ASSERT_GT(threads0, 0);
  const std::string request = "[InfoPachet]\r\nOperatie=1\r\nTipPos=6\r\nPortSerial=1\r\n[ENDPACHET]\r\n";
  const std::string reply =
      Error("Aceasta optiune este functionala doar pentru POS-uri Transilvania, Unicredit si BRD Hypercom");

  // As many clients at once as the default cap lets in: all connected before any sends.
  constexpr int kClients = kDefaultMaxConnections;
  std::vector<std::unique_ptr<RequestClient>> clients;
  for (int i = 0; i < kClients; ++i) clients.push_back(Connect());
  std::atomic<int> good{0};
  std::vector<std::thread> senders;
  for (auto& c : clients)
    senders.emplace_back([&, c = c.get()] {
      std::string bytes;
      if (c->Send(request) && c->ReadReply(bytes, 30000) == RequestClient::Result::kReply && bytes == reply)
        ++good;
    });
  for (auto& t : senders) t.join();
  EXPECT_EQ(good, kClients);
  EXPECT_GE(server.Threads(), threads0 + kClients);
  clients.clear();

  // 10,000 packets in a row on one connection.
  auto c = Connect();
  int exact = 0;
  for (int i = 0; i < 10000; ++i) {
    std::string bytes;
    c->Send(request);
    if (c->ReadReply(bytes, 10000) == RequestClient::Result::kReply && bytes == reply) ++exact;
  }
  EXPECT_EQ(exact, 10000);
  c.reset();

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while ((server.Threads() > threads0 || server.Descriptors() > fds0) &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(server.Threads(), threads0);
  EXPECT_EQ(server.Descriptors(), fds0);
}

// tarvina-cli: prints the reply lines, exit status 0 only for PROCESAREOK.
TEST_F(ServerE2E, CliSendsRequestsAndReportsTheOutcome) {
  Start({"--test-kind"});
  const std::string cli = BinPath("tarvina-cli") + " --host 127.0.0.1 --port " + std::to_string(server.port());
  struct Case {
    std::string args, output;
    int status;
  } cases[] = {
      {" sale --pos unicredit --com 2 --amount 0", "PROCESAREOK\n[ENDPACHET]\n", 0},
      {" void --pos transilvania --com 2 --amount 1,5", "ERROR\nNu ai transmis parametrul \"NrBon\"\n[ENDPACHET]\n", 1},
      {" settle --pos brd --com 1",
       "ERROR\nAceasta optiune este functionala doar pentru POS-uri Transilvania, Unicredit si BRD Hypercom\n[ENDPACHET]\n", 1},
      {" sale --pos viva --com 1 --amount 0 --session 42 --ip 10.0.0.9", "PROCESAREOK\n[ENDPACHET]\n", 0},
      {" raw < /dev/null", "", 1},
      {" sale --com 1", "", 2},  // no --pos
  };
  for (const auto& k : cases) {
    const auto [out, status] = RunCommand(cli + k.args + " 2>/dev/null");
    EXPECT_EQ(out, k.output) << k.args;
    EXPECT_EQ(status, k.status) << k.args;
  }
  // raw: the lines of standard input as they are, every reply printed.
  const std::string raw = "printf '[ENDPACHET]\\nSTOP\\n[ENDPACHET]\\n[InfoPachet]\\nOperatie=0\\nTipPos=3\\n"
                          "PortSerial=1\\nSuma=0\\n[ENDPACHET]\\n' | " + cli + " raw";
  const auto [out, status] = RunCommand(raw);
  EXPECT_EQ(out, "ERROR\nParametrul \"Operatie\" este eronat (-1)\n[ENDPACHET]\nPROCESAREOK\n[ENDPACHET]\n");
  EXPECT_EQ(status, 1);  // not every reply was PROCESAREOK
}

}  // namespace
}  // namespace tarvina
