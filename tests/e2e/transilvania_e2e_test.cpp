// The built server with Banca Transilvania terminals played by tarvina-sim on
// pseudo-terminals: exact reply bytes of each outcome, the busy reply and a
// STOP during a sale, over loopback TCP.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
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

std::string Sale(int com, const std::string& suma) {
  return "[InfoPachet]\r\nOperatie=0\r\nTipPos=3\r\nPortSerial=" + std::to_string(com) +
         "\r\nSuma=" + suma + "\r\n[ENDPACHET]\r\n";
}
std::string Settle(int com) {
  return "[InfoPachet]\r\nOperatie=1\r\nTipPos=3\r\nPortSerial=" + std::to_string(com) +
         "\r\n[ENDPACHET]\r\n";
}
std::string Void(int com, const std::string& nr_bon) {
  return "[InfoPachet]\r\nOperatie=2\r\nTipPos=3\r\nPortSerial=" + std::to_string(com) +
         "\r\nSuma=12.34\r\nNrBon=" + nr_bon + "\r\n[ENDPACHET]\r\n";
}

class TransilvaniaE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tarvina-transilvania-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    server_.Signal(SIGTERM);
    server_.Wait();
    for (auto& [com, sim] : sims_) {
      sim->Signal(SIGTERM);
      sim->Wait();
    }
    std::remove((dir_ + "/Tarvina.ini").c_str());
    ::rmdir(dir_.c_str());
  }

  // A terminal on COMcom playing `args`.
  void Terminal(int com, const std::vector<std::string>& args) {
    const std::string link = dir_ + "/pos" + std::to_string(com);
    std::vector<std::string> all = {"transilvania", "--link", link};
    all.insert(all.end(), args.begin(), args.end());
    auto sim = std::make_unique<ServerProcess>();
    sim->Start(BinPath("tarvina-sim"), all);
    ASSERT_GE(sim->WaitForLine("ready " + link), 0) << "the simulator did not start";
    ports_[com] = link;
    sims_[com] = std::move(sim);
  }

  void StartServer() {
    std::ofstream ini(dir_ + "/Tarvina.ini");
    ini << "[Config]\r\nTimeOut=20\r\n[Serial]\r\n";
    for (auto& [com, path] : ports_) ini << "COM" << com << "=" << path << "\r\n";
    ini << "COM9=" << dir_ << "/no-such-port\r\n";
    ini.close();
    ASSERT_TRUE(server_.StartServer(BinPath("tarvina"), {"--config", dir_ + "/Tarvina.ini"}));
  }

  std::unique_ptr<RequestClient> Connect() { return ConnectToServer(server_.port()); }

  std::string RoundTrip(const std::string& request) { return RoundTripToServer(server_.port(), request, 30000); }

  // A sale on COMcom; `during` runs while it waits, then a STOP comes on
  // `stop`. The sale must end with the communication error; returns how long it took.
  std::chrono::steady_clock::duration SaleStopped(int com, const std::function<void()>& during,
                                                  std::unique_ptr<RequestClient>& stop) {
    const auto t0 = std::chrono::steady_clock::now();
    auto sale = Connect();
    sale->Send(Sale(com, "12.34"));
    EXPECT_GE(server_.WaitForLine("log: Suma=12.34"), 0);
    during();
    stop = Connect();
    stop->Send("STOP\r\n[ENDPACHET]\r\n");
    std::string bytes;
    EXPECT_EQ(sale->ReadReply(bytes, 30000), RequestClient::Result::kReply);
    EXPECT_EQ(bytes, Error("Eroare comunicare cu banca  "));
    return std::chrono::steady_clock::now() - t0;
  }

  std::string dir_;
  std::map<int, std::string> ports_;
  std::map<int, std::unique_ptr<ServerProcess>> sims_;
  ServerProcess server_;
};

TEST_F(TransilvaniaE2E, RepliesOfEachOutcome) {
  Terminal(1, {});
  Terminal(2, {"--scenario", "refuse", "--code", "5", "--a107", "51", "--a108", "FONDURI INSUFICIENTE"});
  Terminal(3, {"--scenario", "bad-first"});
  Terminal(4, {"--scenario", "chunks", "--chunk", "5", "--pause", "40"});
  StartServer();
  struct Case {
    const char* name;
    std::string request, reply;
  } cases[] = {
      {"approved sale", Sale(1, "12.34"), kOk},
      {"daily report", Settle(1), kOk},
      {"void", Void(1, "123"), kOk},
      {"answer in chunks", Sale(4, "1,05"), kOk},
      {"refused sale", Sale(2, "12.34"),
       Error("Eroare la inregistrare tranzactie :   FONDURI INSUFICIENTE  Cod eroare banca : 51")},
      {"failed void", Void(2, "123"), Error("Operatia de anulare nu a reusit \r\rFONDURI INSUFICIENTE")},
      {"failed daily report", Settle(2), "ERROR\r\n\r\n[ENDPACHET]\r\n"},
      {"first field not the result", Sale(3, "12.34"),
       Error("Eroare la inregistrare tranzactie :     Cod eroare banca : ")},
      {"sale, missing port", Sale(9, "12.34"), Error("Eroare la deschidere port serial")},
      {"report, missing port", Settle(9), Error("Eroare la deschidere port serial ")},
      {"void, missing port", Void(9, "1"), Error("Eroare la deschiderea portului serial")},
  };
  for (const auto& c : cases) EXPECT_EQ(RoundTrip(c.request), c.reply) << c.name;

  // tarvina-cli, as a person at the till would use it.
  const std::string cli = BinPath("tarvina-cli") + " --host 127.0.0.1 --port " +
                          std::to_string(server_.port()) +
                          " sale --pos transilvania --com 1 --amount 12.34";
  FILE* p = ::popen(cli.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[256];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  const int st = ::pclose(p);
  EXPECT_EQ(WEXITSTATUS(st), 0) << out;
  EXPECT_NE(out.find("PROCESAREOK"), std::string::npos) << out;
}

TEST_F(TransilvaniaE2E, BusyReplyAndStopDuringASale) {
  Terminal(5, {"--scenario", "ack-silent"});
  StartServer();
  std::unique_ptr<RequestClient> stop;
  const auto took = SaleStopped(5, [&] { EXPECT_EQ(RoundTrip(Settle(5)), kBusy); }, stop);
  // Far sooner than the terminal's 180 s of silence.
  EXPECT_LT(took, std::chrono::seconds(60));
  std::string bytes;
  stop->FinishSending();
  EXPECT_EQ(stop->ReadToEnd(bytes, 10000), RequestClient::Result::kClosed);
  EXPECT_EQ(bytes, "");  // a stop packet gets no reply
}

TEST_F(TransilvaniaE2E, StopDuringTheHandshakeEndsTheSale) {
  Terminal(6, {"--scenario", "no-enq-ack"});
  StartServer();
  std::unique_ptr<RequestClient> stop;
  // Seven unanswered ENQ would have taken 21 s.
  EXPECT_LT(SaleStopped(6, [] {}, stop), std::chrono::seconds(15));
}

}  // namespace
}  // namespace tarvina
