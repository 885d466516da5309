// Verifone sales and voids through the built server and `tarvina-sim
// verifone` on a pseudo-terminal, with a real client over loopback TCP:
// exact reply bytes, and what the terminal saw of the exchange.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server/RequestClient.h"
#include "tests/support/ServerProcess.h"

namespace tarvina {
namespace {

const std::string kOk = "PROCESAREOK\r\n[ENDPACHET]\r\n";
const std::string kBusy = "ERROR\r\nServer ocupat. Incearca mai tarziu\r\n[ENDPACHET]\r\n";
std::string Error(const std::string& msg) { return "ERROR\r\n" + msg + "\r\n[ENDPACHET]\r\n"; }

const std::string kSale = "[InfoPachet]\r\nOperatie=0\r\nTipPos=6\r\nPortSerial=5\r\nSuma=12.34\r\n[ENDPACHET]\r\n";
const std::string kVoid =
    "[InfoPachet]\r\nOperatie=2\r\nTipPos=6\r\nPortSerial=5\r\nSuma=12.34\r\nNrBon=57\r\n[ENDPACHET]\r\n";
const std::string kStop = "STOP\r\n[ENDPACHET]\r\n";

class VerifoneE2E : public testing::Test {
 protected:
  void SetUp() override {
    static int counter = 0;
    const std::string base = "/tmp/tarvina-verifone-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    link_ = base + ".tty";
    config_ = base + ".ini";
    std::ofstream(config_) << "[Serial]\nCOM5=" << link_ << "\n";
  }

  // The simulator with its scenario options, then the server.
  void Start(const std::vector<std::string>& scenario = {}) {
    std::vector<std::string> args = {"verifone", "--link", link_};
    args.insert(args.end(), scenario.begin(), scenario.end());
    sim.Start(BinPath("tarvina-sim"), args);
    ASSERT_GE(sim.WaitForLine("ready", 10000), 0) << "the simulator did not start";
    ASSERT_TRUE(server.StartServer(BinPath("tarvina"), {"--config", config_})) << "the server did not start";
  }

  std::unique_ptr<RequestClient> Send(const std::string& request) {
    auto c = std::make_unique<RequestClient>();
    std::string reason;
    EXPECT_TRUE(c->Connect("127.0.0.1", server.port(), reason)) << reason;
    c->Send(request);
    return c;
  }
  std::string Reply(RequestClient& c, int timeout_ms = 20000) {
    std::string bytes;
    c.ReadReply(bytes, timeout_ms);
    return bytes;
  }
  std::string RoundTrip(const std::string& request) { return Reply(*Send(request)); }

  int SimCount(const std::string& text) {
    const auto lines = sim.Lines();
    return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
      return l.find(text) != std::string::npos;
    }));
  }
  std::string SimErrors() {
    std::string errors;
    for (const auto& l : sim.Lines())
      if (l.rfind("error:", 0) == 0) errors += l + "\n";
    return errors;
  }

  void TearDown() override {
    server.Signal(SIGTERM);
    server.Wait();
    sim.Signal(SIGTERM);
    sim.Wait();
    std::remove(config_.c_str());
  }

  std::string link_, config_;
  ServerProcess sim, server;
};

TEST_F(VerifoneE2E, ApprovedSale) {
  Start();
  EXPECT_EQ(RoundTrip(kSale), kOk);
  EXPECT_EQ(SimCount("host login"), 1);
  EXPECT_EQ(SimCount("host sale 000000001234"), 1);
  EXPECT_EQ(SimErrors(), "");
}

TEST_F(VerifoneE2E, SaleThroughIntermediateMessages) {
  Start({"--intermediate", "2", "--eot-enq", "together"});
  EXPECT_EQ(RoundTrip(kSale), kOk);
  EXPECT_EQ(SimCount("sim answer 01"), 2);
  EXPECT_EQ(SimErrors(), "");
}

class VerifoneRefusedSale : public VerifoneE2E, public testing::WithParamInterface<const char*> {};

TEST_P(VerifoneRefusedSale, FailsWithItsMessage) {
  Start({"--final", GetParam()});
  EXPECT_EQ(RoundTrip(kSale), Error("Operatie esuata  "));
  EXPECT_EQ(SimErrors(), "");
}

// 06 00 and 84.
INSTANTIATE_TEST_SUITE_P(FinalAnswers, VerifoneRefusedSale, testing::Values("declined", "failed"));

TEST_F(VerifoneE2E, VoidSucceeds) {
  Start();
  EXPECT_EQ(RoundTrip(kVoid), kOk);
  EXPECT_EQ(SimCount("host login"), 1);
  EXPECT_EQ(SimCount("host void 000000001234 000057"), 1);
  EXPECT_EQ(SimErrors(), "");
}

TEST_F(VerifoneE2E, VoidFails) {
  Start({"--final", "failed"});
  EXPECT_EQ(RoundTrip(kVoid), Error("Operatia de anulare nu a reusit "));
  EXPECT_EQ(SimErrors(), "");
}

// A failed log-in: the sale or void is not attempted, so the terminal sees no
// ENQ after the log-in's EOT.
TEST_F(VerifoneE2E, FailedLogInStopsSaleAndVoid) {
  Start({"--login-answer", "81"});
  EXPECT_EQ(RoundTrip(kSale), Error("Operatie LogIn esuata  "));
  EXPECT_EQ(RoundTrip(kVoid), Error("Operatie esuata !  "));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(SimCount("host ENQ"), 2);
  EXPECT_EQ(SimCount("host login"), 2);
  EXPECT_EQ(SimCount("host sale"), 0);
  EXPECT_EQ(SimCount("host void"), 0);
  EXPECT_EQ(SimErrors(), "");
}

// While the sale waits for the terminal, another request is refused as busy;
// a STOP ends the sale long before its 240 s limit.
TEST_F(VerifoneE2E, BusyReplyAndStopDuringTheSale) {
  Start({"--silent", "sale-enq"});
  auto sale = Send(kSale);
  ASSERT_GE(sim.WaitForLine("silent sale-enq", 10000), 0);
  EXPECT_EQ(RoundTrip(kVoid), kBusy);
  const auto t0 = std::chrono::steady_clock::now();
  auto stop = Send(kStop);
  EXPECT_EQ(Reply(*sale), Error("Operatie esuata  "));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
  std::string nothing;
  EXPECT_EQ(stop->ReadReply(nothing, 200), RequestClient::Result::kTimedOut);
  EXPECT_EQ(nothing, "");
  EXPECT_GE(server.WaitForLine("Inchidere fortata", 2000), 0);
}

// A STOP during the log-in goes to the sale's driver: the log-in runs to its
// end, then the sale gives up at its first wait. (Whether its ENQ still
// reaches the terminal is up to the port's closing, which discards what the
// line has not sent yet.)
TEST_F(VerifoneE2E, StopDuringTheLogIn) {
  Start({"--login-delay", "1500"});
  auto sale = Send(kSale);
  ASSERT_GE(sim.WaitForLine("host EOT", 10000), 0);  // the log-in's host turn is over
  auto stop = Send(kStop);
  ASSERT_GE(server.WaitForLine("Inchidere fortata", 1000), 0);
  EXPECT_EQ(Reply(*sale), Error("Operatie esuata  "));
  EXPECT_GE(sim.WaitForLine("sim answer 80", 100), 0);  // the log-in was answered all the same
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(SimCount("sim answer"), 1);  // the sale never got to the terminal's turn
}

}  // namespace
}  // namespace tarvina
