// Viva Wallet operations through the built programs: `tarvina --headless`,
// `tarvina-sim viva` on a loopback address of its own at port 8080, and the
// billing side on a socket. Every reply is checked byte for byte.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server/RequestClient.h"
#include "tests/e2e/viva_e2e.h"
#include "tests/support/LoopbackClient.h"
#include "tests/support/ServerProcess.h"

namespace tarvina {
namespace {

const std::string kOk = "PROCESAREOK\r\n[ENDPACHET]\r\n";
std::string Error(const std::string& msg) { return "ERROR\r\n" + msg + "\r\n[ENDPACHET]\r\n"; }

std::string Request(const std::string& operatie, const std::string& tip, const std::string& suma,
                    const std::string& session, const std::string& nrbon, const std::string& host) {
  RequestFields f;
  f.Operatie = operatie;
  f.TipPos = tip;
  f.PortSerial = "1";
  f.Suma = suma;
  f.SessionID = session;
  f.NrBon = nrbon;
  f.IPPosViva = host;
  return RequestBytes(f);
}
std::string Sale(const std::string& host, const std::string& suma, const std::string& session) {
  return Request("0", "7", suma, session, "", host);
}
std::string Void(const std::string& host, const std::string& suma, const std::string& nrbon) {
  return Request("2", "7", suma, "", nrbon, host);
}

class VivaServerE2E : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.StartServer(BinPath("tarvina"))) << "the server did not start"; }
  void TearDown() override {
    server.Signal(SIGTERM);
    server.Wait();
  }

  std::unique_ptr<RequestClient> Connect() { return ConnectToServer(server.port()); }
  std::string RoundTrip(const std::string& request) { return RoundTripToServer(server.port(), request, 30000); }

  ServerProcess server;
};

TEST_F(VivaServerE2E, ApprovedSaleSendsTheRecordAndAnswersOk) {
  auto sim = StartVivaSim("127.0.0.181");
  EXPECT_EQ(RoundTrip(Sale("127.0.0.181", "12.34", "123456")), kOk);
  EXPECT_EQ(SimLines(*sim, "request "),
            std::vector<std::string>{"request 0063|123456|200|00|" + std::string(26, '0') + "123456|12.34|0000|||||"});
  EXPECT_TRUE(SimLines(*sim, "bad request").empty());
  // The connection is let go with the request.
  EXPECT_GE(sim->WaitForLine("disconnected", 5000), 0);
}

TEST_F(VivaServerE2E, RefusedSaleCarriesTheTerminalsText) {
  auto sim = StartVivaSim("127.0.0.182", {"--result", "51", "--message", "Fonduri insuficiente", "--zero-bytes"});
  EXPECT_EQ(RoundTrip(Sale("127.0.0.182", "7,5", "42")), Error("Operatie esuata :   Fonduri insuficiente"));
  EXPECT_EQ(SimLines(*sim, "request "),
            std::vector<std::string>{"request 0062|000042|200|00|" + std::string(30, '0') + "42|7.50|0000|||||"});
}

TEST_F(VivaServerE2E, ReplyInThreeSegmentsIsApproved) {
  auto sim = StartVivaSim("127.0.0.183", {"--segments", "3", "--segment-pause", "700"});
  EXPECT_EQ(RoundTrip(Sale("127.0.0.183", "12.34", "123456")), kOk);
}

// A complete approval whose length field counts 4 bytes more than follow is
// judged once 2 s pass without more, not at the end of the 120 s reply wait;
// a client that came meanwhile is served right after it.
TEST_F(VivaServerE2E, LengthFieldThatCountsTooManyHoldsNoOneForLong) {
  auto sim = StartVivaSim("127.0.0.188", {"--length-extra", "4"});
  auto a = Connect();
  const auto t0 = std::chrono::steady_clock::now();
  a->Send(Sale("127.0.0.188", "12.34", "123456"));
  ASSERT_GE(sim->WaitForLine("request "), 0);
  auto b = Connect();
  b->Send(Request("1", "6", "", "", "", ""));
  std::string bytes;
  EXPECT_EQ(a->ReadReply(bytes, 60000), RequestClient::Result::kReply);
  EXPECT_EQ(bytes, kOk);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
  // 1 s pause after the request and 2 s of quiet; far below the reply wait
  // however loaded the machine is.
  EXPECT_GE(took.count(), 3000);
  EXPECT_LT(took.count(), 60000);
  EXPECT_EQ(b->ReadReply(bytes, 30000), RequestClient::Result::kReply);
  EXPECT_EQ(bytes, Error("Aceasta optiune este functionala doar pentru POS-uri Transilvania, Unicredit si BRD Hypercom"));
}

TEST_F(VivaServerE2E, CancellationApprovedAndRefused) {
  auto sim = StartVivaSim("127.0.0.184");
  EXPECT_EQ(RoundTrip(Void("127.0.0.184", "12.34", "57")), kOk);
  EXPECT_EQ(SimLines(*sim, "request "),
            std::vector<std::string>{"request 0060|000057|200|04|" + std::string(30, '0') + "57|12.34|000057|"});
  auto refusing = StartVivaSim("127.0.0.185", {"--result", "12", "--message", "Tranzactie inexistenta"});
  EXPECT_EQ(RoundTrip(Void("127.0.0.185", "12.34", "12345678")),
            Error("Operatia de anulare nu a reusit \r\rTranzactie inexistenta"));
}

TEST_F(VivaServerE2E, RefusedConnectionAndUnknownHost) {
  // Nothing listens on 127.0.0.186.
  EXPECT_EQ(RoundTrip(Sale("127.0.0.186", "1", "1")),
            Error("Operatie esuata :   Conexiune refuzata de 127.0.0.186:8080"));
  EXPECT_EQ(RoundTrip(Void("127.0.0.186", "1", "1")),
            Error("Eroare conectare la POS \r\rConexiune refuzata de 127.0.0.186:8080"));
  EXPECT_EQ(RoundTrip(Sale("nosuchhost.invalid", "1", "1")),
            Error("Operatie esuata :   Numele nosuchhost.invalid nu a putut fi rezolvat"));
}

TEST_F(VivaServerE2E, RequestSentDuringASaleIsServedAfterItNotRefused) {
  auto sim = StartVivaSim("127.0.0.187", {"--reply-delay", "1500"});
  auto a = Connect();
  a->Send(Sale("127.0.0.187", "12.34", "123456"));
  ASSERT_GE(sim->WaitForLine("request "), 0);  // the sale is under way
  auto b = Connect();
  b->Send(Request("1", "6", "", "", "", ""));  // a settlement refused at once when its turn comes
  std::string bytes;
  EXPECT_EQ(b->ReadReply(bytes, 300), RequestClient::Result::kTimedOut) << "answered while the sale ran";
  EXPECT_EQ(bytes, "");
  std::string a_bytes;
  EXPECT_EQ(a->ReadReply(a_bytes, 30000), RequestClient::Result::kReply);
  EXPECT_EQ(a_bytes, kOk);
  EXPECT_EQ(b->ReadReply(bytes, 30000), RequestClient::Result::kReply);
  EXPECT_EQ(bytes, Error("Aceasta optiune este functionala doar pentru POS-uri Transilvania, Unicredit si BRD Hypercom"));
}

}  // namespace
}  // namespace tarvina
