// The Verifone driver against a scripted terminal on the in-memory line, in
// virtual time: every byte the driver writes is checked, and silences of
// minutes pass at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/MainLoop.h"
#include "platform/Trace.h"
#include "terminals/PosVerifoneIntf/PosVerifoneIntf.h"
#include "terminals/PosVerifoneIntf/VerifoneFrames.h"
#include "tests/support/FakeComm.h"

namespace tarvina {
namespace {

using namespace verifone;

const Bytes kEnq{ENQ}, kAck{ACK}, kEot{EOT}, kNak{NAK};
const Bytes kLogInFrame{0x10, 0x02, 0x06, 0x00, 0x00, 0x10, 0x03, 0x06};
const Bytes kLogOutFrame{0x10, 0x02, 0x06, 0x02, 0x00, 0x10, 0x03, 0x04};

Bytes Ascii(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}
const Bytes kSaleFrame = Cat({{0x10, 0x02, 0x06, 0x01, 0x15}, Ascii("000000001234000000000"), {0x10, 0x03, 0x26}});
const Bytes kVoidFrame = Cat({{0x10, 0x02, 0x06, 0x30, 0x12}, Ascii("000000001234000057"), {0x10, 0x03, 0x22}});

Bytes Answer(const Bytes& payload) { return BuildFrame(payload); }
const Bytes kApprovedFrame = Answer({0x06, 0x0F});
const Bytes kIntermediateFrame = Answer(Cat({{0x01}, Ascii("Introduceti cardul")}));

// The terminal's side: each step waits for the host to write `host`, then
// delivers `reply` (nothing when empty) after `delay` ms, optionally followed
// by `then` in a second arrival `then_delay` ms later.
struct Step {
  Bytes host;
  Bytes reply;
  Millis delay = 0;
  Bytes then = {};
  Millis then_delay = 0;
};

class VerifoneDriverTest : public testing::Test {
 protected:
  void SetUp() override {
    comm.OnWrite = [this](const FakeComm::Bytes& b) {
      writes.push_back(b);
      write_times.push_back(clock.NowMs());
      if (on_write) on_write(b);
      if (script.empty() || script.front().host != b) return;
      const Step s = script.front();
      script.pop_front();
      if (!s.reply.empty()) Deliver(s.delay, s.reply);
      if (!s.then.empty()) Deliver(s.delay + s.then_delay, s.then);
    };
    drv = std::make_unique<TPosVerifone>(loop, comm);
    drv->PortSerial = 3;
    // A wait without a limit would block the virtual clock for ever; this
    // ends it after an hour, so such a fault fails the test instead of hanging it.
    guard.OnTimer = [this] {
      if (drv) drv->IesireFortata = true;
    };
    guard.SetEnabled(true);
    ASSERT_TRUE(drv->OpenPort());
  }

  // The script captures the fixture: the port goes before what it refers to.
  void TearDown() override {
    // The driver's close waits in the loop; the guard must not reach for a
    // driver that is already being destroyed.
    guard.SetEnabled(false);
    drv.reset();
    comm.OnWrite = nullptr;
  }

  void Deliver(Millis delay, const Bytes& b) {
    if (delay == 0)
      comm.Deliver(b);
    else
      comm.DeliverAfter(delay, b);
  }

  // The log-in exchange up to the terminal's EOT, with the given answer payload.
  void ScriptLogIn(const Bytes& answer_payload) {
    script = {{kEnq, kAck}, {kLogInFrame, kAck}, {kEot, kEnq}, {kAck, Answer(answer_payload)}, {kAck, kEot}};
  }
  // The host's turn of a sale or void up to its EOT, answered by the terminal's ENQ.
  void ScriptHostTurn(const Bytes& frame) { script = {{kEnq, kAck}, {frame, kAck}, {kEot, kEnq}}; }

  Millis Now() { return clock.NowMs(); }

  VirtualClock clock;
  MainLoop loop{clock};
  FakeComm comm{loop};
  std::unique_ptr<TPosVerifone> drv;
  Timer guard{loop, 3600 * 1000};
  std::deque<Step> script;
  std::vector<Bytes> writes;
  std::vector<Millis> write_times;
  std::function<void(const Bytes&)> on_write;
};

TEST_F(VerifoneDriverTest, OpensTheNumberedPortAt9600EightNoneOne) {
  const auto log = comm.Log();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log[0], "Open COM3");
  ASSERT_FALSE(comm.States().empty());
  const CommState s = comm.States().back();
  EXPECT_EQ(s.BaudRate, 9600u);
  EXPECT_EQ(s.ByteSize, 8);
  EXPECT_EQ(s.Parity, NOPARITY);
  EXPECT_EQ(s.StopBits, ONESTOPBIT);
  EXPECT_EQ(s.Flags & (kDcbNull | kDcbOutxCtsFlow | kDcbOutX | kDcbInX | kDcbRtsControlMask), 0u);

  drv->ClosePort();
  EXPECT_FALSE(comm.IsOpen());
  comm.FailNext("Open", 2);
  EXPECT_FALSE(drv->OpenPort());
}

TEST_F(VerifoneDriverTest, LogInExchangeByteForByte) {
  ScriptLogIn({0x80});
  EXPECT_TRUE(drv->LogIn());
  EXPECT_EQ(writes, (std::vector<Bytes>{kEnq, kLogInFrame, kEot, kAck, kAck}));
  EXPECT_TRUE(script.empty());
  EXPECT_EQ(Now(), 0);  // every wait ended on its byte, none on the timer
  EXPECT_FALSE(drv->TimerEnabled());
  // One decimal line per arrival: ACK, ACK, ENQ, the answer frame, EOT.
  ASSERT_EQ(drv->Log.size(), 5u);
  EXPECT_EQ(drv->Log[3], "16 2 128 16 3 128 ");
}

// Every way a log-in can end, with what the driver must have written and how
// long it must have waited.
struct LogInCase {
  const char* name;
  std::deque<Step> script;
  bool result;
  std::vector<Bytes> writes;
  Millis elapsed;
};

class VerifoneLogInTest : public VerifoneDriverTest, public testing::WithParamInterface<LogInCase> {};

TEST_P(VerifoneLogInTest, Outcome) {
  const LogInCase& c = GetParam();
  script = c.script;
  EXPECT_EQ(drv->LogIn(), c.result);
  EXPECT_EQ(writes, c.writes);
  EXPECT_EQ(Now(), c.elapsed);
  EXPECT_FALSE(drv->TimerEnabled());
  EXPECT_EQ(drv->TimerInterval(), 10000);
}

const LogInCase kLogInCases[] = {
    {"Answer81Fails", {{kEnq, kAck}, {kLogInFrame, kAck}, {kEot, kEnq}, {kAck, Answer({0x81})}, {kAck, kEot}},
     false, {kEnq, kLogInFrame, kEot, kAck, kAck}, 0},
    {"EnqButNoFrameStaysTrue", {{kEnq, kAck}, {kLogInFrame, kAck}, {kEot, kEnq}},
     true, {kEnq, kLogInFrame, kEot, kAck}, 10000},
    {"AnswerWithoutEotStillCounts", {{kEnq, kAck}, {kLogInFrame, kAck}, {kEot, kEnq}, {kAck, Answer({0x80})}},
     true, {kEnq, kLogInFrame, kEot, kAck, kAck}, 10000},
    {"NoAckToEnq", {}, false, {kEnq}, 10000},
    {"NakToEnq", {{kEnq, kNak}}, false, {kEnq}, 10000},
    {"NoAckToFrame", {{kEnq, kAck}}, false, {kEnq, kLogInFrame}, 10000},
    {"NoEnqAfterEot", {{kEnq, kAck}, {kLogInFrame, kAck}}, false, {kEnq, kLogInFrame, kEot}, 10000},
    {"EachByteJustInTime", {{kEnq, kAck, 9999}, {kLogInFrame, kAck, 9999}, {kEot, kEnq, 9999},
                            {kAck, Answer({0x80}), 9999}, {kAck, kEot, 9999}},
     true, {kEnq, kLogInFrame, kEot, kAck, kAck}, 5 * 9999},
    {"AnswerAfterTheLimitIsNotSeen", {{kEnq, kAck}, {kLogInFrame, kAck}, {kEot, kEnq}, {kAck, Answer({0x81}), 10001}},
     true, {kEnq, kLogInFrame, kEot, kAck}, 10000},
};

INSTANTIATE_TEST_SUITE_P(Cases, VerifoneLogInTest, testing::ValuesIn(kLogInCases),
                         [](const testing::TestParamInfo<LogInCase>& i) { return std::string(i.param.name); });

TEST_F(VerifoneDriverTest, LogOutSendsItsFrameAndDoesNotWaitForEot) {
  script = {{kEnq, kAck}, {kLogOutFrame, kAck}, {kEot, kEnq}, {kAck, Answer({0x81})}};
  EXPECT_TRUE(drv->LogOut());  // any answer will do
  EXPECT_EQ(writes, (std::vector<Bytes>{kEnq, kLogOutFrame, kEot, kAck, kAck}));
  EXPECT_EQ(Now(), 0);
}

TEST_F(VerifoneDriverTest, SaleFrameAndFinalAnswers) {
  struct Case {
    Bytes payload;
    bool result;
  };
  for (const Case& c : {Case{{0x06, 0x0F}, true}, Case{{0x06, 0x00}, false}, Case{{0x84}, false},
                        Case{{0x84, 0x0F}, false}, Case{{0x06}, false}}) {
    SCOPED_TRACE(testing::PrintToString(c.payload));
    ScriptHostTurn(kSaleFrame);
    script.push_back({kAck, Answer(c.payload)});
    script.push_back({kAck, kEot});
    writes.clear();
    drv->Suma = 12.34;
    const Millis start = Now();
    EXPECT_EQ(drv->PosSaleByCard(), c.result);
    ASSERT_EQ(writes, (std::vector<Bytes>{kEnq, kSaleFrame, kEot, kAck, kAck}));
    EXPECT_EQ(writes[1].size(), 29u);
    EXPECT_EQ(Now(), start);
    EXPECT_EQ(drv->TimerInterval(), 10000);
    EXPECT_EQ(drv->BufMesajReturnat()[0], c.payload[0]);
  }
}

TEST_F(VerifoneDriverTest, VoidFrames) {
  ScriptHostTurn(kVoidFrame);
  script.push_back({kAck, kApprovedFrame});
  script.push_back({kAck, kEot});
  drv->Suma = 12.34;
  drv->NrBon = "57";
  EXPECT_TRUE(drv->VoidPosSale());
  ASSERT_GE(writes.size(), 2u);
  EXPECT_EQ(writes[1], kVoidFrame);
  EXPECT_EQ(writes[1].size(), 26u);

  // Only the first six characters of a longer receipt number go on the line.
  writes.clear();
  drv->NrBon = "12345678";
  ScriptHostTurn({});
  EXPECT_FALSE(drv->VoidPosSale());
  ASSERT_GE(writes.size(), 2u);
  const Bytes payload = Cat({{0x06, 0x30, 0x12}, Ascii("000000001234123456")});
  EXPECT_EQ(writes[1], BuildFrame(payload));
}

TEST_F(VerifoneDriverTest, IntermediateMessagesAreAcknowledgedInEitherArrival) {
  // EOT and the next ENQ in one arrival, then in two.
  ScriptHostTurn(kSaleFrame);
  script.push_back({kAck, kIntermediateFrame});
  script.push_back({kAck, Bytes{EOT, ENQ}});
  script.push_back({kAck, kIntermediateFrame});
  script.push_back({kAck, kEot, 0, kEnq, 3000});
  script.push_back({kAck, kApprovedFrame});
  script.push_back({kAck, kEot});
  drv->Suma = 12.34;
  EXPECT_TRUE(drv->PosSaleByCard());
  EXPECT_TRUE(script.empty());
  EXPECT_EQ(writes, (std::vector<Bytes>{kEnq, kSaleFrame, kEot, kAck, kAck, kAck, kAck, kAck, kAck}));
  EXPECT_EQ(Now(), 3000);
  EXPECT_EQ(drv->MesajReturnat, "..");
}

TEST_F(VerifoneDriverTest, IntermediateMessageTextIsKept) {
  ScriptHostTurn(kSaleFrame);
  script.push_back({kAck, kIntermediateFrame});
  script.push_back({kAck, kEot});
  drv->Suma = 12.34;
  EXPECT_FALSE(drv->PosSaleByCard());
  EXPECT_EQ(drv->MesajReturnat, ".Introduceti cardul");
}

// A terminal that falls silent after an intermediate message ends the sale
// 240 s after its last byte instead of holding it for ever.
TEST_F(VerifoneDriverTest, SilenceAfterIntermediateMessageEndsTheSale) {
  ScriptHostTurn(kSaleFrame);
  script.push_back({kAck, kIntermediateFrame});
  script.push_back({kAck, kEot, 5000});
  drv->Suma = 12.34;
  EXPECT_FALSE(drv->PosSaleByCard());
  EXPECT_EQ(writes, (std::vector<Bytes>{kEnq, kSaleFrame, kEot, kAck, kAck}));
  EXPECT_EQ(Now(), 5000 + 240000);
  EXPECT_FALSE(drv->TimerEnabled());
  EXPECT_EQ(drv->TimerInterval(), 10000);
}

// Each arrival restarts the limit, so a slow terminal keeps the sale alive
// far beyond 240 s in all.
TEST_F(VerifoneDriverTest, ArrivalsKeepALongSaleAlive) {
  ScriptHostTurn(kSaleFrame);
  script.front().reply = kAck;
  script[2].delay = 200000;
  for (int i = 0; i < 3; ++i) {
    script.push_back({kAck, kIntermediateFrame, 200000});
    script.push_back({kAck, kEot, 0, kEnq, 200000});
  }
  script.push_back({kAck, kApprovedFrame, 200000});
  script.push_back({kAck, kEot});
  drv->Suma = 12.34;
  EXPECT_TRUE(drv->PosSaleByCard());
  EXPECT_EQ(Now(), 8 * 200000);
}

TEST_F(VerifoneDriverTest, FrameFollowedByEotInOneArrivalIsNotRecognised) {
  ScriptHostTurn(kSaleFrame);
  script.push_back({kAck, Cat({kApprovedFrame, kEot})});
  drv->Suma = 12.34;
  EXPECT_FALSE(drv->PosSaleByCard());
  EXPECT_EQ(writes, (std::vector<Bytes>{kEnq, kSaleFrame, kEot, kAck}));
  EXPECT_EQ(Now(), 240000);
}

TEST_F(VerifoneDriverTest, NakToTheSaleFrameEndsFalseAfter240Seconds) {
  script = {{kEnq, kAck}, {kSaleFrame, kNak}};
  drv->Suma = 12.34;
  EXPECT_FALSE(drv->PosSaleByCard());
  EXPECT_EQ(writes, (std::vector<Bytes>{kEnq, kSaleFrame}));
  EXPECT_EQ(Now(), 240000);
  EXPECT_EQ(drv->TimerInterval(), 10000);
}

TEST_F(VerifoneDriverTest, SaleOpeningUsesTheShortLimit) {
  drv->Suma = 12.34;
  EXPECT_FALSE(drv->PosSaleByCard());
  EXPECT_EQ(writes, (std::vector<Bytes>{kEnq}));
  EXPECT_EQ(Now(), 10000);
}

TEST_F(VerifoneDriverTest, ForcedExitEndsTheSaleAtItsNextWait) {
  // Set before the sale: the driver opens its turn and gives up at once.
  drv->IesireFortata = true;
  drv->Suma = 12.34;
  EXPECT_FALSE(drv->PosSaleByCard());
  EXPECT_EQ(writes, (std::vector<Bytes>{kEnq}));
  EXPECT_EQ(Now(), 0);

  // Set while the driver waits for the terminal's answer.
  drv->IesireFortata = false;
  writes.clear();
  ScriptHostTurn(kSaleFrame);
  on_write = [this](const Bytes& b) {
    // The post may still be queued when the driver goes at the end of the test.
    if (b == kAck) loop.Post([this] {
      if (drv) drv->IesireFortata = true;
    });
  };
  EXPECT_FALSE(drv->PosSaleByCard());
  EXPECT_EQ(writes, (std::vector<Bytes>{kEnq, kSaleFrame, kEot, kAck}));
  EXPECT_EQ(Now(), 0);
  EXPECT_EQ(drv->TimerInterval(), 10000);
}

TEST_F(VerifoneDriverTest, ForcedExitDuringTheLogInAnswerLeavesItTrue) {
  script = {{kEnq, kAck}, {kLogInFrame, kAck}, {kEot, kEnq}};
  on_write = [this](const Bytes& b) {
    // The post may still be queued when the driver goes at the end of the test.
    if (b == kAck) loop.Post([this] {
      if (drv) drv->IesireFortata = true;
    });
  };
  EXPECT_TRUE(drv->LogIn());
  EXPECT_LT(Now(), 10000);
}

TEST_F(VerifoneDriverTest, WriteFailureSetsTheShortLimitBack) {
  script = {{kEnq, kAck}};
  on_write = [this](const Bytes& b) {
    if (b == kEnq) comm.FailNext("Write", 5);
  };
  drv->Suma = 12.34;
  EXPECT_THROW(drv->PosSaleByCard(), EComPort);
  EXPECT_EQ(drv->TimerInterval(), 10000);
}

TEST_F(VerifoneDriverTest, BytesBeyondTheBufferAreDropped) {
  // 1500 bytes in one arrival, then 700 more: the buffer keeps the first 1000.
  script = {{kEnq, Bytes(1500, 0x41), 0, Bytes(700, 0x42), 10}};
  EXPECT_FALSE(drv->LogIn());
  EXPECT_EQ(writes, (std::vector<Bytes>{kEnq}));
  EXPECT_EQ(drv->BytesPrimiti(), 1000);
  EXPECT_EQ(drv->Receive()[999], 0x41);
  // The log still shows every byte that came.
  std::size_t logged = 0;
  for (const auto& line : drv->Log) logged += static_cast<std::size_t>(std::count(line.begin(), line.end(), ' '));
  EXPECT_EQ(logged, 2200u);
  EXPECT_EQ(Now(), 10 + 10000);  // the second arrival restarted the limit
}

TEST_F(VerifoneDriverTest, TraceLinesGoToTheWireTrace) {
  std::vector<std::string> lines;
  WireTrace::SetSink([&](const std::string& l) { lines.push_back(l); });
  ScriptLogIn({0x80});
  const bool ok = drv->LogIn();
  WireTrace::SetSink(nullptr);
  EXPECT_TRUE(ok);
  EXPECT_EQ(lines, (std::vector<std::string>{"PC  :05 ", "POS :06 ", "PC  :10 02 06 00 00 10 03 06 ", "POS :06 ",
                                             "PC  :04 ", "POS :05 ", "PC  :06 ", "POS :10 02 80 10 03 80 ",
                                             "PC  :06 ", "POS :04 "}));
}

}  // namespace
}  // namespace tarvina
