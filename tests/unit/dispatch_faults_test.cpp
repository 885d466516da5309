// Port failures in the middle of an operation, on the real drivers of kinds
// 3 to 6 over the in-memory line in virtual time: a port call that throws and
// a device that vanishes end the operation with the port's own message, the
// sale's slot is empty afterwards and the next request runs afresh; a void
// shows the hourglass for its whole run, also when it ends by an exception.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "server/Packets.h"
#include "terminals/PosVerifoneIntf/VerifoneFrames.h"
#include "tests/support/RecordingConnection.h"
#include "tests/support/VirtualServer.h"
#include "tests/unit/brd_scripted_terminal.h"

namespace tarvina {
namespace {

std::string Error(const std::string& msg) { return "ERROR\r\n" + msg + "\r\n[ENDPACHET]\r\n"; }

struct Kind {
  int tip;
  std::unique_ptr<TPosDriver> TEmain::*slot;
  // What a sale and a void on a terminal that never answers end with.
  std::string silent_sale, silent_void;
};

const Kind kKinds[] = {
    {3, &TEmain::aPosTransilvania, "Eroare la inregistrare tranzactie :     Cod eroare banca : ",
     "Operatia de anulare nu a reusit \r\r"},
    {4, &TEmain::aPosUnicredit, "Operatie esuata :   TIMEOUT", "Operatia de anulare nu a reusit \r\rTIMEOUT"},
    {5, &TEmain::aPosBRDHyperCom, "Operatie esuata :   Eroare initializare tranzactie",
     "Operatia de anulare nu a reusit \r\rEroare initializare tranzactie"},
    {6, &TEmain::aPosVerifone, "Operatie LogIn esuata  ", "Operatia de anulare nu a reusit "},
};

void PrintTo(const Kind& k, std::ostream* os) { *os << "TipPos " << k.tip; }

class DispatchFaults : public testing::TestWithParam<Kind>, protected VirtualServer {
 protected:
  std::string Run(int operatie) {
    Peer p;
    std::vector<std::pair<std::string, std::string>> keys = {{"Operatie", std::to_string(operatie)},
                                                             {"TipPos", std::to_string(GetParam().tip)},
                                                             {"PortSerial", "2"},
                                                             {"Suma", "12.34"}};
    if (operatie == 2) keys.emplace_back("NrBon", "57");
    for (const auto& line : RequestLines(keys)) m.DoSynchronize(p.client, line);
    return p.conn.bytes;
  }
  TPosDriver* Slot() { return (m.*GetParam().slot).get(); }

  // Kind 6 logs in on a port of its own before a void: this terminal accepts
  // the log-in, runs then() and falls silent. The other kinds stay silent.
  void LogInThen(std::function<void()> then) {
    if (GetParam().tip != 6) {
      then();
      return;
    }
    using namespace verifone;
    comm.OnWrite = [this, then, answered = false, done = false](const FakeComm::Bytes& b) mutable {
      if (done) return;
      if (b == Bytes{ENQ} || (b.size() > 3 && b[0] == DLE)) {
        comm.Deliver({ACK});
      } else if (b == Bytes{EOT}) {
        comm.Deliver({ENQ});
      } else if (b == Bytes{ACK} && !answered) {
        answered = true;
        comm.Deliver(BuildFrame({kLogInOk}));
      } else if (b == Bytes{ACK}) {
        done = true;
        then();
        comm.Deliver({EOT});
      }
    };
  }

};

// The first write of the sale fails: the reply carries the port's message,
// nothing waited for a time-out, and the slot is free for the next sale,
// which runs its whole course again (here to the silent terminal's end).
TEST_P(DispatchFaults, SaleWhosePortWriteThrows) {
  comm.FailNext("Write", 5);
  EXPECT_EQ(Run(0), Error("WriteFile function failed (Error: 5)"));
  EXPECT_EQ(clock.NowMs(), 0);
  EXPECT_EQ(Slot(), nullptr);
  EXPECT_FALSE(comm.IsOpen());

  const int opens = comm.Count("Open");
  EXPECT_EQ(Run(0), Error(GetParam().silent_sale));
  EXPECT_GT(comm.Count("Open"), opens);
  EXPECT_EQ(Slot(), nullptr);
}

// The device goes away after the terminal got the first bytes: the wait for
// its answer ends at once with the error the next read would meet, instead
// of sitting out the protocol's time-out.
TEST_P(DispatchFaults, SaleWhoseLineVanishes) {
  comm.OnWrite = [this](const FakeComm::Bytes&) { comm.Vanish(5); };
  EXPECT_EQ(Run(0), Error("ReadFile function failed (Error: 5)"));
  EXPECT_EQ(clock.NowMs(), 0);
  EXPECT_EQ(Slot(), nullptr);
  EXPECT_FALSE(comm.IsOpen());

  comm.OnWrite = nullptr;
  EXPECT_EQ(Run(0), Error(GetParam().silent_sale));
  EXPECT_EQ(Slot(), nullptr);
}

TEST_P(DispatchFaults, VoidShowsTheHourglassUntilItEnds) {
  LogInThen([] {});
  EXPECT_EQ(Run(2), Error(GetParam().silent_void));
  EXPECT_EQ(shell.cursor, (std::vector<bool>{true, false}));

  shell.cursor.clear();
  LogInThen([this] { comm.FailNext("Write", 5); });
  EXPECT_EQ(Run(2), Error("WriteFile function failed (Error: 5)"));
  EXPECT_EQ(shell.cursor, (std::vector<bool>{true, false}));
  EXPECT_FALSE(comm.IsOpen());
}

// BRD polls its line; after the acknowledgement its wait has no limit, so a
// device that goes away must end it: the failing read's error is the reply.
TEST(DispatchFaultsBrd, LineThatVanishesAfterTheAcknowledgement) {
  VirtualServer s;
  auto& [clock, loop, shell, comm, services, m] = s;
  comm.SetExpectWaiter(false);
  auto sale = [&m = m] {
    Peer p;
    for (const auto& l : RequestLines({{"Operatie", "0"}, {"TipPos", "1"}, {"PortSerial", "2"}, {"Suma", "5"}}))
      m.DoSynchronize(p.client, l);
    return p.conn.bytes;
  };

  brdtest::ScriptedTerminal pulled(comm);
  Timer pull(loop, 5000);
  pull.OnTimer = [&comm = comm] { comm.Vanish(5); };
  pull.SetEnabled(true);
  const Millis t0 = clock.NowMs();
  EXPECT_EQ(sale(), Error("ReadFile function failed (Error: 5)"));
  EXPECT_LT(clock.NowMs() - t0, 5100);
  EXPECT_EQ(m.aPosBRD, nullptr);
  EXPECT_FALSE(comm.IsOpen());

  brdtest::ScriptedTerminal back(comm);
  back.onRequest = {{0, {brdtest::ACK}}, {300, brdtest::TerminalFrame(brdtest::FinalAnswer("01"))}};
  EXPECT_EQ(sale(), "PROCESAREOK\r\n[ENDPACHET]\r\n");
  EXPECT_EQ(m.aPosBRD, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Kinds, DispatchFaults, testing::ValuesIn(kKinds),
                         [](const testing::TestParamInfo<Kind>& i) { return "TipPos" + std::to_string(i.param.tip); });

}  // namespace
}  // namespace tarvina
