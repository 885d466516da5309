// Viva Wallet sale and void through TEmain's dispatch, with the terminal
// played by the fake TCP client in virtual time: the identifiers made from
// SessionID, the exact reply texts, the slot and the connection's end.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/MainLoop.h"
#include "server/MainSrv.h"
#include "server/Packets.h"
#include "terminals/VivaWalletIntf/VivaFrames.h"
#include "tests/support/FakeComm.h"
#include "tests/support/FakeTcpClient.h"
#include "tests/support/RecordingShell.h"

namespace tarvina {
namespace {

struct BytesConnection : Connection {
  void Write(const std::string& b, std::function<void(bool)> done = {}) override {
    bytes += b;
    if (done) done(true);
  }
  std::string bytes;
};

const std::string kOk = "PROCESAREOK\r\n[ENDPACHET]\r\n";
std::string Error(const std::string& msg) { return "ERROR\r\n" + msg + "\r\n[ENDPACHET]\r\n"; }

// A reply approving (result "00") or refusing with text, in the terminal's form.
std::string Reply(const std::string& result, const std::string& text) {
  const std::string body = "|123456|210|00|" + result + "|" + text;
  return VivaLengthField(body.size()) + body;
}

class VivaDispatch : public ::testing::Test {
 protected:
  VivaDispatch() {
    services.tcp = FakeTcpFactory(term);
    term->on_connect = {{200, "READY"}};
    term->on_write = {{1500, Reply("00", "APROBAT")}};
  }

  std::string Run(const std::vector<std::pair<std::string, std::string>>& keys) {
    TPosClient client;
    BytesConnection conn;
    client.FContext = &conn;
    for (const auto& line : RequestLines(keys)) m.DoSynchronize(client, line);
    return conn.bytes;
  }
  std::string Sale(const std::string& session, const std::string& suma = "12.34") {
    return Run({{"Operatie", "0"}, {"TipPos", "7"}, {"PortSerial", "1"}, {"Suma", suma},
                {"SessionID", session}, {"IPPosViva", "pos.shop.lan"}});
  }
  std::string Void(const std::string& nrbon) {
    return Run({{"Operatie", "2"}, {"TipPos", "7"}, {"PortSerial", "1"}, {"Suma", "12.34"}, {"NrBon", nrbon},
                {"IPPosViva", "10.1.2.3"}});
  }

  VirtualClock clock;
  MainLoop loop{clock};
  RecordingShell shell;
  FakeComm comm{loop};
  Services services{loop, shell, clock, comm};
  std::shared_ptr<FakeTcpTerminal> term = std::make_shared<FakeTcpTerminal>(clock);
  TEmain m{services, TConfig{}, "/opt/tarvina/bin/tarvina"};
};

TEST(ZString64, FillsOnTheLeftAndNeverCuts) {
  const std::int64_t min = std::numeric_limits<std::int64_t>::min();
  EXPECT_EQ(ZString64(42, 6, '0'), "000042");
  EXPECT_EQ(ZString64(42, 32, '0'), std::string(30, '0') + "42");
  EXPECT_EQ(ZString64(1234567, 6, '0'), "1234567");
  EXPECT_EQ(ZString64(-12, 6, '0'), "000-12");
  EXPECT_EQ(ZString64(0, 3, '*'), "**0");
  EXPECT_EQ(ZString64(min, 6, '0'), "-9223372036854775808");
}

TEST_F(VivaDispatch, SaleIdentifiersComeFromSessionID) {
  struct Case {
    std::string session, aSessionID, aTransactionID;
  };
  const std::vector<Case> cases = {
      {"42", "000042", std::string(30, '0') + "42"},
      {"1234567", "234567", std::string(25, '0') + "1234567"},
      {"-12", "000-12", std::string(29, '0') + "-12"},
      {"abc", "000000", std::string(32, '0')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.session);
    term->writes.clear();
    EXPECT_EQ(Sale(c.session), kOk);
    ASSERT_EQ(term->writes.size(), 1u);
    EXPECT_EQ(term->writes[0], "0063|" + c.aSessionID + "|200|00|" + c.aTransactionID + "|12.34|0000|||||");
    EXPECT_EQ(term->connects.back().host, "pos.shop.lan");
  }
}

TEST_F(VivaDispatch, OutcomesGiveTheirMessages) {
  struct Case {
    const char* what;
    bool sale;
    std::string connect_error;
    std::vector<FakeTcpArrival> greeting, reply;
    bool ok;
    std::string message;  // of the error reply, and the request's log line
  };
  const std::vector<FakeTcpArrival> hello = {{200, "READY"}};
  const std::vector<Case> cases = {
      {"sale, connection refused", true, "Conexiune refuzata de pos.shop.lan:8080", hello, {}, false,
       "Operatie esuata :   Conexiune refuzata de pos.shop.lan:8080"},
      {"sale, no greeting", true, "", {}, {}, false, "Operatie esuata :   "},
      {"sale refused", true, "", hello, {{1200, Reply("51", "Fonduri insuficiente")}}, false,
       "Operatie esuata :   Fonduri insuficiente"},
      {"sale, no reply", true, "", hello, {}, false, "Operatie esuata :   "},
      {"void, connection refused", false, "Conexiune refuzata de 10.1.2.3:8080", hello, {}, false,
       "Eroare conectare la POS \r\rConexiune refuzata de 10.1.2.3:8080"},
      {"void refused", false, "", hello, {{1200, Reply("12", "Tranzactie inexistenta")}}, false,
       "Operatia de anulare nu a reusit \r\rTranzactie inexistenta"},
      {"void approved", false, "", hello, {{1200, Reply("00", "")}}, true, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    term->connect_error = c.connect_error;
    term->on_connect = c.greeting;
    term->on_write = c.reply;
    EXPECT_EQ(c.sale ? Sale("1") : Void("57"), c.ok ? kOk : Error(c.message));
    EXPECT_EQ(shell.log.back(), c.message);
  }
}

TEST_F(VivaDispatch, SaleDriverSitsInItsSlotAndItsConnectionClosesWithTheRequest) {
  std::vector<bool> in_slot;
  term->on_write_seen = [&](const std::string&) { in_slot.push_back(m.aPosVivaWallet != nullptr); };
  EXPECT_EQ(Sale("7"), kOk);
  EXPECT_EQ(Void("7"), kOk);
  EXPECT_EQ(in_slot, (std::vector<bool>{true, false}));
  EXPECT_EQ(m.aPosVivaWallet, nullptr);
  EXPECT_EQ(term->disconnects, 2);
  EXPECT_EQ(term->clients_alive, 0);
}

TEST_F(VivaDispatch, FailedWriteBecomesTheErrorReplyAndFreesTheSlot) {
  term->write_error = "Eroare la scrierea catre POS: conexiune intrerupta";
  EXPECT_EQ(Sale("7"), Error("Eroare la scrierea catre POS: conexiune intrerupta"));
  EXPECT_EQ(m.aPosVivaWallet, nullptr);
  EXPECT_EQ(term->clients_alive, 0);
  EXPECT_EQ(Void("7"), Error("Eroare la scrierea catre POS: conexiune intrerupta"));
}

}  // namespace
}  // namespace tarvina
