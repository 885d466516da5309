// UniCredit terminals end to end: the built `tarvina --headless`, its COM3
// mapped to the virtual line of a `tarvina-sim unicredit`, and a client on
// loopback TCP. Replies are compared byte for byte; the simulator, run for a
// set number of operations, exits 0 only when the server acknowledged every
// message it sent with the right counter.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "server/RequestClient.h"
#include "tests/support/LoopbackClient.h"
#include "tests/support/ServerProcess.h"

namespace tarvina {
namespace {

const std::string kOk = "PROCESAREOK\r\n[ENDPACHET]\r\n";
const std::string kBusy = "ERROR\r\nServer ocupat. Incearca mai tarziu\r\n[ENDPACHET]\r\n";
std::string Error(const std::string& msg) { return "ERROR\r\n" + msg + "\r\n[ENDPACHET]\r\n"; }

std::string Request(const std::string& op, const std::string& port) {
  RequestFields f;
  f.Operatie = op;
  f.TipPos = "4";
  f.PortSerial = port;
  if (op != "1") f.Suma = "12.34";
  if (op == "2") f.NrBon = "123";
  return RequestBytes(f);
}
std::string Sale(const std::string& port = "3") { return Request("0", port); }
std::string Report(const std::string& port = "3") { return Request("1", port); }
std::string Void(const std::string& port = "3") { return Request("2", port); }

class UnicreditE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string stem = "/tmp/tarvina-uc-" + std::to_string(::getpid()) + "-" +
                             ::testing::UnitTest::GetInstance()->current_test_info()->name();
    link_ = stem + ".tty";
    config_ = stem + ".ini";
    std::ofstream(config_) << "[Serial]\r\nCOM3=" << link_ << "\r\n";
  }
  void TearDown() override {
    Stop();
    ::unlink(config_.c_str());
  }
  void Stop() {
    for (auto* p : {&server_, &sim_}) {
      if (!*p) continue;
      (*p)->Signal(SIGTERM);
      (*p)->Wait();
      p->reset();
    }
  }

  // The simulator first (the server opens COM3 only for a request), then the server.
  void Start(std::vector<std::string> sim_args) {
    std::vector<std::string> args = {"unicredit", "--link", link_};
    args.insert(args.end(), sim_args.begin(), sim_args.end());
    sim_ = std::make_unique<ServerProcess>();
    sim_->Start(BinPath("tarvina-sim"), args);
    ASSERT_GE(sim_->WaitForLine("ready " + link_), 0) << "the simulator did not start";
    server_ = std::make_unique<ServerProcess>();
    ASSERT_TRUE(server_->StartServer(BinPath("tarvina"), {"--config", config_})) << "the server did not start";
  }
  std::unique_ptr<RequestClient> Connect() { return ConnectToServer(server_->port()); }
  std::string RoundTrip(const std::string& request, int timeout_ms = 20000) {
    return RoundTripToServer(server_->port(), request, timeout_ms);
  }
  // Exit status of a simulator started with --count: 0 when every message of
  // ours was acknowledged with its counter.
  int SimExit() { return sim_->Wait(10000); }

  std::unique_ptr<ServerProcess> server_, sim_;
  std::string link_, config_;
};

TEST_F(UnicreditE2E, ApprovedSaleInEachWayTheTerminalMayDeliver) {
  struct Case {
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {{"--scenario", "normal"}},
      {{"--scenario", "normal", "--intermediate", "2"}},
      {{"--scenario", "chunked", "--chunk", "5", "--intermediate", "1"}},
      {{"--scenario", "ack-with-message"}},
      // Frames joined in one write reach the PC in one read; the answer
      // behind another frame must be taken without waiting for more bytes.
      {{"--scenario", "two-messages"}},
      {{"--scenario", "burst", "--intermediate", "2"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--count", "1"});
    Start(args);
    if (HasFatalFailure()) return;
    EXPECT_EQ(RoundTrip(Sale()), kOk) << c.args[1];
    EXPECT_EQ(SimExit(), 0) << c.args[1];
    Stop();
  }
}

// Sales, voids, then settlements back to back against a terminal that sends
// its acknowledgement, a message and the answer in one go, the line cutting
// and joining them at random: every request is answered in time, none finds
// the server busy, and every message of the terminal is acknowledged.
TEST_F(UnicreditE2E, BackToBackOperationsWithJoinedAndCutReads) {
  const std::vector<std::string> requests = {Sale(), Void(), Sale(), Void(), Report(), Report(),
                                             Report(), Report(), Report(), Report()};
  Start({"--scenario", "burst", "--intermediate", "1", "--shape", "5", "--count",
         std::to_string(requests.size())});
  if (HasFatalFailure()) return;
  for (std::size_t i = 0; i < requests.size(); ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(RoundTrip(requests[i], 15000), kOk) << "request " << i;
    // The terminal answers at once; the margin is for a loaded machine.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10)) << "request " << i;
  }
  EXPECT_EQ(SimExit(), 0);
}

TEST_F(UnicreditE2E, RefusedSaleCarriesBothTextsWithTheirCarriageReturns) {
  Start({"--result", "TRANZACTIE REFUZATA", "--extra", "FONDURI INSUFICIENTE", "--count", "1"});
  EXPECT_EQ(RoundTrip(Sale()), Error("Operatie esuata :   TRANZACTIE REFUZATA\r\rFONDURI INSUFICIENTE"));
  EXPECT_EQ(SimExit(), 0);
}

TEST_F(UnicreditE2E, ShortAnswerFailsWithTwoCarriageReturns) {
  Start({"--scenario", "short", "--count", "1"});
  EXPECT_EQ(RoundTrip(Sale()), Error("Operatie esuata :   \r\r"));
  EXPECT_EQ(SimExit(), 0);
}

TEST_F(UnicreditE2E, VoidApprovedAndRefused) {
  Start({"--count", "1"});
  EXPECT_EQ(RoundTrip(Void()), kOk);
  EXPECT_EQ(SimExit(), 0);
  Stop();
  Start({"--result", "ANULARE RESPINSA", "--extra", "BON NEGASIT", "--count", "1"});
  EXPECT_EQ(RoundTrip(Void()), Error("Operatia de anulare nu a reusit \r\rANULARE RESPINSA\r\rBON NEGASIT"));
  EXPECT_EQ(SimExit(), 0);
}

TEST_F(UnicreditE2E, DailyReportSuccessAndFailure) {
  Start({"--count", "1", "--report-code", "00"});
  EXPECT_EQ(RoundTrip(Report()), kOk);
  EXPECT_EQ(SimExit(), 0);
  Stop();
  Start({"--count", "1", "--report-code", "05", "--report-text1", "EROARE", "--report-text2", "LOT DESCHIS"});
  EXPECT_EQ(RoundTrip(Report()), Error("Eroare raport. EROARE\r\rLOT DESCHIS"));
  EXPECT_EQ(SimExit(), 0);
}

TEST_F(UnicreditE2E, APortThatDoesNotOpenGivesEachRoutinesText) {
  Start({});
  // COM9 is not mapped and /dev/ttyS8 does not exist here.
  ASSERT_NE(::access("/dev/ttyS8", F_OK), 0);
  EXPECT_EQ(RoundTrip(Sale("9")), Error("Eroare la deschidere port serial.  "));
  EXPECT_EQ(RoundTrip(Report("9")), Error("Eroare la deschidere port serial "));
  EXPECT_EQ(RoundTrip(Void("9")), Error("Eroare la deschiderea portului serial"));
}

TEST_F(UnicreditE2E, ASecondRequestDuringASaleIsBusy) {
  Start({"--delay-ms", "1500", "--count", "1"});
  auto a = Connect();
  a->Send(Sale());
  ASSERT_GE(server_->WaitForLine("log: Suma=12.34"), 0);
  EXPECT_EQ(RoundTrip(Report()), kBusy);
  std::string bytes;
  EXPECT_EQ(a->ReadReply(bytes, 20000), RequestClient::Result::kReply);
  EXPECT_EQ(bytes, kOk);
  EXPECT_EQ(SimExit(), 0);
}

TEST_F(UnicreditE2E, StopEndsASaleWithAnEmptyDriverMessage) {
  Start({"--scenario", "ack-only"});
  auto a = Connect();
  const auto t0 = std::chrono::steady_clock::now();
  a->Send(Sale());
  ASSERT_GE(sim_->WaitForLine("PC sent transaction"), 0);
  auto stop = Connect();
  stop->Send("STOP\r\n[ENDPACHET]\r\n");
  std::string bytes;
  EXPECT_EQ(a->ReadReply(bytes, 20000), RequestClient::Result::kReply);
  EXPECT_EQ(bytes, Error("Operatie esuata :   "));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20));
  // The server is free again at once.
  EXPECT_EQ(RoundTrip(Sale("9")), Error("Eroare la deschidere port serial.  "));
}

}  // namespace
}  // namespace tarvina
