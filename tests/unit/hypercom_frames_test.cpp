#include <gtest/gtest.h>

#include <sstream>

#include "terminals/PosBRDHypercom/HypercomFrames.h"

namespace tarvina::hypercom {
namespace {

Bytes FromText(std::string_view s) { return Bytes(s.begin(), s.end()); }

TEST(HypercomFrames, SaleOf1234IsTheWorkedExample) {
  const Bytes expected = {0x02, 0x4D, 0x4F, 0x4C, 0x31, 0x30, 0x2E, 0x30, 0x30, 0x30, 0x30,
                          0x30, 0x30, 0x30, 0x30, 0x31, 0x32, 0x33, 0x34, 0x03, 0x66};
  EXPECT_EQ(RequestFrame("MOL", AmountField(12.34)), expected);
  const Bytes confirmation = {0x02, 0x4D, 0x4F, 0x4C, 0x31, 0x33, 0x2E, 0x03, 0x61};
  EXPECT_EQ(ConfirmationFrame("MOL"), confirmation);
  const Bytes ack = AcknowledgementFrame("MOL");
  ASSERT_EQ(ack.size(), kAckLen);
  EXPECT_EQ(Bytes(ack.begin(), ack.begin() + 9),
            (Bytes{0x06, 0x02, 0x4D, 0x4F, 0x4C, 0x31, 0x31, 0x2E, 0x03}));
}

TEST(HypercomFrames, DataFields) {
  struct Case {
    std::string type, value, field;
  } cases[] = {
      {"MOL", AmountField(5), "000000000500"},
      {"MOL", AmountField(0.1), "000000000010"},
      {"MOL", AmountField(0.29), "000000000029"},  // 28.999... in binary
      {"MOL", AmountField(1.005), "000000000100"},  // 100.49999... in binary
      {"STL", AmountField(0), "000000000000"},
      {"VOI", "57", "000000000057"},
      {"VOI", "", "000000000000"},
      {"VOI", "123456789012", "123456789012"},
      {"VOI", "1234567890123456", "123456789012"},
      {"MOL", AmountField(1e20), "100000000000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type + " " + c.value);
    const Bytes f = RequestFrame(c.type, c.value);
    ASSERT_EQ(f.size(), kRequestLen);
    EXPECT_EQ(f[0], STX);
    EXPECT_EQ(std::string(f.begin() + 1, f.begin() + 4), c.type);
    EXPECT_EQ(std::string(f.begin() + 4, f.begin() + 7), "10.");
    EXPECT_EQ(std::string(f.begin() + 7, f.begin() + 19), c.field);
    EXPECT_EQ(f[19], ETX);
    // The check byte covers the frame as sent, not the value as given.
    std::uint8_t x = 0;
    for (int i = 1; i <= 19; ++i) x ^= f[i];
    EXPECT_EQ(f[20], x);
  }
}

TEST(HypercomFrames, CrcOfShortBuffers) {
  const std::uint8_t one[] = {0x42};
  EXPECT_EQ(Crc(one, 1), 0x42);
  const std::uint8_t three[] = {0x01, 0x02, 0x04};
  EXPECT_EQ(Crc(three, 3), 0x07);
}

TEST(HypercomFrames, AcknowledgementTest) {
  const Bytes good = AcknowledgementFrame("MOL");
  EXPECT_TRUE(IsAcknowledgement(good.data(), good.size(), "MOL"));
  // Only the first ten bytes count; whatever follows does not spoil it.
  Bytes longer = good;
  longer.push_back(0x55);
  EXPECT_TRUE(IsAcknowledgement(longer.data(), longer.size(), "MOL"));

  // The check byte is not verified, only required to be non-zero.
  Bytes other_check = good;
  other_check[9] = 0x01;
  EXPECT_TRUE(IsAcknowledgement(other_check.data(), other_check.size(), "MOL"));

  struct Bad {
    const char* why;
    Bytes bytes;
    const char* type;
  } bad[] = {
      {"nine bytes", Bytes(good.begin(), good.begin() + 9), "MOL"},
      {"zero check byte", [&] { Bytes b = good; b[9] = 0; return b; }(), "MOL"},
      {"echo of 10.", [] { Bytes b = Frame("MOL", "10."); b.insert(b.begin(), ACK); return b; }(), "MOL"},
      {"other type", AcknowledgementFrame("VOI"), "MOL"},
      {"no ACK", [&] { Bytes b = good; b[0] = 0x15; return b; }(), "MOL"},
      {"no ETX", [&] { Bytes b = good; b[8] = 0x04; return b; }(), "MOL"},
      {"leading noise", [&] { Bytes b = good; b.insert(b.begin(), 0x00); return b; }(), "MOL"},
  };
  for (const auto& b : bad) {
    SCOPED_TRACE(b.why);
    EXPECT_FALSE(IsAcknowledgement(b.bytes.data(), b.bytes.size(), b.type));
  }
  const Bytes stl = AcknowledgementFrame("STL");
  EXPECT_TRUE(IsAcknowledgement(stl.data(), stl.size(), "STL"));
}

TEST(HypercomFrames, ResultFrameTest) {
  const Bytes sale = Frame("MOL", "12.", "00RECEIPT");
  ASSERT_TRUE(IsResultFrame(sale.data(), sale.size()));
  EXPECT_EQ(ResultCode(sale.data(), sale.size()), "00");
  const Bytes refused = Frame("MOL", "12.", "51");
  ASSERT_TRUE(IsResultFrame(refused.data(), refused.size()));
  EXPECT_EQ(ResultCode(refused.data(), refused.size()), "51");

  // The shortest frame that passes has no code at all: the "code" is ETX and the check.
  const Bytes bare = Frame("MOL", "12.");
  ASSERT_TRUE(IsResultFrame(bare.data(), bare.size()));
  EXPECT_EQ(MesajRaspuns(ResultCode(bare.data(), bare.size())), "");

  struct Bad {
    const char* why;
    Bytes bytes;
  } bad[] = {
      {"void type", Frame("VOI", "12.", "00")},
      {"function 11.", Frame("MOL", "11.", "00")},
      {"half a frame", Bytes(sale.begin(), sale.begin() + 9)},
      {"ETX not next-to-last", [&] { Bytes b = sale; b.push_back(0x41); return b; }()},
      {"no STX", [&] { Bytes b = sale; b[0] = ACK; return b; }()},
      {"empty", {}},
      {"one byte", {STX}},
      {"STX MOL12. only", FromText("\x02MOL12.")},
  };
  for (const auto& b : bad) {
    SCOPED_TRACE(b.why);
    EXPECT_FALSE(IsResultFrame(b.bytes.data(), b.bytes.size()));
  }
}

// The response-code table as the terminal's documentation lists it.
const char* const kTable[][2] = {
    {"00, 10, 11", "APROBAT"},
    {"01, 02", "ANUNTATI EMITENTUL"},
    {"03, 06, 17, 18, 20-29, 32, 39, 40, 42, 44, 52, 53, 56, 59-61, 63, 64, 66, 68-74, 98, 99",
     "ERR-CALL HELP-SN"},
    {"04, 38", "CARD RESPINS/ANUNTA"},
    {"05", "NU ACCEPTATI"},
    {"07, 35-37, 67", "PICK-UP"},
    {"08, 16", "APROBARE"},
    {"09", "COD EROARE 09"},
    {"12", "TRANSZ.INVALIDA"},
    {"13", "SUMA INCORECTA"},
    {"14", "NR.CARD NEVALIDAT"},
    {"15", "EMITENT INEXISTENT"},
    {"19", "REPETATI TRANZACTIA"},
    {"30", "EROARE DE FORMAT"},
    {"31", "CARD NEACCEPTAT"},
    {"33", "CARD EXPIRAT/ANUNTA"},
    {"34", "CARD CONTRAFACUT"},
    {"41", "CARD PIERDUT/ANUNTA"},
    {"43", "CARD FURAT/ANUNTA"},
    {"51", "FONDURI INSUFICIENTE"},
    {"54", "CARD EXPIRAT"},
    {"55", "PIN INCORECT"},
    {"57", "CARD RESPINS"},
    {"58", "TRANZACTIE NEPERMISA"},
    {"62", "CARD RESTRICTIONAT"},
    {"65", "LIM.CONT DEPASITA"},
    {"75", "NR INTR.PIN/DEPASIT"},
    {"76", "COD PRODUS GRESIT"},
    {"77", "TOTALURI DIFERITE"},
    {"78", "TRANZACTIE LIPSA"},
    {"79", "BATCH DEJA DESCHIS"},
    {"80", "NR.BATCH INCORECT"},
    {"82", "NO CLOSES SOC SLOTS"},
    {"83", "NO SUSP.SOC SLOTS"},
    {"85", "BATCH LIPSA"},
    {"89", "NR.TERMINAL INVALID"},
    {"91", "EMITENT INDISPONIBIL"},
    {"94", "ERR-CALL HELP-SQ"},
    {"95", "TRANSFER TRANZACTII"},
    {"96", "EROARE DE SISTEM"},
};

TEST(HypercomFrames, ResponseCodeTableMatchesTheListedRanges) {
  std::string expected[100];
  for (const auto& row : kTable) {
    std::stringstream in(row[0]);
    std::string item;
    while (std::getline(in, item, ',')) {
      int lo = 0, hi = 0;
      if (std::sscanf(item.c_str(), " %d-%d", &lo, &hi) != 2) hi = lo;
      for (int c = lo; c <= hi; ++c) {
        ASSERT_TRUE(expected[c].empty()) << "code listed twice: " << c;
        expected[c] = row[1];
      }
    }
  }
  for (int c = 0; c < 100; ++c) {
    char code[3];
    std::snprintf(code, sizeof code, "%02d", c);
    EXPECT_EQ(MesajRaspuns(code), expected[c]) << code;
  }
  // The unlisted ones the terminal's documentation names explicitly.
  for (const char* code : {"45", "46", "50", "81", "84", "86", "88", "90", "92", "93", "97"})
    EXPECT_EQ(MesajRaspuns(code), "") << code;
  for (const char* code : {"", "0", "000", " 0", "0 ", "A1", "-1", "\x03\x61"})
    EXPECT_EQ(MesajRaspuns(code), "") << "'" << code << "'";
}

}  // namespace
}  // namespace tarvina::hypercom
