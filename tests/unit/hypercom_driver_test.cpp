#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Comm.h"
#include "platform/MainLoop.h"
#include "terminals/PosBRDHypercom/HypercomFrames.h"
#include "terminals/PosBRDHypercom/PosBRDHypercom.h"
#include "tests/support/FakeComm.h"

namespace tarvina {
namespace {

namespace hc = hypercom;
using Bytes = FakeComm::Bytes;

const Bytes kAck = {hc::ACK};

struct Written {
  Millis at;
  Bytes bytes;
};

// The driver on a fake line in virtual time. The terminal is a script run on
// every write; by default it answers like a well-behaved terminal.
class HypercomDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    comm.OnWrite = [this](const Bytes& b) {
      writes.push_back({clock.NowMs(), b});
      if (terminal) terminal(b);
    };
    pos->PortSerial = 3;
    ASSERT_TRUE(pos->OpenPort());
  }

  // One driver object per operation, as the dispatcher uses them.
  void FreshDriver() {
    pos.reset();  // closes its port
    pos = std::make_unique<TPosBRDHypercom>(loop, comm);
    writes.clear();
    pos->PortSerial = 3;
    ASSERT_TRUE(pos->OpenPort());
  }

  // Runs operation op (0 sale, 1 settlement, 2 void) as the dispatcher would.
  bool RunOperation(int op, std::string& msg) {
    if (op == 0) return pos->PosSaleByCard(msg);
    if (op == 1) return pos->RaportZilnic(msg);
    return pos->VoidPosSale(msg);
  }

  static bool IsRequest(const Bytes& b) { return b.size() == hc::kRequestLen && b[0] == hc::STX; }
  static std::string TypeOf(const Bytes& b) { return std::string(b.begin() + 1, b.begin() + 4); }

  // Acknowledges every request; after the host's ACK of a sale or void sends
  // a result frame with `code` after `delay` ms.
  void WellBehaved(const std::string& code, Millis delay = 500) {
    terminal = [this, code, delay](const Bytes& b) {
      if (IsRequest(b)) {
        type = TypeOf(b);
        awaiting_host_ack = true;
        comm.Deliver(hc::AcknowledgementFrame(type));
      } else if (b == kAck && awaiting_host_ack) {
        awaiting_host_ack = false;
        if (type != "STL") comm.DeliverAfter(delay, hc::Frame("MOL", "12.", code + "RRN000123"));
      }
    };
  }

  // Sets IesireFortata after ms of virtual time, as a STOP packet would.
  void StopAfter(Millis ms) {
    stop_timer = std::make_unique<Timer>(loop, ms);
    stop_timer->OnTimer = [this] { pos->IesireFortata = true; };
    stop_timer->SetEnabled(true);
  }

  std::vector<Bytes> WrittenFrames() const {
    std::vector<Bytes> out;
    for (const auto& w : writes) out.push_back(w.bytes);
    return out;
  }
  int RequestCount() const {
    int n = 0;
    for (const auto& w : writes) n += IsRequest(w.bytes);
    return n;
  }

  VirtualClock clock;
  MainLoop loop{clock};
  FakeComm comm{loop};
  std::unique_ptr<TPosBRDHypercom> pos = std::make_unique<TPosBRDHypercom>(loop, comm);
  std::function<void(const Bytes&)> terminal;
  std::vector<Written> writes;
  std::string type;
  bool awaiting_host_ack = false;
  std::unique_ptr<Timer> stop_timer;
};

TEST_F(HypercomDriverTest, OpensSevenBitsEvenParity) {
  ASSERT_FALSE(comm.Log().empty());
  EXPECT_EQ(comm.Log()[0], "Open COM3");
  ASSERT_FALSE(comm.States().empty());
  const CommState s = comm.States().back();
  EXPECT_EQ(s.BaudRate, 9600u);
  EXPECT_EQ(s.ByteSize, 7);
  EXPECT_EQ(s.Parity, EVENPARITY);
  EXPECT_EQ(s.StopBits, ONESTOPBIT);
  EXPECT_EQ(s.Flags & kDcbNull, 0u) << "zero bytes must be delivered";
}

TEST_F(HypercomDriverTest, PortThatDoesNotOpenIsReportedNotThrown) {
  TPosBRDHypercom other(loop, comm);
  other.PortSerial = 7;
  comm.FailNext("Open", 2);
  EXPECT_FALSE(other.OpenPort());
}

TEST_F(HypercomDriverTest, SaleOf1234ByteForByte) {
  WellBehaved("00");
  pos->Suma = 12.34;
  std::string msg;
  EXPECT_TRUE(pos->PosSaleByCard(msg));
  EXPECT_EQ(msg, "APROBAT");
  EXPECT_EQ(pos->ResponseCode, "00");
  const std::vector<Bytes> expected = {
      {0x02, 0x4D, 0x4F, 0x4C, 0x31, 0x30, 0x2E, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x31, 0x32,
       0x33, 0x34, 0x03, 0x66},
      kAck,  // the host's ACK of the acknowledgement
      kAck,  // the confirmation: ACK by itself, then the frame
      {0x02, 0x4D, 0x4F, 0x4C, 0x31, 0x33, 0x2E, 0x03, 0x61},
  };
  EXPECT_EQ(WrittenFrames(), expected);
  // The confirmation follows the result frame at once.
  ASSERT_EQ(writes.size(), 4u);
  EXPECT_EQ(writes[2].at, 500);
  // One log line per arrival, the bytes in decimal.
  ASSERT_EQ(pos->Log.size(), 2u);
  const Bytes ack = hc::AcknowledgementFrame("MOL");
  EXPECT_EQ(pos->Log[0], DecimalLine(ack.data(), ack.size()));
  EXPECT_EQ(pos->Log[0].substr(0, 8), "6 2 77 7");
}

TEST_F(HypercomDriverTest, RequestFramePerOperation) {
  struct Case {
    const char* what;
    double suma;
    std::string nrbon;
    int op;  // 0 sale, 1 settlement, 2 void
    std::string type, field;
    std::vector<Bytes> after_request;
  } cases[] = {
      {"sale of 5", 5, "", 0, "MOL", "000000000500", {kAck, kAck, hc::ConfirmationFrame("MOL")}},
      {"void of 57", 12.34, "57", 2, "VOI", "000000000057", {kAck, kAck, hc::ConfirmationFrame("VOI")}},
      {"long receipt number", 0, "98765432109876543", 2, "VOI", "987654321098",
       {kAck, kAck, hc::ConfirmationFrame("VOI")}},
      // A settlement ends with the host's ACK: no result is awaited, nothing confirmed.
      {"settlement", 0, "", 1, "STL", "000000000000", {kAck}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NO_FATAL_FAILURE(FreshDriver());
    WellBehaved("00");
    pos->Suma = c.suma;
    pos->NrBon = c.nrbon;
    std::string msg = "untouched";
    EXPECT_TRUE(RunOperation(c.op, msg));
    EXPECT_EQ(msg, c.op == 1 ? "untouched" : "APROBAT");
    ASSERT_FALSE(writes.empty());
    const Bytes& req = writes[0].bytes;
    ASSERT_EQ(req.size(), hc::kRequestLen);
    EXPECT_EQ(std::string(req.begin() + 1, req.begin() + 7), c.type + "10.");
    EXPECT_EQ(std::string(req.begin() + 7, req.begin() + 19), c.field);
    EXPECT_EQ(req[19], hc::ETX);
    EXPECT_EQ(req[20], hc::Crc(req.data() + 1, 19)) << "check byte over the frame as sent";
    std::vector<Bytes> rest;
    for (std::size_t i = 1; i < writes.size(); ++i) rest.push_back(writes[i].bytes);
    EXPECT_EQ(rest, c.after_request);
  }
}

TEST_F(HypercomDriverTest, ResponseCodes) {
  struct Case {
    std::string code;
    bool ok;
    std::string text;
  } cases[] = {
      {"00", true, "APROBAT"},
      {"10", false, "APROBAT"},
      {"51", false, "FONDURI INSUFICIENTE"},
      {"45", false, ""},
      {"08", false, "APROBARE"},
  };
  for (const auto& c : cases) {
    for (bool sale : {true, false}) {
      SCOPED_TRACE(c.code + (sale ? " sale" : " void"));
      ASSERT_NO_FATAL_FAILURE(FreshDriver());
      WellBehaved(c.code);
      pos->Suma = 1;
      pos->NrBon = "12";
      std::string msg;
      EXPECT_EQ(RunOperation(sale ? 0 : 2, msg), c.ok);
      EXPECT_EQ(msg, c.text);
      EXPECT_EQ(pos->ResponseCode, c.code);
      // Every result is confirmed, refused ones too.
      ASSERT_EQ(writes.size(), 4u);
      EXPECT_EQ(writes.back().bytes, hc::ConfirmationFrame(sale ? "MOL" : "VOI"));
    }
  }
}

TEST_F(HypercomDriverTest, WrongEchoGivesThreeRequestsThreeSecondsApart) {
  struct Case {
    const char* what;
    int op;  // 0 sale, 1 settlement, 2 void
    std::function<Bytes(const std::string&)> echo;
    const char* text;
  } cases[] = {
      {"10. echoed", 0, [](const std::string& t) { Bytes b = hc::Frame(t, "10."); b.insert(b.begin(), hc::ACK); return b; },
       "Eroare initializare tranzactie"},
      {"other type", 2, [](const std::string&) { return hc::AcknowledgementFrame("MOL"); },
       "Eroare initializare tranzactie"},
      {"settlement, other type", 1, [](const std::string&) { return hc::AcknowledgementFrame("VOI"); }, "Time out"},
      {"zero check byte", 0, [](const std::string& t) { Bytes b = hc::AcknowledgementFrame(t); b[9] = 0; return b; },
       "Eroare initializare tranzactie"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NO_FATAL_FAILURE(FreshDriver());
    terminal = [&](const Bytes& b) {
      if (IsRequest(b)) comm.Deliver(c.echo(TypeOf(b)));
    };
    const Millis start = clock.NowMs();
    std::string msg;
    EXPECT_FALSE(RunOperation(c.op, msg));
    EXPECT_EQ(msg, c.text);
    ASSERT_EQ(writes.size(), 3u) << "three requests and no host ACK";
    for (int i = 0; i < 3; ++i) {
      EXPECT_TRUE(IsRequest(writes[i].bytes));
      EXPECT_EQ(writes[i].bytes, writes[0].bytes);
      EXPECT_EQ(writes[i].at - start, 3000 * i);
    }
    // The last attempt also waits its full silence.
    EXPECT_EQ(clock.NowMs() - start, 9000);
  }
}

TEST_F(HypercomDriverTest, SilentTerminalTimesOutEachAttemptFromTheLastFrameSent) {
  std::string msg;
  EXPECT_FALSE(pos->RaportZilnic(msg));
  EXPECT_EQ(msg, "Time out");
  ASSERT_EQ(RequestCount(), 3);
  EXPECT_EQ(writes[1].at, 3000);
  EXPECT_EQ(writes[2].at, 6000);
  EXPECT_EQ(clock.NowMs(), 9000);
}

TEST_F(HypercomDriverTest, AcknowledgementInPiecesIsRecognisedAtItsTenthByte) {
  const Bytes ack = hc::AcknowledgementFrame("MOL");
  terminal = [&](const Bytes& b) {
    if (!IsRequest(b)) return;
    comm.Deliver({ack[0]});
    comm.DeliverAfter(1000, Bytes(ack.begin() + 1, ack.begin() + 9));
    comm.DeliverAfter(2500, {ack[9]});
  };
  pos->Suma = 1;
  std::string msg;
  EXPECT_FALSE(pos->PosSaleByCard(msg));  // no result ever comes
  EXPECT_EQ(msg, "Time OutError");
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[1].bytes, kAck);
  EXPECT_EQ(writes[1].at, 2500) << "the host ACK answers the tenth byte, not earlier";
  EXPECT_EQ(RequestCount(), 1);
  EXPECT_EQ(pos->Log.size(), 3u);
}

TEST_F(HypercomDriverTest, ResultSilenceTimesOutAfter180Seconds) {
  for (bool sale : {true, false}) {
    SCOPED_TRACE(sale ? "sale" : "void");
    ASSERT_NO_FATAL_FAILURE(FreshDriver());
    terminal = [&](const Bytes& b) {
      if (IsRequest(b)) comm.Deliver(hc::AcknowledgementFrame(TypeOf(b)));
    };
    pos->NrBon = "1";
    const Millis start = clock.NowMs();
    std::string msg;
    EXPECT_FALSE(RunOperation(sale ? 0 : 2, msg));
    EXPECT_EQ(msg, sale ? "Time OutError" : "TimeOut Error");
    EXPECT_EQ(clock.NowMs() - start, 180000);
    EXPECT_EQ(writes.size(), 2u) << "request and host ACK, nothing else";
  }
}

TEST_F(HypercomDriverTest, VoidResultMustCarryTheSaleType) {
  terminal = [&](const Bytes& b) {
    if (IsRequest(b)) {
      comm.Deliver(hc::AcknowledgementFrame("VOI"));
    } else if (b == kAck) {
      comm.DeliverAfter(100, hc::Frame("VOI", "12.", "00"));
    }
  };
  pos->NrBon = "57";
  std::string msg;
  EXPECT_FALSE(pos->VoidPosSale(msg));
  EXPECT_EQ(msg, "TimeOut Error");
  EXPECT_EQ(writes.size(), 2u) << "an unrecognised frame is not confirmed";
}

TEST_F(HypercomDriverTest, TricklingBytesKeepTheWaitsAlive) {
  // Each byte comes just before the silence runs out: 2900 ms apart for the
  // acknowledgement, 179 s apart for the result.
  const Bytes ack = hc::AcknowledgementFrame("MOL");
  const Bytes result = hc::Frame("MOL", "12.", "00");
  terminal = [&](const Bytes& b) {
    const Bytes& send = IsRequest(b) ? ack : result;
    const Millis gap = IsRequest(b) ? 2900 : 179000;
    if (!IsRequest(b) && !(b == kAck && writes.size() == 2)) return;
    for (std::size_t i = 0; i < send.size(); ++i) comm.DeliverAfter(gap * static_cast<Millis>(i + 1), {send[i]});
  };
  pos->Suma = 1;
  std::string msg;
  EXPECT_TRUE(pos->PosSaleByCard(msg));
  EXPECT_EQ(msg, "APROBAT");
  EXPECT_EQ(RequestCount(), 1);
  ASSERT_EQ(writes.size(), 4u);
  EXPECT_EQ(writes[1].at, 2900 * 10);
  EXPECT_EQ(writes[2].at, 2900 * 10 + 179000 * static_cast<Millis>(result.size()));
}

TEST_F(HypercomDriverTest, StopDuringAcknowledgementSendsNoFurtherRequest) {
  for (int op : {0, 1, 2}) {
    SCOPED_TRACE(op);
    ASSERT_NO_FATAL_FAILURE(FreshDriver());
    terminal = nullptr;  // silent
    const Millis start = clock.NowMs();
    StopAfter(1000);
    std::string msg;
    EXPECT_FALSE(RunOperation(op, msg));
    EXPECT_EQ(msg, op == 1 ? "Time out" : "Eroare initializare tranzactie");
    EXPECT_EQ(clock.NowMs() - start, 1000) << "the wait ends at the STOP";
    EXPECT_EQ(writes.size(), 1u) << "the request frame is not sent again after a STOP";
  }
}

TEST_F(HypercomDriverTest, StopDuringResultWaitEndsWithTheTimeOutText) {
  for (bool sale : {true, false}) {
    SCOPED_TRACE(sale ? "sale" : "void");
    ASSERT_NO_FATAL_FAILURE(FreshDriver());
    terminal = [&](const Bytes& b) {
      if (IsRequest(b)) comm.Deliver(hc::AcknowledgementFrame(TypeOf(b)));
    };
    const Millis start = clock.NowMs();
    StopAfter(60000);
    std::string msg;
    EXPECT_FALSE(RunOperation(sale ? 0 : 2, msg));
    EXPECT_EQ(msg, sale ? "Time OutError" : "TimeOut Error");
    EXPECT_EQ(clock.NowMs() - start, 60000);
    EXPECT_EQ(writes.size(), 2u);
  }
}

TEST_F(HypercomDriverTest, BytesBeyondTheBufferAreDropped) {
  // A result frame of exactly the buffer's size still counts; one byte more
  // and its ETX and check byte fall outside and it does not.
  auto frame_of = [](std::size_t size) {
    Bytes f = hc::Frame("MOL", "12.", "00");
    f.insert(f.begin() + 9, size - f.size(), 'X');
    return f;
  };
  struct Case {
    std::vector<Bytes> arrivals;
    bool ok;
    int held;
  } cases[] = {
      {{frame_of(1000)}, true, 0},
      {{frame_of(1001)}, false, 1000},
      {{Bytes(1500, 'A')}, false, 1000},
      {{Bytes(600, 'A'), Bytes(600, 'B'), Bytes(5000, 'C')}, false, 1000},
  };
  for (const auto& c : cases) {
    ASSERT_NO_FATAL_FAILURE(FreshDriver());
    terminal = [&](const Bytes& b) {
      if (IsRequest(b)) {
        comm.Deliver(hc::AcknowledgementFrame("MOL"));
      } else if (b == kAck && writes.size() == 2) {
        Millis at = 100;
        for (const auto& a : c.arrivals) comm.DeliverAfter(at += 100, a);
      }
    };
    std::string msg;
    EXPECT_EQ(pos->PosSaleByCard(msg), c.ok);
    if (!c.ok) {
      EXPECT_EQ(msg, "Time OutError");
      EXPECT_EQ(pos->BytesPrimiti(), c.held);
      Bytes all;
      for (const auto& a : c.arrivals) all.insert(all.end(), a.begin(), a.end());
      EXPECT_EQ(pos->Receive()[999], all[999]) << "the first bytes are kept, the later ones dropped";
    }
    // Every byte read shows in the log, also those dropped.
    std::size_t logged = 0;
    for (std::size_t i = 1; i < pos->Log.size(); ++i)
      logged += static_cast<std::size_t>(std::count(pos->Log[i].begin(), pos->Log[i].end(), ' '));
    std::size_t sent = 0;
    for (const auto& a : c.arrivals) sent += a.size();
    EXPECT_EQ(logged, sent);
  }
}

TEST_F(HypercomDriverTest, WriteFailureReachesTheCaller) {
  comm.FailNext("Write", 5);
  pos->Suma = 1;
  std::string msg;
  EXPECT_THROW(pos->PosSaleByCard(msg), EComPort);
  EXPECT_TRUE(writes.empty());
}

}  // namespace
}  // namespace tarvina
