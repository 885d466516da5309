// TPosUnicredit against the in-memory line: the fake plays the terminal, the
// virtual clock lets two minutes of silence pass at once, and every byte the
// driver writes is compared with the frame it must be.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/MainLoop.h"
#include "platform/Trace.h"
#include "serial/CPort.h"
#include "terminals/PosUnicredit/PosUnicredit.h"
#include "terminals/PosUnicredit/UnicreditFrames.h"
#include "tests/support/FakeComm.h"

namespace tarvina {
namespace {

namespace uc = unicredit;
using uc::Bytes;

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes SaleAnswer(std::uint8_t counter, const std::string& t330, const std::string* t332 = nullptr) {
  std::vector<uc::Element> el{{uc::kElRezultat, t330}};
  if (t332) el.push_back({uc::kElRezultatExtra, *t332});
  return uc::BuildMessage(3, counter, el);
}

Bytes Intermediate(std::uint8_t counter) { return uc::BuildMessage(0x40, counter, {{900, "ASTEPTATI"}}); }

class UnicreditDriver : public ::testing::Test {
 protected:
  void SetUp() override {
    comm.OnWrite = [this](const Bytes& b) {
      writes.push_back(b);
      enq_at_write.push_back(pos->ENQMessages().size());
      // The terminal's side: a PC message gets the acknowledgement and then
      // whatever the test scripted for it.
      if (b.size() >= 2 && b[1] == uc::kTipMesaj && on_message) on_message(b);
    };
    pos = std::make_unique<TPosUnicredit>(loop, comm, [] { return std::uint8_t{0x2A}; });
    pos->PortSerial = 3;
    ASSERT_TRUE(pos->OpenPort());
  }
  void TearDown() override { pos.reset(); }

  // A terminal that acknowledges at once and sends `answer` after 1 s.
  void AnswerWith(const Bytes& answer) {
    on_message = [this, answer](const Bytes& msg) {
      comm.Deliver(uc::BuildAck(msg[2]));
      comm.DeliverAfter(1000, answer);
    };
  }
  // Runs fn on the main thread at virtual time `at_ms`, while the driver waits.
  void At(Millis at_ms, std::function<void()> fn) {
    auto t = std::make_unique<Timer>(loop, at_ms - clock.NowMs());
    t->OnTimer = std::move(fn);
    t->SetEnabled(true);
    probes.push_back(std::move(t));
  }

  VirtualClock clock;
  MainLoop loop{clock};
  FakeComm comm{loop};
  std::unique_ptr<TPosUnicredit> pos;
  std::function<void(const Bytes&)> on_message;
  std::vector<Bytes> writes;
  std::vector<std::size_t> enq_at_write;
  std::vector<std::unique_ptr<Timer>> probes;
  std::string mesaj = "unchanged";
};

TEST_F(UnicreditDriver, OpensTheNumberedPortAt9600EightNoneOne) {
  ASSERT_FALSE(comm.Log().empty());
  EXPECT_EQ(comm.Log()[0], "Open COM3");
  ASSERT_FALSE(comm.States().empty());
  const CommState s = comm.States().back();
  EXPECT_EQ(s.BaudRate, 9600u);
  EXPECT_EQ(s.ByteSize, 8);
  EXPECT_EQ(s.Parity, NOPARITY);
  EXPECT_EQ(s.StopBits, ONESTOPBIT);
  EXPECT_EQ(s.Flags, kDcbBinary);  // no flow control, zero bytes kept
  pos->ClosePort();
  EXPECT_FALSE(comm.IsOpen());
  pos->ClosePort();  // closing twice is harmless
}

TEST(UnicreditDriverOpen, AMissingPortIsFalseNotAnException) {
  VirtualClock clock;
  MainLoop loop(clock);
  FakeComm comm(loop);
  comm.FailNext("Open", 2);
  TPosUnicredit pos(loop, comm);
  EXPECT_FALSE(pos.OpenPort());
}

TEST_F(UnicreditDriver, ApprovedSaleAcknowledgesTheAnswerBeforeStoringIt) {
  AnswerWith(SaleAnswer(0x31, "Tranzactie aprobata 000123"));
  pos->Suma = 12.34;
  EXPECT_TRUE(pos->PosSaleByCard(mesaj));
  EXPECT_EQ(mesaj, "");
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0], uc::BuildSale(0x2A, 12.34));
  EXPECT_EQ(writes[0].size(), 42u);
  EXPECT_EQ(writes[1], uc::BuildAck(0x31));
  EXPECT_EQ(enq_at_write[1], 0u) << "the acknowledgement goes out before the message is stored";
  ASSERT_EQ(pos->ENQMessages().size(), 1u);
  EXPECT_EQ(pos->getResponseValue(330), "Tranzactie aprobata 000123");
  EXPECT_EQ(pos->getResponseValue(332), "");
  EXPECT_EQ(clock.NowMs(), 1000);
}

TEST_F(UnicreditDriver, VoidSendsItsFrameAndReadsTheSameAnswer) {
  AnswerWith(SaleAnswer(0x05, "APROBAT"));
  pos->Suma = 12.34;
  pos->NrBon = "123";
  EXPECT_TRUE(pos->VoidPosSale(mesaj));
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0], uc::BuildVoid(0x2A, 12.34, "123"));
  EXPECT_EQ(writes[0].size(), 58u);
  EXPECT_EQ(writes[1], uc::BuildAck(0x05));
}

TEST(UnicreditDriverResult, ApprovalTextsAndRefusalMessages) {
  struct Case {
    std::string t330;
    const char* t332;  // null: element absent
    bool approved;
    std::string mesaj;
  };
  const Case cases[] = {
      {"APROBAT", nullptr, true, ""},
      {"tranzactie Aprobata", "x", true, ""},
      {"NEAPROBATA", nullptr, true, ""},  // contains the letters, so it approves
      {"APROB AT", "FONDURI", false, "APROB AT\r\rFONDURI"},
      {"TRANZACTIE REFUZATA", "FONDURI INSUFICIENTE", false, "TRANZACTIE REFUZATA\r\rFONDURI INSUFICIENTE"},
      {"", nullptr, false, "\r\r"},
  };
  for (bool anulare : {false, true}) {
    for (const Case& c : cases) {
      VirtualClock clock;
      MainLoop loop(clock);
      FakeComm comm(loop);
      const std::string extra = c.t332 ? c.t332 : "";
      comm.OnWrite = [&](const Bytes& b) {
        if (b[1] != uc::kTipMesaj) return;
        comm.Deliver(uc::BuildAck(b[2]));
        comm.DeliverAfter(10, SaleAnswer(7, c.t330, c.t332 ? &extra : nullptr));
      };
      TPosUnicredit pos(loop, comm, [] { return std::uint8_t{1}; });
      ASSERT_TRUE(pos.OpenPort());
      std::string m = "old";
      EXPECT_EQ(anulare ? pos.VoidPosSale(m) : pos.PosSaleByCard(m), c.approved) << c.t330;
      EXPECT_EQ(m, c.mesaj) << c.t330;
    }
  }
}

TEST(UnicreditDriverResult, DailyReportSucceedsOnlyOnCode00) {
  struct Case {
    std::string code;
    bool ok;
  };
  const Case cases[] = {{"00", true}, {" 00", false}, {"0", false}, {"000", false}, {"01", false}, {"", false}};
  for (const Case& c : cases) {
    VirtualClock clock;
    MainLoop loop(clock);
    FakeComm comm(loop);
    std::vector<Bytes> writes;
    comm.OnWrite = [&](const Bytes& b) {
      writes.push_back(b);
      if (b[1] != uc::kTipMesaj) return;
      comm.Deliver(uc::BuildAck(b[2]));
      comm.DeliverAfter(10, uc::BuildMessage(5, 0x44, {{410, c.code}, {411, "EROARE"}, {413, "BATCH"}}));
    };
    TPosUnicredit pos(loop, comm, [] { return std::uint8_t{0x2A}; });
    ASSERT_TRUE(pos.OpenPort());
    std::string m = "kept on success";
    EXPECT_EQ(pos.RaportZilnic(m), c.ok) << "'" << c.code << "'";
    EXPECT_EQ(m, c.ok ? "kept on success" : "EROARE\r\rBATCH") << "'" << c.code << "'";
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0], uc::BuildReport(0x2A));
    EXPECT_EQ(writes[0].size(), 12u);
    EXPECT_EQ(writes[1], uc::BuildAck(0x44));
  }
}

TEST_F(UnicreditDriver, StatusQuerySendsItsFrameAndAwaitsCode13) {
  AnswerWith(uc::BuildMessage(0x13, 9, {{100, "STA"}}));
  EXPECT_TRUE(pos->GetPosInfo());
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0], uc::BuildStatus(0x2A));
  EXPECT_EQ(writes[0].size(), 28u);
}

TEST_F(UnicreditDriver, AckAndMessageInOneChunkAreBothHandledAtThatNotification) {
  on_message = [this](const Bytes& msg) { comm.DeliverAfter(500, Cat({uc::BuildAck(msg[2]), SaleAnswer(0x33, "APROBAT")})); };
  EXPECT_TRUE(pos->PosSaleByCard(mesaj));
  EXPECT_EQ(pos->Log().size(), 1u) << "one notification";
  EXPECT_EQ(pos->ReceiveStr(), "");
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[1], uc::BuildAck(0x33));
}

// A USB adapter (or a busy machine) hands over several frames in one read.
// Every whole frame in it is taken at that notification: nothing more may
// come to push on a frame left behind, and the terminal waits for its
// acknowledgement. Bytes after the last whole frame stay for the next read.
TEST(UnicreditDriverJoinedReads, EveryWholeFrameOfOneReadIsTakenAtOnce) {
  const Bytes answer = SaleAnswer(0x12, "APROBAT");
  const Bytes ack = uc::BuildAck(0x2A);
  const Bytes head(answer.begin(), answer.begin() + 6);
  struct Case {
    const char* name;
    Bytes chunk;
    std::vector<Bytes> acks;  // what the PC answers, in order
    std::string left;         // what stays in ReceiveStr
  };
  const Case cases[] = {
      {"ack, message, answer", Cat({ack, Intermediate(0x11), answer}), {uc::BuildAck(0x11), uc::BuildAck(0x12)}, ""},
      {"two messages, then bytes", Cat({Intermediate(0x11), answer, {0x0D, 0x0A}}),
       {uc::BuildAck(0x11), uc::BuildAck(0x12)}, "\r\n"},
      {"a stray acknowledgement before the terminal's own", Cat({uc::BuildAck(0x29), ack, answer}),
       {uc::BuildAck(0x12)}, ""},
      {"answer, then a message behind it", Cat({ack, answer, Intermediate(0x13)}),
       {uc::BuildAck(0x12), uc::BuildAck(0x13)}, ""},
      {"answer, then the start of a frame", Cat({ack, answer, head}), {uc::BuildAck(0x12)}, uc::ToString(head)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VirtualClock clock;
    MainLoop loop{clock};
    FakeComm comm{loop};
    std::vector<Bytes> writes;
    comm.OnWrite = [&](const Bytes& b) {
      writes.push_back(b);
      if (b.size() >= 2 && b[1] == uc::kTipMesaj) comm.DeliverAfter(1000, c.chunk);
    };
    TPosUnicredit pos(loop, comm, [] { return std::uint8_t{0x2A}; });
    pos.PortSerial = 3;
    ASSERT_TRUE(pos.OpenPort());
    std::string mesaj;
    EXPECT_TRUE(pos.PosSaleByCard(mesaj));
    EXPECT_EQ(clock.NowMs(), 1000) << "answered at the read that brought it";
    EXPECT_EQ(pos.Log().size(), 1u);
    ASSERT_EQ(writes.size(), c.acks.size() + 1);
    for (std::size_t i = 0; i < c.acks.size(); ++i) EXPECT_EQ(writes[i + 1], c.acks[i]) << i;
    EXPECT_EQ(pos.ReceiveStr(), c.left);
  }
}

// Each chunk restarts the silence interval, so an exchange far longer than
// 120 s succeeds while no gap reaches it; an unexpected code is acknowledged
// and the wait goes on.
TEST_F(UnicreditDriver, UnexpectedCodesAndSlowChunksKeepTheWaitGoing) {
  const Bytes answer = SaleAnswer(0x22, "APROBAT");
  on_message = [&](const Bytes& msg) {
    comm.Deliver(uc::BuildAck(msg[2]));
    comm.DeliverAfter(100000, Intermediate(0x21));
    comm.DeliverAfter(200000, Bytes(answer.begin(), answer.begin() + 5));
    comm.DeliverAfter(300000, Bytes(answer.begin() + 5, answer.end() - 1));
    comm.DeliverAfter(419000, Bytes(answer.end() - 1, answer.end()));
  };
  EXPECT_TRUE(pos->PosSaleByCard(mesaj));
  EXPECT_EQ(clock.NowMs(), 419000);
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_EQ(writes[1], uc::BuildAck(0x21));
  EXPECT_EQ(writes[2], uc::BuildAck(0x22));
  EXPECT_EQ(pos->ENQMessages().size(), 2u);
  EXPECT_EQ(pos->Log().size(), 5u);
}

TEST_F(UnicreditDriver, SilenceOf120SecondsAfterTheLastByteIsTimeout) {
  on_message = [this](const Bytes& msg) { comm.DeliverAfter(50000, uc::BuildAck(msg[2])); };
  EXPECT_FALSE(pos->PosSaleByCard(mesaj));
  EXPECT_EQ(mesaj, "TIMEOUT");
  EXPECT_TRUE(pos->TimeOut());
  EXPECT_EQ(clock.NowMs(), 170000);
  EXPECT_EQ(writes.size(), 1u);

  std::string report = "old";
  EXPECT_FALSE(pos->RaportZilnic(report));
  EXPECT_EQ(report, "TIMEOUT");
  EXPECT_EQ(clock.NowMs(), 170000 + 170000);
}

TEST_F(UnicreditDriver, ShortAwaitedMessageEndsTheWaitWithoutElements) {
  AnswerWith(uc::BuildFrame(uc::kTipMesaj, 0x40, {3, 0}));  // 10 bytes
  EXPECT_FALSE(pos->PosSaleByCard(mesaj));
  EXPECT_EQ(mesaj, "\r\r");
  EXPECT_TRUE(pos->ResponseMessages().empty());
  EXPECT_EQ(writes.back(), uc::BuildAck(0x40));
}

TEST_F(UnicreditDriver, StopEndsTheWaitWithAnEmptyMessage) {
  on_message = [this](const Bytes& msg) { comm.Deliver(uc::BuildAck(msg[2])); };
  At(7000, [this] { pos->IesireFortata = true; });
  EXPECT_FALSE(pos->PosSaleByCard(mesaj));
  EXPECT_EQ(mesaj, "");
  EXPECT_EQ(clock.NowMs(), 7000);
  // The daily report leaves its message as it was.
  std::string report = "old";
  EXPECT_FALSE(pos->RaportZilnic(report));
  EXPECT_EQ(report, "old");
}

TEST_F(UnicreditDriver, BytesInFrontOfAFrameAreNeverSkipped) {
  on_message = [this](const Bytes& msg) {
    comm.Deliver(Cat({{0xFF}, uc::BuildAck(msg[2]), SaleAnswer(1, "APROBAT")}));
  };
  EXPECT_FALSE(pos->PosSaleByCard(mesaj));
  EXPECT_EQ(mesaj, "TIMEOUT");
  EXPECT_EQ(writes.size(), 1u);
}

// A notification larger than the 10000-byte chunk is read in pieces, and an
// element that claims more than the message holds is dropped, not read past it.
TEST_F(UnicreditDriver, OversizedAndOverstatedMessagesStayInBounds) {
  const std::string big(20000, 'A');
  Bytes answer = uc::BuildMessage(3, 2, {{330, "APROBAT " + big}, {332, "X"}});
  answer[answer.size() - 6] = 0x7F;  // high byte of the second element's length
  AnswerWith(answer);
  EXPECT_TRUE(pos->PosSaleByCard(mesaj));
  EXPECT_EQ(pos->getResponseValue(330), "APROBAT " + big);
  EXPECT_EQ(pos->ResponseMessages().size(), 1u);
  EXPECT_EQ(pos->Log().size(), 2u);  // the acknowledgement, then the whole answer at once
}

TEST_F(UnicreditDriver, AFailedWriteReachesTheCaller) {
  comm.FailNext("Write", 5);
  EXPECT_THROW(pos->PosSaleByCard(mesaj), EComPort);
}

TEST(UnicreditDriverCounter, DrawnFrom0To253WhenNotFixed) {
  VirtualClock clock;
  MainLoop loop(clock);
  FakeComm comm(loop);
  std::vector<std::uint8_t> counters;
  comm.OnWrite = [&](const Bytes& b) {
    if (b[1] != uc::kTipMesaj) return;
    counters.push_back(b[2]);
    EXPECT_EQ(b[2], b[7]) << "the counter stands again in the data";
    comm.Deliver(uc::BuildAck(b[2]));
    comm.DeliverAfter(1, uc::BuildMessage(5, 1, {{410, "00"}}));
  };
  for (int i = 0; i < 40; ++i) {
    TPosUnicredit pos(loop, comm);
    ASSERT_TRUE(pos.OpenPort());
    std::string m;
    EXPECT_TRUE(pos.RaportZilnic(m));
    EXPECT_EQ(pos.Contor, counters.back());
  }
  for (std::uint8_t c : counters) EXPECT_LE(c, 253);
}

TEST_F(UnicreditDriver, WireTraceShowsBothDirections) {
  std::vector<std::string> lines;
  WireTrace::SetSink([&](const std::string& l) { lines.push_back(l); });
  AnswerWith(uc::BuildMessage(5, 0x2B, {{410, "00"}}));
  EXPECT_TRUE(pos->RaportZilnic(mesaj));
  WireTrace::SetSink(nullptr);
  const uc::Bytes report = uc::BuildReport(0x2A);
  const uc::Bytes ack = uc::BuildAck(0x2A);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], WireTrace::Format(true, report.data(), report.size()));
  EXPECT_EQ(lines[1], WireTrace::Format(false, ack.data(), ack.size()));
  EXPECT_EQ(pos->Log()[0], "1 6 42 0 0 219 59 4 ");
}

}  // namespace
}  // namespace tarvina
