// TPosBRD on the fake comm layer: what it writes, and how it reads the bytes
// the sale loop hands it.
#include <gtest/gtest.h>

#include "platform/MainLoop.h"
#include "terminals/PosBRD/PosBRD.h"
#include "tests/support/FakeComm.h"

namespace tarvina {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace brd;

class BrdDriverTest : public ::testing::Test {
 protected:
  BrdDriverTest() {
    comm.SetExpectWaiter(false);
    pos.ComPort.setCP(Com1);
    EXPECT_EQ(pos.ComPort.OpenLine(), tser_ok);
    comm.TakeWritten();
  }

  void Feed(const Bytes& b) { pos.AdaugaOctetiPrimiti(b.data(), b.size()); }
  void Feed(const std::string& content) { Feed(TerminalFrame(content)); }
  Bytes Held() const { return Bytes(pos.RecvBuff.begin(), pos.RecvBuff.begin() + pos.BytesPrimiti); }

  VirtualClock clock;
  MainLoop loop{clock};
  FakeComm comm{loop};
  TPosBRD pos{loop, comm};
};

TEST_F(BrdDriverTest, WritesTheFramedRequestByteByByte) {
  TWriteMsg m;
  pos.InitWriteMsg(m);
  m.SeqNumber = "0001";
  m.TransAmount1 = "100";
  pos.PutRecMsgInBuffer(m);
  EXPECT_EQ(pos.OffSet, 45);
  EXPECT_EQ(pos.writeBuffer[45], 0xD0) << "filler after the body";
  comm.ClearLog();
  EXPECT_TRUE(pos.WriteToPOS());
  const Bytes frame = comm.Written();
  ASSERT_EQ(frame.size(), 49u);
  EXPECT_EQ(frame.front(), STX);
  EXPECT_EQ(frame[1], STX);
  EXPECT_EQ(frame[47], ETX);
  EXPECT_EQ(frame[48], 0x23);
  EXPECT_EQ(comm.Count("WriteNoWait 1"), 49);
}

TEST_F(BrdDriverTest, OverlongFieldsAreCutAtTheBuffer) {
  TWriteMsg m;
  pos.InitWriteMsg(m);
  m.PrintData = std::string(3000, 'P');
  pos.PutRecMsgInBuffer(m);
  EXPECT_EQ(pos.OffSet, 2000);
  pos.WriteToPOS();
  EXPECT_EQ(comm.Written().size(), 2004u);
}

TEST_F(BrdDriverTest, AcknowledgementLimitIsTwoSecondsUntilAnAck) {
  const std::pair<int, bool> before[] = {{0, false}, {1, false}, {2, true}, {5, true}};
  for (const auto& [dif, late] : before) {
    pos.Dif = dif;
    EXPECT_EQ(pos.notAckPrimit(), late) << dif;
  }
  Feed(Bytes{ACK});
  EXPECT_TRUE(pos.acKPrimit);
  EXPECT_EQ(pos.BytesPrimiti, 0);
  for (int dif : {0, 2, 1000}) {
    pos.Dif = dif;
    EXPECT_FALSE(pos.notAckPrimit()) << dif;
  }
}

TEST_F(BrdDriverTest, AckAndTheStartOfTheAnswerInOneRead) {
  Bytes chunk = {ACK};
  const Bytes frame = TerminalFrame(FinalAnswer("01"));
  chunk.insert(chunk.end(), frame.begin(), frame.end());
  Feed(chunk);
  EXPECT_TRUE(pos.acKPrimit);
  EXPECT_EQ(Held(), frame);
  EXPECT_TRUE(pos.MesajCoerentPrimit());
  EXPECT_TRUE(pos.TranzactieAcceptata);
}

TEST_F(BrdDriverTest, FrameCompleteAtItsEtxIsAcknowledgedAndCleared) {
  Bytes frame = TerminalFrame(FinalAnswer("02"));
  frame.pop_back();  // the LRC has not come yet
  Feed(Bytes(frame.begin(), frame.end() - 5));
  EXPECT_FALSE(pos.MesajCoerentPrimit());
  EXPECT_TRUE(comm.Written().empty());
  Feed(Bytes(frame.end() - 5, frame.end()));
  const Millis before = clock.NowMs();
  EXPECT_TRUE(pos.MesajCoerentPrimit());
  EXPECT_EQ(comm.Written(), (Bytes{ACK}));
  EXPECT_EQ(clock.NowMs() - before, 50);
  EXPECT_EQ(pos.TipMesajPrimit, "10");
  EXPECT_TRUE(pos.TranzactieAcceptata);
  EXPECT_EQ(pos.BytesPrimiti, 0);
  EXPECT_TRUE(std::all_of(pos.RecvBuff.begin(), pos.RecvBuff.end(), [](std::uint8_t b) { return b == 0; }));
}

TEST_F(BrdDriverTest, IntermediateFrameKeepsTheWaitGoing) {
  Feed(IntermediateAnswer("INTRODUCETI CARDUL"));
  EXPECT_FALSE(pos.MesajCoerentPrimit());
  EXPECT_EQ(comm.Written(), (Bytes{ACK}));
  EXPECT_EQ(pos.TipMesajPrimit, "20000000");
  EXPECT_EQ(pos.BytesPrimiti, 0);
  EXPECT_FALSE(pos.TranzactieAcceptata);
}

TEST_F(BrdDriverTest, FinalAnswersByResponseCode) {
  struct Case {
    std::string content;
    std::string tip;
    std::string mesaj;
    bool acceptata, refuzata, comunicatie, format;
  } cases[] = {
      {FinalAnswer("01"), "10", "", true, false, false, false},
      {FinalAnswer("02"), "10", "", true, false, false, false},
      {FinalAnswer("00"), "10", "Eroare format mesaj ", false, false, false, true},
      {FinalAnswer("04", "CARD EXPIRAT"), "10", "Tranzactie refuzata : CARD EXPIRAT          ", false, true, false, false},
      {FinalAnswer("06"), "10", "Eroare comunicatie", false, false, true, false},
      {FinalAnswer("99"), "10", "", false, false, false, false},
      {MessageAnswer("ANULAT"), "22000000", "ANULAT", false, false, false, false},
      {MessageAnswer("TIMP EXPIRAT"), "22000000", "TIMP", false, false, false, false},
      {"31000000xyz", "31000000", "", false, false, false, false},
  };
  for (const auto& c : cases) {
    TPosBRD fresh(loop, comm);
    Bytes f = TerminalFrame(c.content);
    fresh.AdaugaOctetiPrimiti(f.data(), f.size());
    EXPECT_TRUE(fresh.MesajCoerentPrimit()) << c.content;
    EXPECT_EQ(fresh.TipMesajPrimit, c.tip) << c.content;
    EXPECT_EQ(fresh.MesajEroare, c.mesaj) << c.content;
    EXPECT_EQ(fresh.TranzactieAcceptata, c.acceptata) << c.content;
    EXPECT_EQ(fresh.TranzactieRefuzata, c.refuzata) << c.content;
    EXPECT_EQ(fresh.EroareComunicatie, c.comunicatie) << c.content;
    EXPECT_EQ(fresh.EroareFormatMesaj, c.format) << c.content;
  }
}

TEST_F(BrdDriverTest, RefusalReasonIsExactlyTwentyTwoCharacters) {
  // The terminal's text runs on past position 153; only 22 characters count.
  std::string content = FinalAnswer("04");
  content.resize(130, '0');
  content += "FONDURI INSUFICIENTE - CONTACTATI BANCA";
  Feed(content);
  ASSERT_TRUE(pos.MesajCoerentPrimit());
  EXPECT_EQ(pos.MesajEroare, "Tranzactie refuzata : FONDURI INSUFICIENTE -");
  EXPECT_EQ(pos.MesajEroare.size(), std::string("Tranzactie refuzata : ").size() + 22);
}

TEST_F(BrdDriverTest, BytesWithoutStxNeverComplete) {
  const Bytes noise = {'1', '0', '0', '0', ETX, 0x55, 'x', ETX};
  Feed(noise);
  EXPECT_FALSE(pos.MesajCoerentPrimit());
  EXPECT_TRUE(comm.Written().empty());
  EXPECT_EQ(pos.BytesPrimiti, 0) << "nothing before an STX can start a frame";
}

TEST_F(BrdDriverTest, BytesBeforeTheStxDoNotHideTheNextFrame) {
  // An intermediate frame counts as complete at its ETX; its LRC then comes
  // in the same read as the next frame.
  Bytes first = TerminalFrame(IntermediateAnswer("ASTEPTATI"));
  const std::uint8_t lrc = first.back();
  first.pop_back();
  Feed(first);
  EXPECT_FALSE(pos.MesajCoerentPrimit());
  Bytes next = {lrc};
  const Bytes answer = TerminalFrame(FinalAnswer("01"));
  next.insert(next.end(), answer.begin(), answer.end());
  Feed(next);
  EXPECT_TRUE(pos.MesajCoerentPrimit());
  EXPECT_TRUE(pos.TranzactieAcceptata);
  EXPECT_EQ(comm.Written(), (Bytes{ACK, ACK}));
}

TEST_F(BrdDriverTest, AnLrcThatIsAnStxDoesNotStartAFrame) {
  // Find an intermediate text whose frame's LRC is 0x02.
  std::string text;
  for (char a = 'A'; a <= 'Z' && text.empty(); ++a)
    for (char b = 'A'; b <= 'Z' && text.empty(); ++b)
      if (TerminalFrame(IntermediateAnswer(std::string{a, b})).back() == STX) text = {a, b};
  ASSERT_FALSE(text.empty());
  Bytes first = TerminalFrame(IntermediateAnswer(text));
  first.pop_back();
  Feed(first);
  EXPECT_FALSE(pos.MesajCoerentPrimit());
  Feed(Bytes{STX});  // the LRC, alone
  EXPECT_FALSE(pos.MesajCoerentPrimit());
  Feed(FinalAnswer("02"));
  EXPECT_TRUE(pos.MesajCoerentPrimit());
  EXPECT_EQ(pos.TipMesajPrimit, "10");
  EXPECT_TRUE(pos.TranzactieAcceptata);
}

TEST_F(BrdDriverTest, ALongStreamStaysInsideTheBufferAndTheNextFrameIsRead) {
  // An STX and then bytes that never reach an ETX, in chunks of every size the
  // line gives at most.
  Bytes junk(2000, 'J');
  junk[0] = STX;
  Feed(junk);
  EXPECT_FALSE(pos.MesajCoerentPrimit());
  EXPECT_EQ(pos.BytesPrimiti, 2000);
  for (int i = 0; i < 5; ++i) {
    Feed(Bytes(1999, 'K'));
    EXPECT_LE(pos.BytesPrimiti, 2000);
    EXPECT_FALSE(pos.MesajCoerentPrimit());
  }
  Bytes tail(1500, 'L');
  const Bytes answer = TerminalFrame(FinalAnswer("01"));
  tail.insert(tail.end(), answer.begin(), answer.end());
  Feed(tail);
  EXPECT_LE(pos.BytesPrimiti, 2000);
  EXPECT_TRUE(pos.MesajCoerentPrimit());
  EXPECT_TRUE(pos.TranzactieAcceptata);
}

TEST_F(BrdDriverTest, FreeingTheDriverClosesItsLine) {
  {
    TPosBRD other(loop, comm);
    pos.ComPort.closeLine();
    ASSERT_EQ(other.ComPort.OpenLine(), tser_ok);
    EXPECT_TRUE(comm.IsOpen());
  }
  EXPECT_FALSE(comm.IsOpen());
}

}  // namespace
}  // namespace tarvina
