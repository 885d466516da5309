// The BRD card sale loop against a scripted terminal on the fake comm layer,
// in virtual time: every byte the PC writes, the outcome and its message.
#include <gtest/gtest.h>

#include "platform/MainLoop.h"
#include "server/DispatchBRD.h"
#include "terminals/PosBRD/PosBRD.h"
#include "tests/support/FakeComm.h"
#include "tests/unit/brd_scripted_terminal.h"

namespace tarvina {
namespace {

using namespace brdtest;

class BrdSaleTest : public ::testing::Test {
 protected:
  explicit BrdSaleTest(int wallStart = 10 * 3600) : clock(wallStart) {
    comm.SetExpectWaiter(false);
    // A sale that would wait for ever fails the test instead of hanging it.
    guard.OnTimer = [this] {
      stop = true;
      ADD_FAILURE() << "the sale was still waiting after an hour";
    };
    guard.SetEnabled(true);
  }

  void Sale(double suma = 1.00, int port = 3) {
    TPosBRD pos(loop, comm);
    startMs = clock.NowMs();
    RuleazaTranzactieBRD(loop, pos, port, suma, stop, procesOK, errorMsg);
    endMs = clock.NowMs();
    readsAfterSale = comm.Count("Read");
  }

  VirtualClock clock;
  MainLoop loop{clock};
  FakeComm comm{loop};
  ScriptedTerminal pos{comm};
  Timer guard{loop, 3600 * 1000};
  bool stop = false;
  bool procesOK = false;
  std::string errorMsg;
  Millis startMs = 0, endMs = 0;
  int readsAfterSale = 0;
};

TEST_F(BrdSaleTest, ApprovedSaleWritesTheRequestAndAcknowledgesTheAnswer) {
  pos.onRequest = {{0, {ACK}}, {400, TerminalFrame(FinalAnswer("01"))}};
  Sale(1.00, 3);
  EXPECT_TRUE(procesOK);
  EXPECT_EQ(errorMsg, "");
  EXPECT_EQ(comm.Written(), Concat({SaleFrame("100"), {ACK}}));
  EXPECT_TRUE(pos.lrcOk);
  const auto log = comm.Log();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log[0], "Open COM3:");
  EXPECT_EQ(comm.States().back().BaudRate, 9600u);
  EXPECT_EQ(comm.States().back().ByteSize, 8);
  EXPECT_EQ(comm.States().back().Parity, NOPARITY);
  EXPECT_EQ(comm.States().back().StopBits, ONESTOPBIT);
  // 100 ms pause, the answer 400 ms after the request, 50 ms after the ACK.
  EXPECT_GE(endMs - startMs, 450);
  EXPECT_LE(endMs - startMs, 470);
  EXPECT_FALSE(comm.IsOpen()) << "freeing the driver closes the line";
}

TEST_F(BrdSaleTest, OutcomesOfTheFinalFrame) {
  struct Case {
    std::string content;
    bool ok;
    std::string message;
  } cases[] = {
      {FinalAnswer("01"), true, ""},
      {FinalAnswer("02"), true, ""},
      {FinalAnswer("04", "SUMA DEPASITA"), false, "Tranzactie refuzata : SUMA DEPASITA         "},
      {FinalAnswer("00"), false, "Eroare format mesaj "},
      {FinalAnswer("06"), false, "Eroare comunicatie"},
      {MessageAnswer("OPERATIE ANULATA"), false, "OPERATIE"},
      {MessageAnswer("ANULAT"), false, "ANULAT"},
      {"77000000", false, ""},  // a type the PC does not know ends the sale without a text
  };
  for (const auto& c : cases) {
    ScriptedTerminal t(comm);
    t.onRequest = {{0, Concat({{ACK}, TerminalFrame(c.content)})}};
    procesOK = false;
    errorMsg.clear();
    comm.TakeWritten();
    Sale();
    EXPECT_EQ(procesOK, c.ok) << c.content;
    EXPECT_EQ(errorMsg, c.message) << c.content;
    EXPECT_EQ(comm.Written(), Concat({SaleFrame("100"), {ACK}})) << c.content;
  }
}

TEST_F(BrdSaleTest, AmountGoesInHundredths) {
  for (const auto& [suma, text] : {std::pair{12.50, "1250"}, {0.1, "10"}, {7.0, "700"}}) {
    ScriptedTerminal t(comm);
    t.onRequest = {{0, Concat({{ACK}, TerminalFrame(FinalAnswer("01"))})}};
    Sale(suma);
    EXPECT_EQ(t.amount, text) << suma;
    EXPECT_TRUE(t.lrcOk);
  }
}

TEST_F(BrdSaleTest, IntermediateFramesAreAcknowledgedAndTheWaitGoesOn) {
  pos.onRequest = {{0, {ACK}}, {5000, TerminalFrame(IntermediateAnswer("INTRODUCETI CARD"))}};
  pos.afterAck = {TerminalFrame(IntermediateAnswer("PIN")), TerminalFrame(FinalAnswer("02"))};
  pos.ackDelayMs = 5000;  // the customer takes five seconds per step
  Sale();
  EXPECT_TRUE(procesOK);
  EXPECT_EQ(pos.pcAcks, 3);
  EXPECT_EQ(comm.Written(), Concat({SaleFrame("100"), {ACK, ACK, ACK}}));
  EXPECT_GE(endMs - startMs, 15000) << "no limit once acknowledged";
}

TEST_F(BrdSaleTest, SilentTerminalEndsAfterOneToTwoSeconds) {
  for (Millis offset : {0, 400, 999}) {
    ScriptedTerminal t(comm);
    t.onRequest.clear();
    clock.Advance(1000 - clock.NowMs() % 1000 + offset - 100);  // the wait starts at `offset` into a second
    errorMsg.clear();
    Sale();
    EXPECT_FALSE(procesOK);
    EXPECT_EQ(errorMsg, "Eroare de comunicatie seriala.  Nu primesc nici un mesaj de la POS ");
    const Millis waited = endMs - startMs - 100;
    EXPECT_GE(waited, 1000) << offset;
    EXPECT_LE(waited, 2001) << offset;
    EXPECT_EQ(comm.Written(), SaleFrame("100"));
    comm.TakeWritten();
  }
}

TEST_F(BrdSaleTest, PortThatDoesNotOpen) {
  pos.onRequest.clear();
  comm.FailNext("Open", 2);
  Sale(1.00, 4);
  EXPECT_FALSE(procesOK);
  EXPECT_EQ(errorMsg, "Eroare de comunicatie seriala.  Nu pot deschide portul COM4");
  EXPECT_GE(endMs - startMs, 1100);
  EXPECT_LE(endMs - startMs, 2101);
  EXPECT_TRUE(comm.Written().empty());

  comm.ClearLog();
  errorMsg.clear();
  Sale(1.00, 12);  // no COM12: above the line's nine ports
  EXPECT_EQ(errorMsg, "Eroare de comunicatie seriala.  Nu pot deschide portul COM12");
  EXPECT_EQ(comm.Count("Open"), 0);
}

TEST_F(BrdSaleTest, AcknowledgedThenSilentWaitsUntilStop) {
  Timer stopper(loop, 3 * 60 * 1000);
  stopper.OnTimer = [&] { stop = true; };
  stopper.SetEnabled(true);
  Sale();
  EXPECT_FALSE(procesOK);
  EXPECT_EQ(errorMsg, "");
  EXPECT_GE(endMs - startMs, 180000);
  EXPECT_LE(endMs - startMs, 180010);
  // Polled about once a millisecond all along.
  EXPECT_GE(readsAfterSale, 170000);
  EXPECT_EQ(comm.Written(), SaleFrame("100"));
}

TEST_F(BrdSaleTest, StopTakenAtTheFirstPassEndsTheSaleAfterIt) {
  stop = true;
  pos.onRequest = {{0, Concat({{ACK}, TerminalFrame(FinalAnswer("01"))})}};
  Sale();
  EXPECT_FALSE(procesOK);
  EXPECT_EQ(errorMsg, "");
  EXPECT_EQ(readsAfterSale, 1);
  EXPECT_EQ(comm.Written(), SaleFrame("100")) << "the request still goes out; the answer is never acknowledged";
}

TEST_F(BrdSaleTest, AckAndAnswerInOneChunk) {
  pos.onRequest = {{300, Concat({{ACK}, TerminalFrame(FinalAnswer("01"))})}};
  Sale();
  EXPECT_TRUE(procesOK);
  EXPECT_EQ(comm.Written(), Concat({SaleFrame("100"), {ACK}}));
}

TEST_F(BrdSaleTest, LrcInAChunkOfItsOwnAndTheNextFrameAfterIt) {
  Bytes first = TerminalFrame(IntermediateAnswer("ASTEPTATI"));
  const std::uint8_t lrc = first.back();
  first.pop_back();
  pos.onRequest = {{0, Concat({{ACK}, first})}};
  // The LRC comes on its own once the PC has acknowledged, then the answer
  // right behind it in the next chunk.
  pos.afterAck = {Concat({{lrc}, TerminalFrame(FinalAnswer("01"))})};
  pos.ackDelayMs = 1;
  Sale();
  EXPECT_TRUE(procesOK);
  EXPECT_EQ(pos.pcAcks, 2);
}

class BrdSaleAtMidnightTest : public BrdSaleTest {
 protected:
  BrdSaleAtMidnightTest() : BrdSaleTest(24 * 3600 - 1) {}
};

TEST_F(BrdSaleAtMidnightTest, AcknowledgementLimitHoldsAcrossMidnight) {
  pos.onRequest.clear();
  Sale();
  EXPECT_EQ(errorMsg, "Eroare de comunicatie seriala.  Nu primesc nici un mesaj de la POS ");
  EXPECT_LE(endMs - startMs, 2101);
}

}  // namespace
}  // namespace tarvina
