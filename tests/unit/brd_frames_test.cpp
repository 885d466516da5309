// The BRD request frame and the reading of the terminal's answers, byte for byte.
#include <gtest/gtest.h>

#include "terminals/PosBRD/BrdFrames.h"

namespace tarvina::brd {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Body(const TWriteMsg& m) {
  Bytes b;
  for (const std::string* f : Fields(m)) b.insert(b.end(), f->begin(), f->end());
  return b;
}

TWriteMsg SaleMsg(double suma) {
  TWriteMsg m;
  InitWriteMsg(m);
  m.SeqNumber = "0001";
  m.TransType = "01";
  m.PrintFlg = "1";
  m.TransAmount1 = AmountField(suma);
  return m;
}

RecvBuffer Buffer(const Bytes& b) {
  RecvBuffer r{};
  std::copy(b.begin(), b.end(), r.begin());
  return r;
}

TEST(BrdFrames, SaleOfOneLeuIsTheKnownFrame) {
  const Bytes expected = {0x02, 0x02, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x31, 0x30,
                          0x31, 0x31, 0x30, 0x30, 0x1C, 0x31, 0x30, 0x30, 0x1C, 0x1C, 0x2B, 0x30, 0x1C,
                          0x39, 0x34, 0x36, 0x1C, 0x1C, 0x1C, 0x1C, 0x1C, 0x1C, 0x1C, 0x1C, 0x1C, 0x1C,
                          0x1C, 0x30, 0x30, 0x1C, 0x1C, 0x1C, 0x1C, 0x1C, 0x03, 0x23};
  const Bytes body = Body(SaleMsg(1.00));
  ASSERT_EQ(body.size(), 45u);
  const Bytes frame = RequestFrame(body.data(), body.size());
  EXPECT_EQ(frame, expected);
  EXPECT_EQ(Lrc(body.data(), body.size()), 0x23);
}

TEST(BrdFrames, DefaultRecordHasFortyThreeFieldsAndTheDefaultBodyStart) {
  TWriteMsg m;
  m.TransNr = "junk";  // InitWriteMsg empties what was there before
  InitWriteMsg(m);
  EXPECT_TRUE(m.TransNr.empty());
  const Bytes body = Body(m);
  const Bytes first17 = {'0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '1', '1', '0', '0', FS, FS};
  ASSERT_GE(body.size(), 17u);
  EXPECT_EQ(Bytes(body.begin(), body.begin() + 17), first17);

  int separators = 0;
  for (const std::string* f : Fields(m)) separators += (*f == std::string(1, static_cast<char>(FS)));
  EXPECT_EQ(separators, 20);
  EXPECT_EQ(m.AmountCurr, "946");
  EXPECT_EQ(m.AmountExp, "+0");
  EXPECT_EQ(m.LanguageID, "00");
}

TEST(BrdFrames, AmountInHundredthsWithoutLeadingZeros) {
  const std::pair<double, const char*> cases[] = {
      {12.50, "1250"}, {0.1, "10"}, {1.00, "100"}, {12.34, "1234"}, {0.29, "29"},
      {0.0, "0"},      {0.005, "1"}, {99999.99, "9999999"}, {-0.001, "0"}, {1e17, "10000000000000000000"},
  };
  for (const auto& [suma, text] : cases) EXPECT_EQ(AmountField(suma), text) << suma;
  EXPECT_EQ(RequestAmount(Body(SaleMsg(12.5))), "1250");
}

TEST(BrdFrames, CompleteAtEtxOrAtItsLrcAndOnlyFromStx) {
  struct Case {
    Bytes held;
    bool complete;
  } cases[] = {
      {{STX, '1', '0', ETX}, true},        // up to ETX, LRC not yet here
      {{STX, '1', '0', ETX, 0x55}, true},  // ETX and its LRC
      {{STX, '1', '0', ETX, 0x55, 0x55}, false},
      {{STX, '1', '0'}, false},
      {{STX}, false},
      {{'x', STX, '1', ETX}, false},       // not starting with STX
      {{ACK, STX, '1', ETX}, false},
      {{ETX}, false},
      {{}, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(FrameComplete(Buffer(c.held), c.held.size()), c.complete) << c.held.size();
}

TEST(BrdFrames, TerminalMessageEndsAtTheFirstByteBelowZeroDigit) {
  const std::pair<std::string, std::string> cases[] = {
      {"CARD", "CARD"},                // ends at FS
      {"CARD BLOCAT", "CARD"},         // a blank ends it
      {"A.B", "A"}, {"9-1", "9"}, {"", ""},
  };
  for (const auto& [text, expected] : cases)
    EXPECT_EQ(GetMesajEroare(Buffer(TerminalFrame(MessageAnswer(text)))), expected) << text;

  // A text that runs to the end of the buffer stops there.
  RecvBuffer full;
  full.fill('Z');
  EXPECT_EQ(GetMesajEroare(full).size(), kBufferSize - 9);
}

TEST(BrdFrames, RefusalReasonIsTwentyTwoCharactersAtPosition132) {
  const Bytes frame = TerminalFrame(FinalAnswer("04", "FONDURI INSUFICIENTE"));
  const RecvBuffer b = Buffer(frame);
  EXPECT_EQ(std::string(b.begin() + 1, b.begin() + 3), "10");
  EXPECT_EQ(std::string(b.begin() + 13, b.begin() + 15), "04");
  EXPECT_EQ(GetMotiv(b), "FONDURI INSUFICIENTE  ");

  // Past the end of a short frame the reason reads zero bytes.
  const RecvBuffer shortFrame = Buffer(TerminalFrame(FinalAnswer("04")));
  EXPECT_EQ(GetMotiv(shortFrame), std::string(22, '\0'));
}

TEST(BrdFrames, RequestParsingChecksTheLrc) {
  const Bytes body = Body(SaleMsg(3.5));
  Bytes frame = RequestFrame(body.data(), body.size());
  ParsedRequest r = ParseRequest(frame.data(), frame.size());
  EXPECT_TRUE(r.complete);
  EXPECT_TRUE(r.lrc_ok);
  EXPECT_EQ(r.length, frame.size());
  EXPECT_EQ(r.body, body);

  EXPECT_FALSE(ParseRequest(frame.data(), frame.size() - 1).complete);  // LRC still missing
  frame.back() ^= 0x01;
  r = ParseRequest(frame.data(), frame.size());
  EXPECT_TRUE(r.complete);
  EXPECT_FALSE(r.lrc_ok);
  EXPECT_FALSE(ParseRequest(frame.data() + 1, frame.size() - 1).complete);  // one STX only
}

}  // namespace
}  // namespace tarvina::brd
