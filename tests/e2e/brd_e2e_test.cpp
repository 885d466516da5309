// BRD card sales through the built `tarvina --headless` against `tarvina-sim
// brd` on pseudo-terminals, with a billing client over loopback TCP: exact
// reply bytes, the acknowledgement limit in real time, STOP and busy.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "server/RequestClient.h"
#include "tests/support/LoopbackClient.h"
#include "tests/support/ServerProcess.h"

namespace tarvina {
namespace {

using Clock = std::chrono::steady_clock;

const std::string kOk = "PROCESAREOK\r\n[ENDPACHET]\r\n";
const std::string kBusy = "ERROR\r\nServer ocupat. Incearca mai tarziu\r\n[ENDPACHET]\r\n";

std::string Error(const std::string& msg) { return "ERROR\r\n" + msg + "\r\n[ENDPACHET]\r\n"; }

std::string Sale(int port, const std::string& suma) {
  RequestFields f;
  f.Operatie = "0";
  f.TipPos = "1";
  f.PortSerial = std::to_string(port);
  f.Suma = suma;
  return RequestBytes(f);
}

class BrdE2E : public ::testing::Test {
 protected:
  BrdE2E() {
    char tmpl[] = "/tmp/tarvina-brd-e2e-XXXXXX";
    dir_ = ::mkdtemp(tmpl) ? tmpl : "/tmp";
  }
  ~BrdE2E() override {
    for (auto& [port, sim] : sims_) {
      sim->Signal(SIGTERM);
      sim->Wait();
    }
    std::remove(config_.c_str());
    ::rmdir(dir_.c_str());
  }

  // A simulated terminal on COM`port` with the given scenario options.
  void Terminal(int port, const std::vector<std::string>& options) {
    const std::string link = dir_ + "/pos" + std::to_string(port);
    std::vector<std::string> args = {"brd", "--link", link};
    args.insert(args.end(), options.begin(), options.end());
    auto sim = std::make_unique<ServerProcess>();
    sim->Start(BinPath("tarvina-sim"), args);
    ASSERT_GE(sim->WaitForLine("ready " + link, 10000), 0) << "tarvina-sim brd did not start";
    links_[port] = link;
    sims_[port] = std::move(sim);
  }

  // The server, with every terminal so far in its [Serial] section and COM4
  // naming a device that does not exist.
  void StartServer() {
    config_ = dir_ + "/Tarvina.ini";
    std::ofstream ini(config_);
    ini << "[Serial]\r\nCOM4=" << dir_ << "/no-such-device\r\n";
    for (const auto& [port, link] : links_) ini << "COM" << port << "=" << link << "\r\n";
    ini.close();
    ASSERT_TRUE(server_.StartServer(BinPath("tarvina"), {"--config", config_})) << "the server did not start";
  }

  std::unique_ptr<RequestClient> Connect() { return ConnectToServer(server_.port()); }

  std::string RoundTrip(const std::string& request, int timeout_ms = 10000) {
    return RoundTripToServer(server_.port(), request, timeout_ms);
  }

  void TearDown() override {
    server_.Signal(SIGTERM);
    server_.Wait();
  }

  std::string dir_;
  std::string config_;
  std::map<int, std::string> links_;
  std::map<int, std::unique_ptr<ServerProcess>> sims_;
  ServerProcess server_;
};

TEST_F(BrdE2E, ApprovedAndRefusedSales) {
  Terminal(3, {});
  Terminal(5, {"--answer", "refused", "--reason", "FONDURI INSUFICIENTE"});
  Terminal(6, {"--answer", "message", "--text", "OPERATIE ANULATA"});
  Terminal(7, {"--answer", "approved02", "--intermediate", "2", "--split-lrc", "--ack-with-answer", "--delay", "50"});
  StartServer();
  EXPECT_EQ(RoundTrip(Sale(3, "12.50")), kOk);
  EXPECT_EQ(RoundTrip(Sale(5, "1")), Error("Tranzactie refuzata : FONDURI INSUFICIENTE  "));
  EXPECT_EQ(RoundTrip(Sale(6, "1")), Error("OPERATIE"));
  EXPECT_EQ(RoundTrip(Sale(7, "0.1")), kOk);
  EXPECT_EQ(RoundTrip(Sale(3, "7")), kOk) << "the line opens again for the next sale";
}

TEST_F(BrdE2E, SilentTerminalAndMissingPort) {
  Terminal(3, {"--no-ack"});
  StartServer();
  for (int port : {3, 4}) {
    const auto t0 = Clock::now();
    const std::string reply = RoundTrip(Sale(port, "1"));
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    EXPECT_EQ(reply, Error(port == 3 ? "Eroare de comunicatie seriala.  Nu primesc nici un mesaj de la POS "
                                     : "Eroare de comunicatie seriala.  Nu pot deschide portul COM4"));
    // The acknowledgement limit: one to two seconds after the 100 ms pause.
    EXPECT_GE(waited, 1100) << port;
    EXPECT_LT(waited, 2600) << port;
  }
}

TEST_F(BrdE2E, BusyReplyThenStopAfterTheAcknowledgement) {
  Terminal(3, {"--silent-after-ack"});
  StartServer();
  auto sale = Connect();
  sale->Send(Sale(3, "25"));
  // Well past the acknowledgement limit: the sale waits for its answer.
  std::string bytes;
  EXPECT_EQ(sale->ReadReply(bytes, 2500), RequestClient::Result::kTimedOut);
  EXPECT_EQ(RoundTrip(Sale(3, "1")), kBusy);
  auto stop = Connect();
  stop->Send("STOP\r\n[ENDPACHET]\r\n");
  EXPECT_EQ(sale->ReadReply(bytes, 5000), RequestClient::Result::kReply);
  EXPECT_EQ(bytes, "ERROR\r\n\r\n[ENDPACHET]\r\n");
  std::string none;
  EXPECT_EQ(stop->ReadReply(none, 300), RequestClient::Result::kTimedOut) << "a STOP gets no reply";
}

}  // namespace
}  // namespace tarvina
