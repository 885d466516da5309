// The built server with a BRD Hypercom terminal played by `tarvina-sim
// hypercom` on a pseudo-terminal, a billing client over loopback TCP: exact
// reply bytes, the busy reply, STOP in each phase of a sale. The simulator
// checks the line from the terminal's side and reports every failed check as
// a "FAIL" line, so each test also asserts that it reported none.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server/RequestClient.h"
#include "tests/support/LoopbackClient.h"
#include "tests/support/ServerProcess.h"

namespace tarvina {
namespace {

const std::string kOk = "PROCESAREOK\r\n[ENDPACHET]\r\n";
const std::string kBusy = "ERROR\r\nServer ocupat. Incearca mai tarziu\r\n[ENDPACHET]\r\n";
std::string Error(const std::string& msg) { return "ERROR\r\n" + msg + "\r\n[ENDPACHET]\r\n"; }

std::string Request(const std::string& operatie, const std::string& suma, const std::string& nrbon = "",
                    const std::string& port = "5") {
  RequestFields f;
  f.Operatie = operatie;
  f.TipPos = "5";
  f.PortSerial = port;
  f.Suma = suma;
  f.NrBon = nrbon;
  return RequestBytes(f);
}
const std::string kStop = "STOP\r\n[ENDPACHET]\r\n";

// A simulator on COM5 and a server whose configuration maps COM5 to its line.
struct Rig {
  ~Rig() {
    server.Signal(SIGTERM);
    server.Wait();
    sim.Signal(SIGTERM);  // lets it remove its link
    sim.Wait();
    std::remove(config.c_str());
  }
  ServerProcess sim;
  ServerProcess server;
  std::string link, config;
};

class HypercomE2E : public ::testing::Test {
 protected:
  // The terminal with the given scenario options, and the server.
  void Start(const std::vector<std::string>& sim_options) {
    static int n = 0;
    rig.reset();
    rig = std::make_unique<Rig>();
    const std::string base = ::testing::TempDir() + "hypercom_e2e_" + std::to_string(::getpid()) + "_" +
                             std::to_string(++n);
    rig->link = base + ".tty";
    rig->config = base + ".ini";
    std::vector<std::string> args = {"hypercom", "--link", rig->link};
    args.insert(args.end(), sim_options.begin(), sim_options.end());
    rig->sim.Start(BinPath("tarvina-sim"), args);
    ASSERT_GE(rig->sim.WaitForLine("ready "), 0) << "the simulator did not start";
    std::ofstream(rig->config) << "[Config]\r\nPort=8090\r\n[Serial]\r\nCOM5=" << rig->link << "\r\n";
    ASSERT_TRUE(rig->server.StartServer(BinPath("tarvina"), {"--config", rig->config}))
        << "the server did not start";
  }

  std::unique_ptr<RequestClient> Connect() { return ConnectToServer(rig->server.port()); }
  std::string RoundTrip(const std::string& request, int timeout_ms = 20000) {
    return RoundTripToServer(rig->server.port(), request, timeout_ms);
  }

  int WaitForSim(const std::string& text, int timeout_ms = 5000) { return rig->sim.WaitForLine(text, timeout_ms); }
  int SimCount(const std::string& prefix) {
    int count = 0;
    for (const auto& l : rig->sim.Lines()) count += l.rfind(prefix, 0) == 0;
    return count;
  }
  void ExpectSimClean() {
    std::string all;
    for (const auto& l : rig->sim.Lines()) all += l + "\n";
    for (const auto& l : rig->sim.Lines()) EXPECT_NE(l.rfind("FAIL", 0), 0u) << l << "\nin:\n" << all;
  }

  std::unique_ptr<Rig> rig;
};

TEST_F(HypercomE2E, ApprovedSaleRefusedSaleVoidAndSettlement) {
  struct Case {
    const char* what;
    std::vector<std::string> sim;
    std::string request, reply, seen;
  } cases[] = {
      {"approved sale", {}, Request("0", "12.34"), kOk, "request MOL 000000001234"},
      {"refused sale", {"--code", "51"}, Request("0", "5"), Error("Operatie esuata :   FONDURI INSUFICIENTE"),
       "request MOL 000000000500"},
      {"code 10 is no success", {"--code", "10"}, Request("0", "1"), Error("Operatie esuata :   APROBAT"),
       "confirmed MOL"},
      {"void", {}, Request("2", "12.34", "57"), kOk, "request VOI 000000000057"},
      {"refused void", {"--code", "57"}, Request("2", "1", "8"),
       Error("Operatia de anulare nu a reusit \r\rCARD RESPINS"), "confirmed VOI"},
      {"settlement", {}, Request("1", ""), kOk, "request STL 000000000000"},
      {"settlement, wrong echo", {"--scenario", "wrong-type"}, Request("1", ""), Error("Eroare raport. Time out"),
       "request STL"},
      {"acknowledgement in pieces", {"--scenario", "split-ack", "--split-ms", "1500"}, Request("0", "2"), kOk,
       "confirmed MOL"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NO_FATAL_FAILURE(Start(c.sim));
    EXPECT_EQ(RoundTrip(c.request), c.reply);
    EXPECT_GE(WaitForSim(c.seen, 5000), 0);
    ExpectSimClean();
  }
}

TEST_F(HypercomE2E, WrongEchoGivesThreeRequestsThenTheInitialisationError) {
  ASSERT_NO_FATAL_FAILURE(Start({"--scenario", "wrong-echo"}));
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(RoundTrip(Request("0", "3")), Error("Operatie esuata :   Eroare initializare tranzactie"));
  const auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_EQ(SimCount("request MOL"), 3);
  EXPECT_GE(took, std::chrono::milliseconds(8900));
  EXPECT_LT(took, std::chrono::milliseconds(15000));
  ExpectSimClean();
}

TEST_F(HypercomE2E, PortThatDoesNotOpen) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  // COM66 is in no map, so it is /dev/ttyS65, which no test machine has.
  EXPECT_EQ(RoundTrip(Request("0", "1", "", "66")), Error("Eroare la deschidere port serial.  "));
  EXPECT_EQ(RoundTrip(Request("1", "", "", "66")), Error("Eroare la deschidere port serial "));
  EXPECT_EQ(RoundTrip(Request("2", "1", "4", "66")), Error("Eroare la deschiderea portului serial"));
  EXPECT_EQ(SimCount("request"), 0);
}

TEST_F(HypercomE2E, BusyWhileASaleWaitsForItsResult) {
  ASSERT_NO_FATAL_FAILURE(Start({"--delay", "2500"}));
  auto a = Connect();
  a->Send(Request("0", "7.5"));
  ASSERT_GE(WaitForSim("host-ack", 5000), 0);
  EXPECT_EQ(RoundTrip(Request("1", "")), kBusy);
  std::string bytes;
  EXPECT_EQ(a->ReadReply(bytes, 20000), RequestClient::Result::kReply);
  EXPECT_EQ(bytes, kOk);
  EXPECT_EQ(SimCount("request"), 1) << "the busy request never reached the terminal";
  ExpectSimClean();
}

TEST_F(HypercomE2E, StopWhileWaitingForTheAcknowledgement) {
  // The terminal never answers; after the STOP it must not be asked again.
  ASSERT_NO_FATAL_FAILURE(Start({"--scenario", "silent", "--max-requests", "1"}));
  auto a = Connect();
  const auto t0 = std::chrono::steady_clock::now();
  a->Send(Request("0", "12.34"));
  ASSERT_GE(WaitForSim("request MOL", 5000), 0);
  auto stop = Connect();
  stop->Send(kStop);
  std::string bytes;
  EXPECT_EQ(a->ReadReply(bytes, 20000), RequestClient::Result::kReply);
  EXPECT_EQ(bytes, Error("Operatie esuata :   Eroare initializare tranzactie"));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2500)) << "ended by the STOP";
  // Longer than one attempt's silence: a further request would have come by now.
  std::this_thread::sleep_for(std::chrono::milliseconds(3500));
  EXPECT_EQ(SimCount("request"), 1);
  ExpectSimClean();
}

TEST_F(HypercomE2E, StopWhileWaitingForTheResult) {
  ASSERT_NO_FATAL_FAILURE(Start({"--scenario", "no-result", "--max-requests", "1"}));
  auto a = Connect();
  a->Send(Request("0", "12.34"));
  ASSERT_GE(WaitForSim("host-ack", 5000), 0);
  auto stop = Connect();
  stop->Send(kStop);
  std::string bytes;
  EXPECT_EQ(a->ReadReply(bytes, 20000), RequestClient::Result::kReply);
  EXPECT_EQ(bytes, Error("Operatie esuata :   Time OutError"));
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  EXPECT_EQ(SimCount("request"), 1);
  ExpectSimClean();  // nothing at all came after the host ACK
}

TEST_F(HypercomE2E, StopDoesNotReachAVoid) {
  ASSERT_NO_FATAL_FAILURE(Start({"--delay", "1500", "--max-requests", "1"}));
  auto a = Connect();
  a->Send(Request("2", "1", "31"));
  ASSERT_GE(WaitForSim("host-ack", 5000), 0);
  auto stop = Connect();
  stop->Send(kStop);
  std::string bytes;
  EXPECT_EQ(a->ReadReply(bytes, 20000), RequestClient::Result::kReply);
  EXPECT_EQ(bytes, kOk);
  EXPECT_GE(WaitForSim("confirmed VOI", 5000), 0);
  ExpectSimClean();
}

}  // namespace
}  // namespace tarvina
