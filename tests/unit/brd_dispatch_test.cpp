// The BRD card sale through the server's request processing: the reply
// bytes, the slot, a STOP while idle that stops nothing, busy and STOP during the
// wait. Lines are handed in as the connection threads would; time is virtual.
#include <gtest/gtest.h>

#include <memory>

#include "platform/MainLoop.h"
#include "server/MainSrv.h"
#include "server/Packets.h"
#include "tests/support/FakeComm.h"
#include "tests/support/RecordingConnection.h"
#include "tests/support/RecordingShell.h"
#include "tests/support/VirtualServer.h"
#include "tests/unit/brd_scripted_terminal.h"

namespace tarvina {
namespace {

using namespace brdtest;

const std::string kOk = "PROCESAREOK\r\n[ENDPACHET]\r\n";
const std::string kEmptyError = "ERROR\r\n\r\n[ENDPACHET]\r\n";
const std::string kBusy = "ERROR\r\nServer ocupat. Incearca mai tarziu\r\n[ENDPACHET]\r\n";

std::string Error(const std::string& msg) { return "ERROR\r\n" + msg + "\r\n[ENDPACHET]\r\n"; }

std::vector<std::string> BrdSale(int port, const std::string& suma) {
  return RequestLines({{"Operatie", "0"}, {"TipPos", "1"}, {"PortSerial", std::to_string(port)}, {"Suma", suma}});
}

class BrdDispatchTest : public ::testing::Test, protected VirtualServer {
 protected:
  BrdDispatchTest() { comm.SetExpectWaiter(false); }

  void Send(Peer& p, const std::vector<std::string>& lines) {
    for (const auto& l : lines) m.DoSynchronize(p.client, l);
  }
  void At(Millis ms, std::function<void()> fn) {
    auto t = std::make_unique<Timer>(loop, ms);
    t->OnTimer = std::move(fn);
    t->SetEnabled(true);
    timers.push_back(std::move(t));
  }

  ScriptedTerminal terminal{comm};
  std::vector<std::unique_ptr<Timer>> timers;
};

TEST_F(BrdDispatchTest, ApprovedAndRefusedSales) {
  Peer a;
  terminal.onRequest = {{0, {ACK}}, {300, TerminalFrame(FinalAnswer("01"))}};
  Send(a, BrdSale(2, "12.50"));
  EXPECT_EQ(a.conn.bytes, kOk);
  EXPECT_EQ(terminal.amount, "1250");
  EXPECT_EQ(comm.Log().front(), "Open COM2:");
  EXPECT_FALSE(comm.IsOpen()) << "the line closes with the driver";
  EXPECT_EQ(m.aPosBRD, nullptr);

  Peer b;
  ScriptedTerminal refusing(comm);
  refusing.onRequest = {{0, {ACK}}, {300, TerminalFrame(FinalAnswer("04", "CARD RESTRICTIONAT"))}};
  Send(b, BrdSale(2, "5"));
  EXPECT_EQ(b.conn.bytes, Error("Tranzactie refuzata : CARD RESTRICTIONAT    "));
}

TEST_F(BrdDispatchTest, MissingPortAndSilentTerminal) {
  Peer a, b;
  terminal.onRequest.clear();
  comm.FailNext("Open", 2);
  Send(a, BrdSale(4, "1"));
  EXPECT_EQ(a.conn.bytes, Error("Eroare de comunicatie seriala.  Nu pot deschide portul COM4"));
  const Millis t0 = clock.NowMs();
  Send(b, BrdSale(4, "1"));
  EXPECT_EQ(b.conn.bytes, Error("Eroare de comunicatie seriala.  Nu primesc nici un mesaj de la POS "));
  EXPECT_GE(clock.NowMs() - t0, 1100);
  EXPECT_LE(clock.NowMs() - t0, 2101);
}

TEST_F(BrdDispatchTest, StopWhileIdleLeavesTheNextSaleAlone) {
  Peer a, b;
  Send(a, {"STOP", "[ENDPACHET]"});
  EXPECT_EQ(shell.log.back(), "Inchidere fortata");
  terminal.onRequest = {{0, Concat({{ACK}, TerminalFrame(FinalAnswer("01"))})}};
  Send(b, BrdSale(1, "1"));
  EXPECT_EQ(b.conn.bytes, kOk);
  EXPECT_EQ(comm.Written(), Concat({SaleFrame("100"), {ACK}})) << "the answer is acknowledged";
}

TEST_F(BrdDispatchTest, BusyThenStopWhileTheTerminalHasAcknowledged) {
  Peer a, b, c;
  At(60000, [&] {
    Send(b, BrdSale(1, "3"));
    EXPECT_EQ(b.conn.bytes, kBusy);
    EXPECT_NE(m.aPosBRD, nullptr);
  });
  At(120000, [&] { Send(c, {"STOP", "[ENDPACHET]"}); });
  Send(a, BrdSale(1, "1"));
  EXPECT_EQ(a.conn.bytes, kEmptyError);
  EXPECT_EQ(c.conn.bytes, "");
  EXPECT_EQ(clock.NowMs(), 120000 + 1) << "ended at the pass after the stop";
  EXPECT_EQ(m.aPosBRD, nullptr);
  EXPECT_EQ(comm.Written(), SaleFrame("100")) << "the busy request never reached the line";
}

}  // namespace
}  // namespace tarvina
