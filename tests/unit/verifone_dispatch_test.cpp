// The Verifone routines of the dispatcher, on the in-memory line in virtual
// time: the log-in before each sale and void, and the exact messages.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/MainLoop.h"
#include "server/MainSrv.h"
#include "server/Packets.h"
#include "terminals/PosVerifoneIntf/VerifoneFrames.h"
#include "tests/support/FakeComm.h"
#include "tests/support/RecordingConnection.h"
#include "tests/support/RecordingShell.h"
#include "tests/support/VirtualServer.h"

namespace tarvina {
namespace {

using namespace verifone;

std::string Error(const std::string& msg) { return "ERROR\r\n" + msg + "\r\n[ENDPACHET]\r\n"; }
const std::string kOk = "PROCESAREOK\r\n[ENDPACHET]\r\n";

class VerifoneDispatchTest : public testing::Test, protected VirtualServer {
 protected:
  void SetUp() override {
    client.FContext = &reply;
    // The terminal: answers each step of the host at once; the log-in answer
    // and the final answer are chosen per test. Every open of the port is counted.
    comm.OnWrite = [this](const FakeComm::Bytes& b) {
      writes.push_back(b);
      if (b == Bytes{ENQ}) {
        if (!mute) comm.Deliver({ACK});
      } else if (b.size() > 3 && b[0] == DLE) {
        function = b[3];
        comm.Deliver({ACK});
      } else if (b == Bytes{EOT}) {
        comm.Deliver({ENQ});
      } else if (b == Bytes{ACK} && !answered) {
        answered = true;
        comm.Deliver(BuildFrame(function == kFnLogIn ? login_answer : final_answer));
      } else if (b == Bytes{ACK}) {
        answered = false;
        if (function == kFnLogIn && after_login) after_login();
        comm.Deliver({EOT});
      }
    };
  }

  std::string Run(int operatie, const std::string& nrbon = "") {
    std::vector<std::pair<std::string, std::string>> keys = {
        {"Operatie", std::to_string(operatie)}, {"TipPos", "6"}, {"PortSerial", "2"}, {"Suma", "12.34"}};
    if (!nrbon.empty()) keys.emplace_back("NrBon", nrbon);
    for (const auto& line : RequestLines(keys)) m.DoSynchronize(client, line);
    return reply.bytes;
  }

  int Opens() const { return comm.Count("Open"); }

  RecordingConnection reply;
  TPosClient client;

  Bytes login_answer{kLogInOk};
  Bytes final_answer{kFinalAnswer, kApproved};
  std::function<void()> after_login;
  std::uint8_t function = 0xFF;
  bool answered = false;
  bool mute = false;  // leave the host's next ENQ unanswered
  std::vector<Bytes> writes;
};

TEST_F(VerifoneDispatchTest, SaleLogsInOnAPortOfItsOwnFirst) {
  EXPECT_EQ(Run(0), kOk);
  EXPECT_EQ(Opens(), 2);
  EXPECT_EQ(comm.Count("Close"), 2);
  EXPECT_EQ(m.aPosVerifone, nullptr);
  ASSERT_GE(writes.size(), 7u);
  EXPECT_EQ(writes[1], BuildFrame(LogInPayload()));
  EXPECT_EQ(writes[6], BuildFrame(SalePayload(12.34)));
}

TEST_F(VerifoneDispatchTest, SaleMessages) {
  final_answer = {kFinalAnswer, 0x00};
  EXPECT_EQ(Run(0), Error("Operatie esuata  "));
  EXPECT_EQ(m.aPosVerifone, nullptr);
}

TEST_F(VerifoneDispatchTest, FailedLogInStopsTheSale) {
  login_answer = {0x81};
  EXPECT_EQ(Run(0), Error("Operatie LogIn esuata  "));
  EXPECT_EQ(Opens(), 1);
  EXPECT_EQ(m.aPosVerifone, nullptr);
}

TEST_F(VerifoneDispatchTest, PortThatDoesNotOpen) {
  comm.FailNext("Open", 2);
  EXPECT_EQ(Run(0), Error("Operatie LogIn esuata  "));
  EXPECT_TRUE(writes.empty());
}

TEST_F(VerifoneDispatchTest, SalePortThatDoesNotOpenAfterTheLogIn) {
  after_login = [this] { comm.FailNext("Open", 2); };
  EXPECT_EQ(Run(0), Error("Eroare la deschidere port serial.  "));
  EXPECT_EQ(Opens(), 2);
}

TEST_F(VerifoneDispatchTest, VoidSucceeds) {
  EXPECT_EQ(Run(2, "57"), kOk);
  ASSERT_GE(writes.size(), 7u);
  EXPECT_EQ(writes[6], BuildFrame(VoidPayload(12.34, "57")));
  EXPECT_EQ(shell.cursor, (std::vector<bool>{true, false}));
}

TEST_F(VerifoneDispatchTest, VoidMessages) {
  final_answer = {kFinalFailure};
  EXPECT_EQ(Run(2, "57"), Error("Operatia de anulare nu a reusit "));
  EXPECT_EQ(shell.cursor, (std::vector<bool>{true, false}));
}

TEST_F(VerifoneDispatchTest, FailedLogInStopsTheVoid) {
  login_answer = {0x81};
  EXPECT_EQ(Run(2, "57"), Error("Operatie esuata !  "));
  EXPECT_EQ(Opens(), 1);
  EXPECT_TRUE(shell.cursor.empty());  // no void object was made
}

TEST_F(VerifoneDispatchTest, VoidPortThatDoesNotOpenAfterTheLogIn) {
  after_login = [this] { comm.FailNext("Open", 2); };
  EXPECT_EQ(Run(2, "57"), Error("Eroare la deschiderea portului serial"));
  EXPECT_EQ(shell.cursor, (std::vector<bool>{true, false}));
}

// A STOP during the log-in reaches the sale's driver, already in its slot:
// the log-in runs to its end, the sale gives up at its first wait.
TEST_F(VerifoneDispatchTest, StopDuringTheLogInEndsTheSaleAtItsFirstWait) {
  RecordingConnection stop_reply;
  TPosClient stopper;
  stopper.FContext = &stop_reply;
  std::size_t login_writes = 0;
  after_login = [&] {
    EXPECT_NE(m.aPosVerifone, nullptr);
    login_writes = writes.size();
    mute = true;
    loop.Post([&] {
      m.DoSynchronize(stopper, "STOP");
      m.DoSynchronize(stopper, "[ENDPACHET]");
    });
  };
  EXPECT_EQ(Run(0), Error("Operatie esuata  "));
  EXPECT_EQ(login_writes, 5u);
  EXPECT_EQ(writes.size(), login_writes + 1);  // the sale's ENQ and nothing more
  EXPECT_EQ(writes.back(), Bytes{ENQ});
  EXPECT_EQ(clock.NowMs(), 0);  // no limit ran out
  EXPECT_EQ(stop_reply.bytes, "");
  EXPECT_EQ(m.aPosVerifone, nullptr);
}

// A failing write surfaces as the port's own message; the sale's slot is
// emptied all the same.
TEST_F(VerifoneDispatchTest, PortErrorDuringTheSale) {
  after_login = [this] { comm.FailNext("Write", 5); };
  const std::string r = Run(0);
  EXPECT_EQ(r.rfind("ERROR\r\nWriteFile function failed", 0), 0u) << r;
  EXPECT_EQ(m.aPosVerifone, nullptr);
}

}  // namespace
}  // namespace tarvina
