#include "server/Validation.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "server/KeyStore.h"
#include "server/Packets.h"

namespace tarvina {
namespace {

TEST(IntegerText, Table) {
  const struct {
    std::string text;
    std::optional<std::int32_t> value;
  } cases[] = {
      {"0", 0},
      {"123", 123},
      {"+5", 5},
      {"-12", -12},
      {"007", 7},
      {"000000000000000000000001", 1},
      {"2147483647", INT_MAX},
      {"-2147483648", INT_MIN},
      {"2147483648", std::nullopt},
      {"-2147483649", std::nullopt},
      {"99999999999", std::nullopt},
      {"$2", 2},
      {"$ff", 255},
      {"x1F", 31},
      {"X1f", 31},
      {"0x7FFFFFFF", INT_MAX},
      {"0X80000000", INT_MIN},
      {"$FFFFFFFF", -1},
      {"$0000000000FF", 255},
      {"$100000000", std::nullopt},
      // A sign before a pattern negates it in 32 bits.
      {"-$1", -1},
      {"+$10", 16},
      {"-$FFFFFFFF", 1},
      {"-0x80000000", INT_MIN},
      {"", std::nullopt},
      {"+", std::nullopt},
      {"-", std::nullopt},
      {"$", std::nullopt},
      {"x", std::nullopt},
      {"0x", std::nullopt},
      {"-0x", std::nullopt},
      {"$$1", std::nullopt},
      {"0x-1", std::nullopt},
      {"--1", std::nullopt},
      {"+-1", std::nullopt},
      {"00x1", std::nullopt},
      {"0b1", std::nullopt},
      {"$1G", std::nullopt},
      {"12a", std::nullopt},
      {"abc", std::nullopt},
      {"1.0", std::nullopt},
      {" 1", std::nullopt},
      {"1 ", std::nullopt},
      {"1\xEF\xBF\xBD", std::nullopt},
  };
  for (const auto& c : cases) {
    std::int32_t v = 4242;
    const bool ok = TryIntegerText(c.text, v);
    EXPECT_EQ(ok, c.value.has_value()) << '"' << c.text << '"';
    if (ok && c.value) {
      EXPECT_EQ(v, *c.value) << '"' << c.text << '"';
    }
    if (!ok) {
      EXPECT_EQ(v, 4242) << "untouched on failure: \"" << c.text << '"';
    }
  }
}

TEST(AmountText, Table) {
  const std::string manyZeros(400, '0');
  const struct {
    std::string text;
    std::optional<double> value;
  } cases[] = {
      {"12,50", 12.5},
      {"12", 12},
      {",5", 0.5},
      {"5,", 5},
      {",", 0},
      {"-,", 0},
      {"+3", 3},
      {"-10", -10},
      {"1e2", 100},
      {"1E+2", 100},
      {"25e-2", 0.25},
      {"1,5e1", 15},
      {",e5", 0},
      {"  7,25  ", 7.25},
      {"0,1", 0.1},
      {"1,7976931348623157e308", DBL_MAX},
      {"-1,7976931348623157e308", -DBL_MAX},
      {"0,001e311", 1e308},
      {"1e-400", 0},
      {"-1e-400", 0},
      {"1e-99999999999999999999", 0},
      {"0e99999999999999999999", 0},
      {"0," + manyZeros + "1e401", 1},
      {"1" + manyZeros + "e-400", 1},
      {"1,8e308", std::nullopt},
      {"1e309", std::nullopt},
      {"-1e309", std::nullopt},
      {"100000e304", std::nullopt},
      {"1e99999999999999999999", std::nullopt},
      {"1" + manyZeros, std::nullopt},
      {"12.50", std::nullopt},  // the dot is turned into "," before this
      {"1,234,56", std::nullopt},
      {"1,234.56", std::nullopt},
      {"1 000", std::nullopt},
      {"", std::nullopt},
      {"   ", std::nullopt},
      {"+", std::nullopt},
      {"-", std::nullopt},
      {"e5", std::nullopt},
      {"1e", std::nullopt},
      {"1e+", std::nullopt},
      {"1e2,5", std::nullopt},
      {"1ee2", std::nullopt},
      {"+-1", std::nullopt},
      {"- 1", std::nullopt},
      {"1 e2", std::nullopt},
      {"inf", std::nullopt},
      {"nan", std::nullopt},
      {"0x10", std::nullopt},
      {"$10", std::nullopt},
      {"12\xEF\xBF\xBD", std::nullopt},
  };
  for (const auto& c : cases) {
    double v = 4242;
    const bool ok = TryAmountText(c.text, v);
    EXPECT_EQ(ok, c.value.has_value()) << '"' << c.text.substr(0, 40) << '"';
    if (ok && c.value) {
      EXPECT_EQ(v, *c.value) << '"' << c.text.substr(0, 40) << '"';
    }
  }
}

TEST(AmountText, NegativeStaysNegativeDownToZero) {
  double v = 0;
  ASSERT_TRUE(TryAmountText("-1e-400", v));
  EXPECT_TRUE(std::signbit(v));
  ASSERT_TRUE(TryAmountText("1e-400", v));
  EXPECT_FALSE(std::signbit(v));
}

TEST(AmountText, OnlyTheFirstDotBecomesTheMark) {
  EXPECT_EQ(AmountText("12.50"), "12,50");
  EXPECT_EQ(AmountText("1.234.56"), "1,234.56");
  EXPECT_EQ(AmountText("1.234,56"), "1,234,56");
  EXPECT_EQ(AmountText("."), ",");
  EXPECT_EQ(AmountText(""), "");
}

// --- DateValide --------------------------------------------------------------

const char* const kSettlementKinds =
    "Aceasta optiune este functionala doar pentru POS-uri Transilvania, Unicredit si BRD Hypercom";
const char* const kVoidKinds =
    "Aceasta optiune este functionala doar pentru POS-uri Transilvania, Unicredit, BRD Hypercom, Verofone si "
    "Viva Wallet";

TDateCerere Validate(const std::vector<std::string>& lines, bool& accepted) {
  TKeyStore keys;
  keys.Load(lines);
  TDateCerere d;
  accepted = DateValide(keys, d);
  return d;
}

std::vector<std::string> Info(std::vector<std::string> keyLines) {
  keyLines.insert(keyLines.begin(), "[InfoPachet]");
  keyLines.push_back("[ENDPACHET]");
  return keyLines;
}

TEST(DateValide, RejectionsWithTheirMessages) {
  const struct {
    const char* name;
    std::vector<std::string> lines;
    std::string msg;
  } cases[] = {
      {"only the end line", {"[ENDPACHET]"}, "Parametrul \"Operatie\" este eronat (-1)"},
      {"no InfoPachet section", {"[Alta]", "Operatie=0", "TipPos=3", "PortSerial=1", "Suma=1", "[ENDPACHET]"},
       "Parametrul \"Operatie\" este eronat (-1)"},
      {"lower-case stop read as request", {"stop", "[ENDPACHET]"}, "Parametrul \"Operatie\" este eronat (-1)"},
      {"unknown operation", Info({"Operatie=3"}), "Parametrul \"Operatie\" este eronat (3)"},
      {"operation as hex pattern", Info({"Operatie=$FFFFFFFF"}), "Parametrul \"Operatie\" este eronat (-1)"},
      {"operation out of range", Info({"Operatie=2147483648"}), "Parametrul \"Operatie\" este eronat (-1)"},
      {"operation checked before kind", Info({"Operatie=9", "TipPos=2"}), "Parametrul \"Operatie\" este eronat (9)"},
      {"kind 2", Info({"Operatie=0", "TipPos=2"}), "Parametrul \"TipPos\" este eronat (2)"},
      {"kind missing", Info({"Operatie=0"}), "Parametrul \"TipPos\" este eronat (-1)"},
      {"kind 8", Info({"Operatie=0", "TipPos=8", "PortSerial=1"}), "Parametrul \"TipPos\" este eronat (8)"},
      {"settlement on Verifone", Info({"Operatie=1", "TipPos=6", "PortSerial=1"}), kSettlementKinds},
      {"settlement on BRD", Info({"Operatie=1", "TipPos=1", "PortSerial=1"}), kSettlementKinds},
      {"settlement on Viva Wallet, port checked later", Info({"Operatie=1", "TipPos=7"}), kSettlementKinds},
      {"void on BRD", Info({"Operatie=2", "TipPos=1", "PortSerial=1", "Suma=1", "NrBon=7"}), kVoidKinds},
      {"Viva Wallet sale without port", Info({"Operatie=0", "TipPos=7", "Suma=1", "IPPosViva=10.0.0.9"}),
       "Parametrul \"PortSerial\" este eronat (-1)"},
      {"port 0", Info({"Operatie=0", "TipPos=3", "PortSerial=0", "Suma=1"}),
       "Parametrul \"PortSerial\" este eronat (0)"},
      {"negative port", Info({"Operatie=1", "TipPos=4", "PortSerial=-3"}),
       "Parametrul \"PortSerial\" este eronat (-3)"},
      {"port checked before amount", Info({"Operatie=0", "TipPos=3", "Suma=x"}),
       "Parametrul \"PortSerial\" este eronat (-1)"},
      {"thousands mark", Info({"Operatie=0", "TipPos=3", "PortSerial=1", "Suma=1.234,56"}),
       "Parametrul \"Suma\" este eronat (1,234,56)"},
      {"two dots, first one shown as comma", Info({"Operatie=0", "TipPos=3", "PortSerial=1", "Suma=1.234.56"}),
       "Parametrul \"Suma\" este eronat (1,234.56)"},
      {"empty amount", Info({"Operatie=0", "TipPos=3", "PortSerial=1", "Suma="}),
       "Parametrul \"Suma\" este eronat ()"},
      {"sale without amount", Info({"Operatie=0", "TipPos=5", "PortSerial=1"}),
       "Parametrul \"Suma\" este eronat ()"},
      {"amount too large", Info({"Operatie=0", "TipPos=5", "PortSerial=1", "Suma=1e400"}),
       "Parametrul \"Suma\" este eronat (1e400)"},
      {"void with bad amount and no receipt", Info({"Operatie=2", "TipPos=3", "PortSerial=1", "Suma=abc"}),
       "Parametrul \"Suma\" este eronat (abc)"},
      {"negative sale", Info({"Operatie=0", "TipPos=1", "PortSerial=1", "Suma=-10"}),
       "Parametrul \"Suma\" este eronat (-10)"},
      {"negative void, checked before the receipt", Info({"Operatie=2", "TipPos=7", "PortSerial=1", "Suma=-0.5"}),
       "Parametrul \"Suma\" este eronat (-0,5)"},
      {"hundredths beyond a double", Info({"Operatie=0", "TipPos=1", "PortSerial=1", "Suma=1e307"}),
       "Parametrul \"Suma\" este eronat (1e307)"},
      {"13 digits for a 12-digit field", Info({"Operatie=0", "TipPos=3", "PortSerial=1", "Suma=12345678901.23"}),
       "Parametrul \"Suma\" este eronat (12345678901,23)"},
      {"void with good amount and no receipt", Info({"Operatie=2", "TipPos=3", "PortSerial=1", "Suma=5"}),
       "Nu ai transmis parametrul \"NrBon\""},
      {"void with empty receipt", Info({"Operatie=2", "TipPos=7", "PortSerial=1", "Suma=5", "NrBon="}),
       "Nu ai transmis parametrul \"NrBon\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    bool accepted = true;
    const TDateCerere d = Validate(c.lines, accepted);
    EXPECT_FALSE(accepted);
    EXPECT_EQ(d.ErrorMsg, c.msg);
  }
}

TEST(DateValide, AcceptedRequestsAndTheirValues) {
  const struct {
    const char* name;
    std::vector<std::string> lines;
    std::int32_t op, kind, port;
    double amount;
    std::int64_t session;
    std::string nrBon, ip;
  } cases[] = {
      {"sale with dot", Info({"Operatie=0", "TipPos=3", "PortSerial=3", "Suma=12.50"}), 0, 3, 3, 12.5, 0, "", ""},
      {"sale with comma", Info({"Operatie=0", "TipPos=1", "PortSerial=1", "Suma=12,50"}), 0, 1, 1, 12.5, 0, "", ""},
      {"zero amount", Info({"Operatie=0", "TipPos=4", "PortSerial=2", "Suma=0"}), 0, 4, 2, 0, 0, "", ""},
      {"exponent", Info({"Operatie=0", "TipPos=5", "PortSerial=2", "Suma=1e2"}), 0, 5, 2, 100, 0, "", ""},
      {"lone dot", Info({"Operatie=0", "TipPos=6", "PortSerial=2", "Suma=."}), 0, 6, 2, 0, 0, "", ""},
      {"settlement needs no amount", Info({"Operatie=1", "TipPos=3", "PortSerial=1"}), 1, 3, 1, 0, 0, "", ""},
      {"settlement ignores a bad amount", Info({"Operatie=1", "TipPos=5", "PortSerial=1", "Suma=x"}), 1, 5, 1, 0, 0,
       "", ""},
      {"hex operation is a void", Info({"Operatie=$2", "TipPos=6", "PortSerial=$A", "Suma=3", "NrBon=R-17"}), 2, 6,
       10, 3, 0, "R-17", ""},
      {"Viva Wallet sale", Info({"Operatie=0", "TipPos=7", "PortSerial=1", "Suma=9.99", "SessionID=-12",
                                 "IPPosViva=192.168.1.20"}),
       0, 7, 1, 9.99, -12, "", "192.168.1.20"},
      {"session not a number", Info({"Operatie=0", "TipPos=7", "PortSerial=1", "Suma=1", "SessionID=abc"}), 0, 7, 1,
       1, 0, "", ""},
      {"session beyond 32 bits", Info({"Operatie=0", "TipPos=7", "PortSerial=1", "Suma=1", "SessionID=99999999999"}),
       0, 7, 1, 1, 0, "", ""},
      {"session as pattern widens with its sign",
       Info({"Operatie=0", "TipPos=7", "PortSerial=1", "Suma=1", "SessionID=$FFFFFFFF"}), 0, 7, 1, 1, -1, "", ""},
      {"key store rules apply", {"[infopachet]", "operatie = 0", "TIPPOS=3", "PortSerial=1", "Suma=5", "Suma=7",
                                 "[ENDPACHET]"},
       0, 3, 1, 7, 0, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    bool accepted = false;
    const TDateCerere d = Validate(c.lines, accepted);
    EXPECT_TRUE(accepted) << d.ErrorMsg;
    EXPECT_EQ(d.ErrorMsg, "");
    EXPECT_EQ(d.Operatie, c.op);
    EXPECT_EQ(d.TipPos, c.kind);
    EXPECT_EQ(d.ComPortRS232, c.port);
    EXPECT_EQ(d.FSuma, c.amount);
    EXPECT_EQ(d.FSessionID, c.session);
    EXPECT_EQ(d.FNrBon, c.nrBon);
    EXPECT_EQ(d.FIPPosViva, c.ip);
  }
}

// For each kind the largest amount its field carries and the smallest it
// does not; what no kind takes.
TEST(AmountFitsTerminal, WidthOfEachKindsField) {
  const struct {
    std::int32_t tipPos;
    double largest, tooLarge;
  } widths[] = {
      {1, 9999999999999.99, 1e13}, {3, 9999999999.99, 1e10}, {4, 9999999999.99, 1e10},
      {5, 9999999999.99, 1e10},    {6, 9999999999.99, 1e10}, {7, 9999999999999.99, 1e13},
  };
  for (const auto& w : widths) {
    SCOPED_TRACE(w.tipPos);
    EXPECT_TRUE(AmountFitsTerminal(w.tipPos, w.largest));
    EXPECT_FALSE(AmountFitsTerminal(w.tipPos, w.tooLarge));
    EXPECT_TRUE(AmountFitsTerminal(w.tipPos, 0));
    EXPECT_TRUE(AmountFitsTerminal(w.tipPos, -0.0));
    EXPECT_TRUE(AmountFitsTerminal(w.tipPos, 0.01));
    EXPECT_FALSE(AmountFitsTerminal(w.tipPos, -0.01));
    EXPECT_FALSE(AmountFitsTerminal(w.tipPos, DBL_MAX / 10)) << "infinite in hundredths";
    EXPECT_FALSE(AmountFitsTerminal(w.tipPos, std::nan("")));
  }
  EXPECT_FALSE(AmountFitsTerminal(2, 1)) << "no such kind";
}

TEST(DateValide, RejectedRequestStillCarriesItsTexts) {
  bool accepted = true;
  const TDateCerere d = Validate(Info({"Operatie=7", "NrBon=B12", "IPPosViva=pos.local", "SessionID=5"}), accepted);
  EXPECT_FALSE(accepted);
  EXPECT_EQ(d.FNrBon, "B12");
  EXPECT_EQ(d.FIPPosViva, "pos.local");
  EXPECT_EQ(d.FSessionID, 5);
}

TEST(DateValide, NothingCarriesOverFromThePreviousRequest) {
  TKeyStore keys;
  TDateCerere d;
  keys.Load(Info({"Operatie=2", "TipPos=3", "PortSerial=1", "Suma=5", "NrBon=R1", "SessionID=3"}));
  ASSERT_TRUE(DateValide(keys, d));
  ASSERT_EQ(d.FSuma, 5);

  keys.Load(Info({"Operatie=1", "TipPos=3", "PortSerial=1"}));
  ASSERT_TRUE(DateValide(keys, d));
  EXPECT_EQ(d.FSuma, 0);
  EXPECT_EQ(d.FNrBon, "");
  EXPECT_EQ(d.FSessionID, 0);

  keys.Load(Info({"Operatie=0", "TipPos=3", "PortSerial=1", "Suma=zz"}));
  ASSERT_FALSE(DateValide(keys, d));
  keys.Load(Info({"Operatie=1", "TipPos=3", "PortSerial=1"}));
  EXPECT_TRUE(DateValide(keys, d));
  EXPECT_EQ(d.ErrorMsg, "");
}

// From the bytes a client sends to the bytes it gets back.
TEST(DateValide, HighByteInAmountComesBackAsQuestionMark) {
  const std::string wire = "[InfoPachet]\r\nOperatie=0\r\nTipPos=3\r\nPortSerial=1\r\nSuma=12.5\xE9\r\n[ENDPACHET]\r\n";
  LineAssembler a;
  std::vector<std::string> lines;
  ASSERT_TRUE(a.Feed(reinterpret_cast<const std::uint8_t*>(wire.data()), wire.size(), lines));
  ASSERT_EQ(lines.size(), 6u);
  TKeyStore keys;
  keys.Load(lines);
  TDateCerere d;
  ASSERT_FALSE(DateValide(keys, d));
  EXPECT_EQ(ReplyErrorBytes(d.ErrorMsg), "ERROR\r\nParametrul \"Suma\" este eronat (12,5?)\r\n[ENDPACHET]\r\n");
}

}  // namespace
}  // namespace tarvina
