// TVivaWallet against a scripted terminal in virtual time: every byte it
// writes, every wait it makes and what it takes from each reply.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "terminals/VivaWalletIntf/VivaFrames.h"
#include "terminals/VivaWalletIntf/VivaWalletIntf.h"
#include "tests/support/FakeTcpClient.h"

namespace tarvina {
namespace {

const std::string kTxn123456 = std::string(26, '0') + "123456";
const std::string Z(1, '\0');

// A reply of n fields joined by "|", with field 4 = result and field 5 = text;
// field 29 is "TXN29" and field 30 "DATE30" when there are that many.
std::string Reply(std::size_t n, const std::string& result, const std::string& text = "OK") {
  std::vector<std::string> f(n);
  for (std::size_t i = 0; i < n; ++i) f[i] = "f" + std::to_string(i);
  if (n > 4) f[4] = result;
  if (n > 5) f[5] = text;
  if (n > 29) f[29] = "TXN29";
  if (n > 30) f[30] = "DATE30";
  std::string body;
  for (std::size_t i = 1; i < n; ++i) body += "|" + f[i];
  return VivaLengthField(body.size()) + body;
}

class VivaDriver : public ::testing::Test {
 protected:
  VivaDriver() : term(std::make_shared<FakeTcpTerminal>(clock)) {
    term->on_connect = {{300, "READY"}};
  }

  std::unique_ptr<TVivaWallet> Connected() {
    auto pos = std::make_unique<TVivaWallet>(clock, FakeTcpFactory(term));
    pos->SetHost("10.0.0.7");
    EXPECT_TRUE(pos->ConnectToPOS());
    return pos;
  }

  VirtualClock clock;
  std::shared_ptr<FakeTcpTerminal> term;
};

TEST_F(VivaDriver, ConnectsToPort8080WithinTwoSecondsAndKeepsTheGreeting) {
  auto pos = Connected();
  ASSERT_EQ(term->connects.size(), 1u);
  EXPECT_EQ(term->connects[0].host, "10.0.0.7");
  EXPECT_EQ(term->connects[0].port, 8080);
  EXPECT_EQ(term->connects[0].timeout_ms, 2000);
  EXPECT_EQ(pos->DataRead(), "READY");
  EXPECT_EQ(pos->MesajEroare, "");
  EXPECT_EQ(clock.NowMs(), 300);
}

TEST_F(VivaDriver, SaleSendsExactlyTheRecordThenPausesAndTakesTheReply) {
  auto pos = Connected();
  term->on_write = {{1500, Reply(31, "00")}};
  const Millis before = clock.NowMs();
  EXPECT_TRUE(pos->PosSaleByCard(12.34, "123456", kTxn123456));

  const std::string expected = "0063|123456|200|00|" + kTxn123456 + "|12.34|0000|||||";
  ASSERT_EQ(expected.size(), 67u);
  EXPECT_EQ(term->writes, std::vector<std::string>{expected});
  EXPECT_EQ(pos->DataWrite(), expected);
  EXPECT_EQ(term->write_times[0], before);
  EXPECT_EQ(clock.NowMs(), before + 1500);
  EXPECT_EQ(pos->IDTranzactie(), "TXN29");
  EXPECT_EQ(pos->DataTranzactie(), "DATE30");
}

TEST_F(VivaDriver, RequestRecordsAndTheirLengthFields) {
  struct Case {
    const char* what;
    bool sale;
    double suma;
    std::string arg1, arg2;  // session and transaction id, or the receipt
    std::string expected;
    int length_minus_following;  // length field minus the characters after it
  };
  const std::vector<Case> cases = {
      {"sale of 5", true, 5, "000042", std::string(30, '0') + "42",
       "0062|000042|200|00|" + std::string(30, '0') + "42|5.00|0000|||||", 0},
      {"sale rounds to cents", true, 1500.005, "1", "2", "0029|1|200|00|2|1500.01|0000|||||", 0},
      {"negative sale", true, -10, "1", "2", "0028|1|200|00|2|-10.00|0000|||||", 0},
      {"cancel 57", false, 12.34, "57", "",
       "0060|000057|200|04|" + std::string(30, '0') + "57|12.34|000057|", -1},
      {"cancel 12345678", false, 7, "12345678", "",
       "0059|123456|200|04|" + std::string(24, '0') + "12345678|7.00|123456|", -1},
      {"cancel of a 40-character receipt is not cut", false, 1, std::string(40, '9'), "",
       "0067|999999|200|04|" + std::string(40, '9') + "|1.00|999999|", -1},
      {"non-ASCII receipt goes out as one ? per character", false, 1, "A\xC3\xA9" "B\xEF\xBF\xBD", "",
       "0059|00A?B?|200|04|" + std::string(28, '0') + "A?B?|1.00|00A?B?|", -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    term->writes.clear();
    term->on_write = {{10, Reply(31, "00")}};
    auto pos = Connected();
    if (c.sale)
      pos->PosSaleByCard(c.suma, c.arg1, c.arg2);
    else
      pos->CancelSaleByCard(c.suma, c.arg1);
    ASSERT_EQ(term->writes.size(), 1u);
    const std::string& w = term->writes[0];
    EXPECT_EQ(w, c.expected);
    EXPECT_EQ(std::stoi(w.substr(0, 4)) - static_cast<int>(w.size() - 4), c.length_minus_following);
  }
}

TEST_F(VivaDriver, WhatEachReplyGives) {
  struct Case {
    const char* what;
    std::string reply;
    bool ok;
    std::string id, date, message;
  };
  const std::vector<Case> cases = {
      {"31 fields: both values", Reply(31, "00"), true, "TXN29", "DATE30", ""},
      {"30 fields: only the identifier", Reply(30, "00"), true, "TXN29", "", ""},
      {"29 fields: neither, still approved", Reply(29, "00"), true, "", "", ""},
      {"5 fields approved", "0009|a|b|c|00", true, "", "", ""},
      {"refusal gives field 5 word for word", Reply(31, "51", "Fonduri insuficiente  "), false, "", "",
       "Fonduri insuficiente  "},
      {"refusal without field 5", "0009|a|b|c|05", false, "", "", ""},
      {"fewer than 5 fields", "0007|a|b|00", false, "", "", ""},
      {"result 0 is not 00", Reply(31, "0"), false, "", "", "OK"},
      {"zero bytes dropped before the split", "0023|a|b|c|0" + Z + "0|Re" + Z + "fuz|" + Z + Z + "x|y", true, "", "",
       ""},
      {"zero bytes dropped in the message", "0016|a|b|c|99|Re" + Z + "fuz", false, "", "", "Refuz"},
      {"bytes above 0x7F are characters of that code", "0014|a|b|c|99|Pl\xE9t", false, "", "", "Pl\xC3\xA9t"},
      {"trailing bar gives a last empty field", "0011|a|b|c|77||", false, "", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    term->on_write = {{10, c.reply}};
    auto pos = Connected();
    EXPECT_EQ(pos->PosSaleByCard(1, "1", "1"), c.ok);
    EXPECT_EQ(pos->IDTranzactie(), c.id);
    EXPECT_EQ(pos->DataTranzactie(), c.date);
    EXPECT_EQ(pos->MesajEroare, c.message);
  }
}

TEST_F(VivaDriver, CancellationJudgesItsReplyLikeASale) {
  term->on_write = {{10, Reply(30, "00")}};
  auto pos = Connected();
  EXPECT_TRUE(pos->CancelSaleByCard(12.34, "57"));
  EXPECT_EQ(pos->IDTranzactie(), "TXN29");
  term->on_write = {{10, Reply(8, "12", "Tranzactie inexistenta")}};
  pos = Connected();
  EXPECT_FALSE(pos->CancelSaleByCard(12.34, "57"));
  EXPECT_EQ(pos->MesajEroare, "Tranzactie inexistenta");
  EXPECT_EQ(pos->IDTranzactie(), "");
}

TEST_F(VivaDriver, TerminalThatNeverGreetsFailsAfterTwentySecondsWithoutMessage) {
  term->on_connect.clear();
  TVivaWallet pos(clock, FakeTcpFactory(term));
  pos.SetHost("pos.local");
  EXPECT_FALSE(pos.ConnectToPOS());
  EXPECT_EQ(pos.MesajEroare, "");
  EXPECT_EQ(pos.DataRead(), "");
  EXPECT_EQ(clock.NowMs(), 20000);
}

TEST_F(VivaDriver, GreetingOfZeroBytesOnlyIsNoGreeting) {
  term->on_connect = {{5, std::string(3, '\0')}};
  TVivaWallet pos(clock, FakeTcpFactory(term));
  EXPECT_FALSE(pos.ConnectToPOS());
  EXPECT_EQ(pos.MesajEroare, "");
}

TEST_F(VivaDriver, GreetingAlreadyWaitingAfterTheConnectIsRead) {
  term->on_connect = {{0, "HELLO"}};
  TVivaWallet pos(clock, FakeTcpFactory(term));
  EXPECT_TRUE(pos.ConnectToPOS());
  EXPECT_EQ(pos.DataRead(), "HELLO");
}

TEST_F(VivaDriver, ConnectFailureGivesTheClientsMessage) {
  term->connect_error = "Conexiune refuzata de 10.0.0.7:8080";
  TVivaWallet pos(clock, FakeTcpFactory(term));
  pos.SetHost("10.0.0.7");
  EXPECT_FALSE(pos.ConnectToPOS());
  EXPECT_EQ(pos.MesajEroare, "Conexiune refuzata de 10.0.0.7:8080");
}

TEST_F(VivaDriver, SilentTerminalFailsAfterTheReplyWaitWithoutMessage) {
  auto pos = Connected();
  const Millis start = clock.NowMs();
  EXPECT_FALSE(pos->PosSaleByCard(12.34, "123456", kTxn123456));
  EXPECT_EQ(pos->MesajEroare, "");
  EXPECT_EQ(pos->DataRead(), "");
  EXPECT_EQ(clock.NowMs() - start, 1000 + 120000);
}

TEST_F(VivaDriver, ReplyInSeveralSegmentsIsReadWhole) {
  const std::string whole = Reply(31, "00");
  term->on_write = {{1500, whole.substr(0, 2)}, {2500, whole.substr(2, 20)}, {4450, whole.substr(22)}};
  auto pos = Connected();
  const Millis start = clock.NowMs();
  EXPECT_TRUE(pos->PosSaleByCard(1, "1", "1"));
  EXPECT_EQ(pos->DataRead(), whole);
  EXPECT_EQ(pos->DataTranzactie(), "DATE30");
  EXPECT_EQ(clock.NowMs() - start, 4450) << "each gap under 2 s keeps the reply open";
}

// A length field that counts more than the terminal sends: once 2 s pass
// without more, the reply is judged on what came, well before the reply wait.
TEST_F(VivaDriver, LengthFieldThatCountsTooManyEndsAfterTwoQuietSeconds) {
  const std::string reply = Reply(31, "00");
  const std::size_t follow = reply.size() - 4;  // the bytes after the length field
  const std::string overpromising = VivaLengthField(follow + 4) + reply.substr(4);
  const struct {
    const char* name;
    std::vector<FakeTcpArrival> segments;
    bool ok;
    std::string mesaj;
    Millis ends;
  } cases[] = {
      {"approval, 4 bytes promised too many", {{1500, overpromising}}, true, "", 1500 + 2000},
      {"refusal cut short", {{1200, "0999|a|b|c|51|Ref"}, {2700, "uz"}}, false, "Refuz", 2700 + 2000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    term->on_write = c.segments;
    auto pos = Connected();
    const Millis start = clock.NowMs();
    EXPECT_EQ(pos->PosSaleByCard(1, "1", "1"), c.ok);
    EXPECT_EQ(clock.NowMs() - start, c.ends);
    EXPECT_EQ(pos->MesajEroare, c.mesaj);
  }
}

TEST_F(VivaDriver, ReplyWithoutLengthFieldEndsWhenTheLineGoesQuiet) {
  term->on_write = {{1200, "x|a|b|"}, {1290, "c|05|Re"}, {1380, "fuz"}, {1490, "|late"}};
  auto pos = Connected();
  const Millis start = clock.NowMs();
  EXPECT_FALSE(pos->PosSaleByCard(1, "1", "1"));
  EXPECT_EQ(pos->MesajEroare, "Refuz");
  EXPECT_EQ(clock.NowMs() - start, 1480);
}

TEST_F(VivaDriver, LateGreetingIsDiscardedAndAReplyWaitingAfterThePauseIsRead) {
  term->on_connect = {{100, "HEL"}, {150, "LO"}};
  term->on_write = {{400, Reply(31, "00")}};
  auto pos = Connected();
  clock.Advance(100);  // the rest of the greeting is now waiting
  EXPECT_TRUE(pos->PosSaleByCard(1, "1", "1"));
  EXPECT_EQ(pos->DataRead(), Reply(31, "00"));
  EXPECT_EQ(pos->IDTranzactie(), "TXN29");
}

TEST_F(VivaDriver, FloodingTerminalIsCutOff) {
  for (int i = 0; i < 200; ++i) term->on_write.push_back({1000 + 10 * i, std::string(1000, 'x')});
  auto pos = Connected();
  EXPECT_FALSE(pos->PosSaleByCard(1, "1", "1"));
  EXPECT_GE(pos->DataRead().size(), TVivaWallet::kMaxReplyBytes);
  EXPECT_LT(pos->DataRead().size(), TVivaWallet::kMaxReplyBytes + 2000);
}

TEST_F(VivaDriver, ConnectionLostBeforeTheReplyGivesTheErrorText) {
  term->close_after_write_ms = 5000;
  auto pos = Connected();
  EXPECT_FALSE(pos->PosSaleByCard(1, "1", "1"));
  EXPECT_EQ(pos->MesajEroare, "connection closed by the terminal");
}

TEST_F(VivaDriver, ConnectionLostInsideASplitReplyJudgesWhatCame) {
  term->on_write = {{1200, "0099|a|b|c|00|"}};
  term->close_after_write_ms = 1300;
  auto pos = Connected();
  EXPECT_TRUE(pos->PosSaleByCard(1, "1", "1"));
  EXPECT_EQ(pos->DataRead(), "0099|a|b|c|00|");
}

TEST_F(VivaDriver, WriteFailureReachesTheCaller) {
  auto pos = Connected();
  term->write_error = "Eroare la scrierea catre POS: conexiune intrerupta";
  EXPECT_THROW(pos->PosSaleByCard(1, "1", "1"), TcpError);
  EXPECT_THROW(pos->CancelSaleByCard(1, "1"), TcpError);
}

TEST_F(VivaDriver, ReconnectDisconnectsFirstAndFreeingDisconnects) {
  auto pos = Connected();
  EXPECT_TRUE(pos->ConnectToPOS());
  EXPECT_EQ(term->connects.size(), 2u);
  EXPECT_EQ(term->disconnects, 1);
  pos.reset();
  EXPECT_EQ(term->disconnects, 2);
  EXPECT_EQ(term->clients_alive, 0);
}

}  // namespace
}  // namespace tarvina

namespace tarvina {
namespace {

TEST(VivaFrames, AmountHasTwoDecimalsAndAFullStop) {
  const std::vector<std::pair<double, std::string>> cases = {
      {12.34, "12.34"}, {5, "5.00"},     {1500, "1500.00"}, {0.5, "0.50"},     {2.675, "2.68"},
      {0.995, "1.00"},  {99.999, "100.00"}, {-10, "-10.00"}, {-0.001, "0.00"}, {1e7, "10000000.00"},
  };
  for (const auto& [suma, text] : cases) EXPECT_EQ(VivaAmount(suma), text) << suma;
}

TEST(VivaFrames, ReplyStatusAgainstTheLengthField) {
  const std::vector<std::pair<std::string, VivaReplyState>> cases = {
      {"00", VivaReplyState::Short},
      {"0004|ab", VivaReplyState::Short},
      {"0004|abc", VivaReplyState::Complete},
      {"0004|abcdef", VivaReplyState::Complete},
      {"0000", VivaReplyState::Complete},
      {"12a4|x", VivaReplyState::NoLength},
      {std::string(1, '\0') + "004|abc", VivaReplyState::NoLength},
      {"|00|", VivaReplyState::NoLength},
  };
  for (const auto& [bytes, state] : cases) EXPECT_EQ(VivaReplyStatus(bytes), state) << bytes;
}

}  // namespace
}  // namespace tarvina
