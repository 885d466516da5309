// The Transilvania driver against a scripted terminal on the fake comm layer,
// in virtual time: every byte it writes, when it writes it, and what the
// caller reads afterwards.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/MainLoop.h"
#include "platform/Trace.h"
#include "terminals/PosTransilvania/PosTransilvania.h"
#include "tests/support/FakeComm.h"

namespace tarvina {
namespace {

using namespace transilvania;
using Bytes = FakeComm::Bytes;

struct Write {
  Millis at;
  Bytes bytes;
  bool operator==(const Write&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Write& w) {
  os << "@" << w.at << ":";
  for (auto b : w.bytes) os << " " << static_cast<int>(b);
  return os;
}

Bytes SaleFrame(double suma) { return BuildSaleRequest(suma); }

Bytes WithAck(const Bytes& frame) {
  Bytes b(frame.size() + 1, ACK);
  std::copy(frame.begin(), frame.end(), b.begin() + 1);
  return b;
}

const std::vector<Field> kApprovedFields = {
    {0x03, "000000001234"}, {0x07, "00"}, {0x08, "APROBAT"}, {0x0D, "************1234"},
    {0x16, "X"},            {0x0E, "77"}, {0x10, "9"}};

class TransilvaniaDriver : public ::testing::Test {
 protected:
  void SetUp() override {
    comm.OnWrite = [this](const Bytes& b) {
      writes.push_back({clock.NowMs(), b});
      if (terminal) terminal(b);
    };
    drv.PortSerial = 3;
    ASSERT_TRUE(drv.OpenPort());
  }

  // ACK to every ENQ; to a request frame, `answer` (ACK included) at once.
  void AnswerWith(const Bytes& answer) {
    terminal = [this, answer](const Bytes& b) {
      if (b == Bytes{ENQ}) comm.Deliver({ACK});
      if (!b.empty() && b[0] == STX) comm.Deliver(answer);
    };
  }

  std::vector<Write> Enqs(std::initializer_list<Millis> times) {
    std::vector<Write> w;
    for (Millis t : times) w.push_back({t, {ENQ}});
    return w;
  }

  // A STOP from the billing application at virtual time `at`.
  void StopAt(Millis at) {
    stop_timer = std::make_unique<tarvina::Timer>(loop, at);
    stop_timer->OnTimer = [this] { drv.IesireFortata = true; };
    stop_timer->SetEnabled(true);
  }

  VirtualClock clock;
  MainLoop loop{clock};
  FakeComm comm{loop};
  int beeps = 0;
  TPosTransilvania drv{loop, comm, [this] { ++beeps; }};
  std::function<void(const Bytes&)> terminal;
  std::vector<Write> writes;
  std::unique_ptr<tarvina::Timer> stop_timer;
};

TEST_F(TransilvaniaDriver, OpensTheNumberedPortWithItsLineSettings) {
  EXPECT_EQ(comm.Log()[0], "Open COM3");
  ASSERT_FALSE(comm.States().empty());
  const CommState s = comm.States().back();
  EXPECT_EQ(s.BaudRate, 115200u);
  EXPECT_EQ(s.ByteSize, 8);
  EXPECT_EQ(s.Parity, NOPARITY);
  EXPECT_EQ(s.StopBits, ONESTOPBIT);
  EXPECT_EQ(s.Flags & (kDcbNull | kDcbOutxCtsFlow | kDcbOutX | kDcbInX | kDcbRtsControlMask), 0u);

  drv.ClosePort();
  EXPECT_FALSE(comm.IsOpen());
  comm.FailNext("Open", 2);
  EXPECT_FALSE(drv.OpenPort());  // the port's exception does not pass
}

TEST_F(TransilvaniaDriver, ApprovedSale) {
  AnswerWith(WithAck(ResponseFrame(0, kApprovedFields)));
  drv.Suma = 12.34;
  EXPECT_TRUE(drv.PosSaleByCard());
  EXPECT_EQ(writes, (std::vector<Write>{{0, {ENQ}}, {0, SaleFrame(12.34)}, {0, {EOT}}}));
  EXPECT_EQ(writes[1].bytes.size(), 45u);
  EXPECT_EQ(drv.ErrCode, 0);
  EXPECT_FALSE(drv.EroareComunicare);
  EXPECT_EQ(drv.A103, "000000001234");
  EXPECT_EQ(drv.A107, "00");
  EXPECT_EQ(drv.A108, "APROBAT");
  EXPECT_EQ(drv.A10D, "************1234");
  EXPECT_EQ(drv.A116, "X");
  EXPECT_EQ(drv.A104, "");   // absent from the answer
  EXPECT_EQ(drv.A10E, "");   // present, but not a field of the sale
  EXPECT_EQ(beeps, 1);       // reading field 0x16
}

TEST_F(TransilvaniaDriver, TraceLinesOfAnExchange) {
  std::vector<std::string> lines;
  WireTrace::SetSink([&](const std::string& l) { lines.push_back(l); });
  AnswerWith(WithAck(ResponseFrame(0, {})));
  const bool ok = drv.RaportZilnic();
  WireTrace::SetSink(nullptr);
  EXPECT_TRUE(ok);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], "PC :  5");
  EXPECT_EQ(lines[1], "POS :  6");
  EXPECT_EQ(lines[2], "PC :  2 0 16 \xA0 0 1 3 \xA0 2 3 R O N \xA0 3 3 9 4 6 3 6 \xB9");
  EXPECT_EQ(lines[3].rfind("POS :  6 2 0 4 \xA1 0 1 0 3 ", 0), 0u) << lines[3];
  EXPECT_EQ(lines[4], "PC :  4");
}

TEST_F(TransilvaniaDriver, SilentTerminalGetsSevenEnqThreeSecondsApartThenEot) {
  drv.Suma = 12.34;
  EXPECT_FALSE(drv.PosSaleByCard());
  std::vector<Write> expected = Enqs({0, 3000, 6000, 9000, 12000, 15000, 18000});
  expected.push_back({21000, {EOT}});
  EXPECT_EQ(writes, expected);
  EXPECT_FALSE(drv.EroareComunicare);
  EXPECT_EQ(drv.ErrCode, 0);
  EXPECT_EQ(drv.A108, "");
}

TEST_F(TransilvaniaDriver, NakToEnqRestartsTheTryAndTheNextAckIsTaken) {
  int enqs = 0;
  terminal = [&](const Bytes& b) {
    if (b == Bytes{ENQ} && ++enqs == 1) comm.DeliverAfter(2000, {NAK});
    if (b == Bytes{ENQ} && enqs == 2) comm.Deliver({ACK});
    if (b[0] == STX) comm.Deliver(WithAck(ResponseFrame(0, {})));
  };
  EXPECT_TRUE(drv.RaportZilnic());
  ASSERT_EQ(writes.size(), 4u);
  EXPECT_EQ(writes[1], (Write{5000, {ENQ}}));  // 3000 ms after the NAK, not after the ENQ
  EXPECT_EQ(writes[3], (Write{5000, {EOT}}));
}

TEST_F(TransilvaniaDriver, AckAndStxAloneAreNoAnswerAndTheWaitRunsToItsTimeOut) {
  terminal = [&](const Bytes& b) {
    if (b == Bytes{ENQ}) comm.Deliver({ACK});
    if (b[0] == STX) comm.DeliverAfter(1000, {ACK, STX});
  };
  drv.Suma = 12.34;
  EXPECT_FALSE(drv.PosSaleByCard());
  ASSERT_EQ(writes.size(), 3u);
  // 180 s of silence after the last byte, not after the request.
  EXPECT_EQ(writes[2], (Write{181000, {EOT}}));
  EXPECT_TRUE(drv.EroareComunicare);
  EXPECT_EQ(drv.ErrCode, 0);

  // The interval is back to 3 s for the next operation's handshake.
  writes.clear();
  terminal = nullptr;
  EXPECT_FALSE(drv.RaportZilnic());
  EXPECT_EQ(writes[1].at - writes[0].at, 3000);
}

TEST_F(TransilvaniaDriver, AnswerInChunksCompletesAtTheChunkThatEndsTheFrame) {
  const Bytes answer = WithAck(ResponseFrame(0, kApprovedFields));
  const std::size_t n = answer.size();
  // The second chunk ends with ETX and one CRC byte: not yet complete.
  const std::vector<Bytes> chunks = {Bytes(answer.begin(), answer.begin() + 1),
                                     Bytes(answer.begin() + 1, answer.begin() + 10),
                                     Bytes(answer.begin() + 10, answer.end() - 1),
                                     Bytes(answer.end() - 1, answer.end())};
  ASSERT_EQ(answer[n - 3], ETX);
  terminal = [&](const Bytes& b) {
    if (b == Bytes{ENQ}) comm.Deliver({ACK});
    if (b[0] != STX) return;
    // Each chunk 170 s after the previous one: only a restarted interval survives that.
    for (std::size_t i = 0; i < chunks.size(); ++i)
      comm.DeliverAfter(static_cast<Millis>(170000 * (i + 1)), chunks[i]);
  };
  drv.Suma = 12.34;
  EXPECT_TRUE(drv.PosSaleByCard());
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_EQ(writes[2], (Write{680000, {EOT}}));
  EXPECT_EQ(drv.A108, "APROBAT");
}

TEST_F(TransilvaniaDriver, RefusalGivesFalseWithCodeAndFields) {
  AnswerWith(WithAck(ResponseFrame(5, {{0x07, "51"}, {0x08, "FONDURI INSUFICIENTE"}})));
  drv.Suma = 12.34;
  EXPECT_FALSE(drv.PosSaleByCard());
  EXPECT_EQ(drv.ErrCode, 5);
  EXPECT_FALSE(drv.EroareComunicare);
  EXPECT_EQ(drv.A107, "51");
  EXPECT_EQ(drv.A108, "FONDURI INSUFICIENTE");
  EXPECT_EQ(writes.back().bytes, Bytes{EOT});
}

TEST_F(TransilvaniaDriver, AnswerWhoseFirstFieldIsNotTheResultCode) {
  AnswerWith(WithAck(FrameBytes(kTagResponse, {{0x08, "APROBAT"}, {0x00, std::string(1, '\0')}})));
  drv.Suma = 1;
  EXPECT_FALSE(drv.PosSaleByCard());
  EXPECT_FALSE(drv.EroareComunicare);
  EXPECT_EQ(drv.ErrCode, 0);
  EXPECT_EQ(drv.A108, "");  // nothing copied
  EXPECT_EQ(beeps, 0);
}

TEST_F(TransilvaniaDriver, VoidSendsReceiptAndAmountAndReadsOnlyTheMessage) {
  AnswerWith(WithAck(ResponseFrame(1, {{0x07, "12"}, {0x08, "TRANZACTIE INEXISTENTA"}})));
  drv.Suma = 12.34;
  drv.NrBon = "123";
  EXPECT_FALSE(drv.VoidPosSale());
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_EQ(writes[1].bytes, BuildVoidRequest(12.34, "123"));
  EXPECT_EQ(writes[1].bytes.size(), 34u);
  EXPECT_EQ(drv.ErrCode, 1);
  EXPECT_EQ(drv.A108, "TRANZACTIE INEXISTENTA");
  EXPECT_EQ(drv.A107, "");
}

TEST_F(TransilvaniaDriver, DailyReportReadsItsFields) {
  AnswerWith(WithAck(ResponseFrame(0, kApprovedFields)));
  EXPECT_TRUE(drv.RaportZilnic());
  EXPECT_EQ(writes[1].bytes, BuildDailyReportRequest());
  EXPECT_EQ(drv.A10E, "77");
  EXPECT_EQ(drv.A110, "9");
  EXPECT_EQ(drv.A108, "APROBAT");
  EXPECT_EQ(drv.A10D, "");  // a sale field
  EXPECT_EQ(beeps, 0);
}

TEST_F(TransilvaniaDriver, StatusQueryIsTrueForAnyWellFormedAnswer) {
  AnswerWith(WithAck(ResponseFrame(7, {})));
  drv.ErrCode = 42;
  EXPECT_TRUE(drv.GetPosInfo());
  EXPECT_EQ(writes[1].bytes, BuildStatusRequest());
  EXPECT_EQ(drv.ErrCode, 42);  // not touched

  // Its wait keeps the 3 s interval.
  writes.clear();
  terminal = [&](const Bytes& b) {
    if (b == Bytes{ENQ}) comm.Deliver({ACK});
  };
  EXPECT_FALSE(drv.GetPosInfo());
  EXPECT_EQ(writes.back(), (Write{3000, {EOT}}));
}

TEST_F(TransilvaniaDriver, StopDuringTheAnswerWaitEndsItAtOnce) {
  terminal = [&](const Bytes& b) {
    if (b == Bytes{ENQ}) comm.Deliver({ACK});
    if (b[0] == STX) comm.Deliver({ACK});
  };
  StopAt(5000);
  drv.Suma = 12.34;
  EXPECT_FALSE(drv.PosSaleByCard());
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_EQ(writes[2], (Write{5000, {EOT}}));
  EXPECT_TRUE(drv.EroareComunicare);
}

TEST_F(TransilvaniaDriver, StopDuringTheHandshakeSendsNoFurtherEnq) {
  StopAt(4000);  // during the second try
  drv.Suma = 12.34;
  EXPECT_FALSE(drv.PosSaleByCard());
  std::vector<Write> expected = Enqs({0, 3000});
  expected.push_back({4000, {EOT}});
  EXPECT_EQ(writes, expected);
  EXPECT_TRUE(drv.EroareComunicare);  // as after a STOP in the answer wait
}

TEST_F(TransilvaniaDriver, AmountThatCannotBeSentLeavesTheLineAlone) {
  AnswerWith(WithAck(ResponseFrame(0, {})));
  for (double suma : {-10.0, 1e10}) {
    drv.Suma = suma;
    EXPECT_FALSE(drv.PosSaleByCard()) << suma;
    drv.NrBon = "1";
    EXPECT_FALSE(drv.VoidPosSale()) << suma;
  }
  EXPECT_TRUE(writes.empty());
}

TEST_F(TransilvaniaDriver, OverlongAnswerIsCutAndTheWaitGoesOn) {
  Bytes flood(2500, 0xA1);
  flood[0] = ACK;
  flood[1] = STX;
  terminal = [&](const Bytes& b) {
    if (b == Bytes{ENQ}) comm.Deliver({ACK});
    if (b[0] == STX) {
      comm.Deliver(flood);
      comm.DeliverAfter(1000, Bytes(300, 0x16));
    }
  };
  drv.Suma = 12.34;
  EXPECT_FALSE(drv.PosSaleByCard());
  EXPECT_TRUE(drv.EroareComunicare);
  EXPECT_EQ(writes.back(), (Write{181000, {EOT}}));
}

TEST_F(TransilvaniaDriver, FullBufferEndingInAFrameStillCompletes) {
  // Exactly 1000 bytes: ACK, STX, filler, ETX and two CRC bytes at the end.
  Bytes answer(1000, 0x20);
  answer[0] = ACK;
  answer[1] = STX;
  answer[4] = kTagResponse;
  answer[5] = 0x00;
  answer[6] = 1;
  answer[7] = 0;
  answer[997] = ETX;
  AnswerWith(answer);
  drv.Suma = 12.34;
  EXPECT_TRUE(drv.PosSaleByCard());
  EXPECT_EQ(writes.back(), (Write{0, {EOT}}));
}

TEST_F(TransilvaniaDriver, WriteFailurePassesAfterEotIsAttempted) {
  terminal = [&](const Bytes& b) {
    if (b == Bytes{ENQ}) {
      comm.Deliver({ACK});
      comm.FailNext("Write", 5);  // the request frame
    }
  };
  drv.Suma = 12.34;
  EXPECT_THROW(drv.PosSaleByCard(), EComPort);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[1].bytes, Bytes{EOT});

  // The interval went back to 3 s.
  writes.clear();
  terminal = nullptr;
  EXPECT_FALSE(drv.RaportZilnic());
  EXPECT_EQ(writes[1].at - writes[0].at, 3000);
}

}  // namespace
}  // namespace tarvina
