// Request processing on the main thread: replies, log, flags, busy and STOP
// while an operation waits, the dispatch frame, shutdown, tray and config.
// Lines are handed in as the connection threads would; time is virtual.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/MainLoop.h"
#include "server/Config.h"
#include "server/MainSrv.h"
#include "server/Packets.h"
#include "server/TestKind.h"
#include "tests/support/FakeComm.h"
#include "tests/support/RecordingConnection.h"
#include "tests/support/RecordingShell.h"
#include "tests/support/VirtualServer.h"

namespace tarvina {
namespace {

const std::string kBusy = "ERROR\r\nServer ocupat. Incearca mai tarziu\r\n[ENDPACHET]\r\n";
const std::string kOk = "PROCESAREOK\r\n[ENDPACHET]\r\n";
const std::string kStopped = "ERROR\r\nTranzactie intrerupta\r\n[ENDPACHET]\r\n";
const std::vector<std::string> kStop = {"STOP", "[ENDPACHET]"};

std::vector<std::string> Sale(int tip, const std::string& suma, const std::string& nrbon = "") {
  std::vector<std::pair<std::string, std::string>> keys = {
      {"Operatie", "0"}, {"TipPos", std::to_string(tip)}, {"PortSerial", "1"}, {"Suma", suma}};
  if (!nrbon.empty()) keys.emplace_back("NrBon", nrbon);
  return RequestLines(keys);
}

class ServerTest : public ::testing::Test, protected VirtualServer {
 protected:
  // The packet handed over whole, as a connection's thread does.
  void Send(Peer& p, std::vector<std::string> lines) { m.DoSynchronize(p.client, std::move(lines)); }
  // Runs fn on the main thread at virtual time ms, inside whatever waits then.
  void At(Millis ms, std::function<void()> fn) {
    auto t = std::make_unique<Timer>(loop, ms);
    t->OnTimer = std::move(fn);
    t->SetEnabled(true);
    timers.push_back(std::move(t));
  }
  std::vector<TPosDriver*> Slots() {
    return {m.aPosBRD.get(),         m.aPosTransilvania.get(), m.aPosUnicredit.get(),
            m.aPosBRDHyperCom.get(), m.aPosVerifone.get(),     m.aPosVivaWallet.get()};
  }
  bool SlotsEmpty() {
    for (auto* s : Slots())
      if (s) return false;
    return true;
  }

  std::vector<std::unique_ptr<Timer>> timers;
};

TEST_F(ServerTest, RejectedRequestIsAnsweredAndLogged) {
  Peer a;
  const std::vector<std::string> packet = {"[InfoPachet]", "Operatie=3", "[ENDPACHET]"};
  Send(a, packet);
  EXPECT_EQ(a.conn.bytes, "ERROR\r\nParametrul \"Operatie\" este eronat (3)\r\n[ENDPACHET]\r\n");
  std::vector<std::string> log = packet;
  log.push_back("Parametrul \"Operatie\" este eronat (3)");
  EXPECT_EQ(shell.log, log);
  EXPECT_FALSE(m.FInProcess);
  EXPECT_FALSE(m.FOperatieInCurs);
  EXPECT_TRUE(a.client.FMemo.empty());
}

TEST_F(ServerTest, EachPacketOnAConnectionStandsAlone) {
  Peer a;
  comm.FailNext("Open", 2);
  Send(a, {"[InfoPachet]", "Operatie=1", "TipPos=3", "PortSerial=2", "[ENDPACHET]"});
  EXPECT_EQ(a.conn.bytes, "ERROR\r\nEroare la deschidere port serial \r\n[ENDPACHET]\r\n");
  a.conn.bytes.clear();
  // Read together with the first packet, this would be a settlement again.
  Send(a, {"[InfoPachet]", "TipPos=4", "[ENDPACHET]"});
  EXPECT_EQ(a.conn.bytes, "ERROR\r\nParametrul \"Operatie\" este eronat (-1)\r\n[ENDPACHET]\r\n");
  // A stop packet's first line does not linger either.
  Send(a, kStop);
  a.conn.bytes.clear();
  Send(a, {"[InfoPachet]", "[ENDPACHET]"});
  EXPECT_EQ(a.conn.bytes, "ERROR\r\nParametrul \"Operatie\" este eronat (-1)\r\n[ENDPACHET]\r\n");
}

// A STOP acts on the operation running when it comes and on nothing after
// it: one taken while nothing runs, or during a void it does not reach, is
// logged and leaves the next BRD sale to run its full course.
TEST_F(ServerTest, AStopReachesNoLaterOperation) {
  InstallTestKind(m);
  for (const bool during_void : {false, true}) {
    SCOPED_TRACE(during_void ? "during a void" : "while nothing runs");
    Peer a, b, s;
    if (during_void) {
      At(1000, [&] { Send(s, kStop); });
      Send(a, RequestLines({{"Operatie", "2"}, {"TipPos", "3"}, {"PortSerial", "1"}, {"Suma", "2"}, {"NrBon", "7"}}));
      EXPECT_EQ(a.conn.bytes, kOk);
    } else {
      Send(s, kStop);
    }
    EXPECT_EQ(s.conn.bytes, "");
    EXPECT_NE(std::find(shell.log.begin(), shell.log.end(), "Inchidere fortata"), shell.log.end());
    const Millis t0 = clock.NowMs();
    Send(b, Sale(1, "3"));
    EXPECT_EQ(b.conn.bytes, kOk);
    EXPECT_EQ(clock.NowMs() - t0, 3000) << "the sale ran its full time";
    timers.clear();
  }
}

// For every kind whose sale a stop reaches: a second client is refused at
// once, a stop from a third gets no reply and ends the sale's wait.
TEST_F(ServerTest, BusyAndStopDuringACardSale) {
  InstallTestKind(m);
  for (int tip : {1, 3, 4, 5, 6}) {
    SCOPED_TRACE(tip);
    const Millis t0 = clock.NowMs();
    Peer a, b, c;
    At(1000, [&] {
      Send(b, {"[InfoPachet]", "Operatie=1", "TipPos=3", "PortSerial=1", "[ENDPACHET]"});
      EXPECT_EQ(b.conn.bytes, kBusy);
      EXPECT_EQ(Slots()[tip == 1 ? 0 : tip - 2] != nullptr, true);
    });
    At(2000, [&] { Send(c, kStop); });
    Send(a, Sale(tip, "30"));
    EXPECT_EQ(a.conn.bytes, kStopped);
    EXPECT_EQ(b.conn.bytes, kBusy);
    EXPECT_EQ(c.conn.bytes, "");
    EXPECT_EQ(clock.NowMs() - t0, 2000);  // ended by the stop, not by its 30 s
    EXPECT_TRUE(SlotsEmpty());
    EXPECT_FALSE(m.InchidereFortata);
    ASSERT_GE(shell.log.size(), 2u);
    EXPECT_EQ(shell.log[shell.log.size() - 2], "Inchidere fortata");
    EXPECT_EQ(shell.log.back(), "Tranzactie intrerupta");
    EXPECT_EQ(shell.log.front(), "[InfoPachet]");  // A's packet, not B's
    timers.clear();
  }
}

TEST_F(ServerTest, RequestAfterStopWaitsForTheStoppedOperation) {
  InstallTestKind(m);
  Peer a, b, c, d;
  // A void has its driver in no slot: the stop clears FInProcess but the
  // operation runs on to its end.
  At(1000, [&] { Send(c, kStop); });
  At(2000, [&] {
    EXPECT_FALSE(m.FInProcess);
    Send(b, Sale(3, "1"));
    EXPECT_EQ(b.conn.bytes, kBusy);
  });
  Send(a, RequestLines({{"Operatie", "2"}, {"TipPos", "3"}, {"PortSerial", "1"}, {"Suma", "30"},
                        {"NrBon", "17"}}));
  EXPECT_EQ(clock.NowMs(), 30000);
  EXPECT_EQ(a.conn.bytes, kOk);
  Send(d, Sale(3, "0"));
  EXPECT_EQ(d.conn.bytes, kOk);
}

TEST_F(ServerTest, FailuresOfTheOperationBecomeErrorReplies) {
  InstallTestKind(m);
  struct Case {
    std::string nrbon, reply;
  } cases[] = {
      {"eroare", "ERROR\r\nEroare simulata\r\n[ENDPACHET]\r\n"},  // raised inside the sale
      {"gol", "ERROR\r\n\r\n[ENDPACHET]\r\n"},                    // empty message: three lines
  };
  for (const auto& k : cases) {
    Peer a;
    Send(a, Sale(4, "1", k.nrbon));
    EXPECT_EQ(a.conn.bytes, k.reply);
    EXPECT_TRUE(SlotsEmpty());
    EXPECT_FALSE(m.FInProcess);
  }
}

TEST_F(ServerTest, ClientGoneDuringTheOperation) {
  InstallTestKind(m);
  Peer a;
  a.conn.gone = true;
  Send(a, Sale(3, "2"));  // the reply is handed over and dropped by the connection
  EXPECT_EQ(a.conn.writes, 1);
  EXPECT_EQ(a.conn.bytes, "");
  EXPECT_TRUE(SlotsEmpty());
  EXPECT_FALSE(m.FInProcess);
  EXPECT_FALSE(m.FOperatieInCurs);
  EXPECT_EQ(shell.log.back(), "");  // the operation itself succeeded
  EXPECT_TRUE(a.client.FMemo.empty());
  Peer b;
  Send(b, Sale(3, "0"));
  EXPECT_EQ(b.conn.bytes, kOk);
}

class NotingDriver : public TPosDriver {
 public:
  explicit NotingDriver(std::vector<int>& freed, int id) : freed_(freed), id_(id) {}
  ~NotingDriver() override { freed_.push_back(id_); }

 private:
  std::vector<int>& freed_;
  int id_;
};

TEST_F(ServerTest, SlotsAreFreedAndStoppedInTheirOrder) {
  std::vector<int> freed;
  m.TestRoutine = [&](TEmain& e) {
    e.aPosTransilvania = std::make_unique<NotingDriver>(freed, 3);
    e.aPosBRD = std::make_unique<NotingDriver>(freed, 1);
    e.ProcesOK = true;
  };
  Peer a;
  Send(a, Sale(3, "1"));
  EXPECT_EQ(freed, std::vector<int>{1});  // the first occupied slot only
  m.aPosTransilvania.reset();

  struct Case {
    std::vector<int> occupied;  // index into Slots()
    int flagged;                // -1: none
  } cases[] = {{{0, 2, 4}, 2}, {{1, 3}, 1}, {{4, 3}, 3}, {{0, 5}, -1}};
  for (const auto& k : cases) {
    std::unique_ptr<TPosDriver>* slots[] = {&m.aPosBRD,        &m.aPosTransilvania, &m.aPosUnicredit,
                                            &m.aPosBRDHyperCom, &m.aPosVerifone,     &m.aPosVivaWallet};
    for (int i : k.occupied) *slots[i] = std::make_unique<TPosDriver>();
    m.SetPOSIesireFortata();
    for (int i = 0; i < 6; ++i)
      if (*slots[i]) {
        EXPECT_EQ((*slots[i])->IesireFortata, i == k.flagged) << i;
      }
    for (auto* s : slots) s->reset();
  }
}

TEST_F(ServerTest, ShutdownWaitsForTheOperationAndItsReply) {
  InstallTestKind(m);
  Peer a;
  At(1000, [&] {
    m.RequestShutdown();
    EXPECT_TRUE(m.ShutdownPending());
    EXPECT_FALSE(loop.Quitting());
  });
  Send(a, Sale(5, "5"));
  EXPECT_EQ(a.conn.bytes, kOk);
  EXPECT_TRUE(loop.Quitting());
}

TEST_F(ServerTest, ShutdownWithNothingRunningQuitsAtOnce) {
  m.RequestShutdown();
  EXPECT_TRUE(loop.Quitting());
}

TEST_F(ServerTest, TrayButtonPressesToggleTheWindow) {
  struct Step {
    unsigned event;
    bool visible;
  } steps[] = {
      {0x0201, true},  {0x0202, true},  {0x0201, false}, {0x0204, true},  {0x0205, true},
      {0x0200, true},  {0x0204, false},
      // a double click: press, release, double-click message, release: one toggle
      {0x0201, true},  {0x0202, true},  {0x0203, true},  {0x0202, true},  {0x0206, true},
  };
  for (const auto& s : steps) {
    m.TrayMessage(s.event);
    EXPECT_EQ(shell.visible, s.visible) << std::hex << s.event;
  }
}

TEST(TrayTip, ProgramTitleFromItsFileName) {
  struct Case {
    std::string path, tip;
  } cases[] = {
      {"/opt/tarvina/bin/tarvina", "tarvina"},
      {"/opt/x/TARVINA.EXE", "Tarvina"},
      {"/opt/x/tARVINA.bin.old", "tarvina"},
      {"plain", "plain"},
      {"/opt/x/.hidden", ""},
      {"/opt/" + std::string(200, 'A'), "A" + std::string(126, 'a')},
  };
  for (const auto& k : cases) EXPECT_EQ(TrayTipText(k.path), k.tip) << k.path;
}

TEST(Config, ReadsPortAndTimeOutWithDefaults) {
  struct Case {
    const char* name;
    const char* text;  // nullptr: no file
    int port, timeout;
    std::uint16_t listen;
  } cases[] = {
      {"no file", nullptr, 8090, 20, 8090},
      {"empty file", "", 8090, 20, 8090},
      {"both read", "[Config]\r\nPort=9001\r\nTimeOut=45\r\n", 9001, 45, 9001},
      {"names in any case, blanks trimmed", "[config]\n port = 9002 \ntimeout=1\n", 9002, 1, 9002},
      {"not integers", "[Config]\nPort=80a\nTimeOut=1.5\n", 8090, 20, 8090},
      {"hexadecimal integer text", "[Config]\nPort=$1F91\n", 8081, 20, 8081},
      {"16-bit port, caption as read", "[Config]\nPort=70000\n", 70000, 20, 4464},
      {"other section only", "[Other]\nPort=1\n", 8090, 20, 8090},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    const std::string path = ::testing::TempDir() + "tarvina_cfg_test.ini";
    std::remove(path.c_str());
    if (k.text) std::ofstream(path, std::ios::binary) << k.text;
    const TConfig c = ReadConfig(path);
    EXPECT_EQ(c.PortIP, k.port);
    EXPECT_EQ(c.TimeOutLongOp, k.timeout);
    EXPECT_EQ(c.ListenPort(), k.listen);
    std::remove(path.c_str());
  }
}

TEST(Config, KeepsEverySectionReadable) {
  const std::string path = ::testing::TempDir() + "tarvina_cfg_serial.ini";
  std::ofstream(path, std::ios::binary) << "[Config]\nPort=8091\n[Serial]\nCOM3=/dev/ttyUSB0\r\n";
  const TConfig c = ReadConfig(path);
  EXPECT_EQ(c.Keys.ReadString("Serial", "com3"), "/dev/ttyUSB0");
  std::remove(path.c_str());
}

}  // namespace
}  // namespace tarvina
