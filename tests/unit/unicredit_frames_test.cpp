#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>

#include "terminals/PosUnicredit/UnicreditFrames.h"

namespace tarvina::unicredit {
namespace {

Bytes Hex(const std::string& text) {
  Bytes out;
  std::istringstream in(text);
  std::string h;
  while (in >> h) out.push_back(static_cast<std::uint8_t>(std::stoul(h, nullptr, 16)));
  return out;
}

TEST(UnicreditCrc, KermitCheckValueComesBackByteSwapped) {
  const std::string digits = "123456789";
  EXPECT_EQ(CRC_16_buf(reinterpret_cast<const std::uint8_t*>(digits.data()), digits.size()), 0x8921);
  EXPECT_EQ(CRC_16_buf(nullptr, 0), 0x0000);
}

struct FrameCase {
  const char* name;
  Bytes built;
  const char* expected;
};

TEST(UnicreditFrames, WorkedExamplesWithCounter2A) {
  const FrameCase cases[] = {
      {"report", BuildReport(0x2A), "01 05 2A 00 04 04 00 2A 00 0A 9C 04"},
      {"ack", BuildAck(0x2A), "01 06 2A 00 00 DB 3B 04"},
      {"sale 12.34", BuildSale(0x2A, 12.34),
       "01 05 2A 00 22 02 00 2A 03 01 2C 00 03 50 55 52 01 2D 00 0C 30 30 30 30 30 30 30 30 31 32 33 34 "
       "01 2E 00 03 52 4F 4E 98 F5 04"},
      {"void 12.34 receipt 123", BuildVoid(0x2A, 12.34, "123"),
       "01 05 2A 00 32 02 00 2A 04 01 2C 00 03 52 45 56 01 2D 00 0C 30 30 30 30 30 30 30 30 31 32 33 34 "
       "01 2E 00 03 52 4F 4E 01 30 00 0C 30 30 30 30 30 30 30 30 30 31 32 33 D0 DB 04"},
      {"status", BuildStatus(0x2A),
       "01 05 2A 00 14 12 00 2A 02 00 64 00 03 53 54 41 00 65 00 05 05 01 03 00 00 7F 8F 04"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.built, Hex(c.expected)) << c.name;
    EXPECT_TRUE(FrameCrcOk(ToString(c.built))) << c.name;
  }
}

TEST(UnicreditFrames, FrameCrcOkRejectsAnyChangedByte) {
  std::string f = ToString(BuildSale(7, 1.5));
  for (std::size_t i = 1; i + 3 < f.size(); ++i) {
    std::string bad = f;
    bad[i] = static_cast<char>(bad[i] ^ 0x10);
    EXPECT_FALSE(FrameCrcOk(bad)) << "byte " << i;
  }
  EXPECT_FALSE(FrameCrcOk("\x01\x06"));
}

TEST(UnicreditFrames, AmountAndReceiptTexts) {
  EXPECT_EQ(AmountField(12.34), "000000001234");
  EXPECT_EQ(AmountField(0), "000000000000");
  EXPECT_EQ(AmountField(0.005), "000000000001");  // half a hundredth rounds up
  EXPECT_EQ(AmountField(1.1), "000000000110");
  EXPECT_EQ(AmountField(123456789012.34), "123456789012");  // 14 digits: first 12 sent
  EXPECT_EQ(AmountField(-10), "0000000-1000");
  EXPECT_EQ(AmountField(1e300).size(), 12u);  // beyond any integer type: still twelve bytes
  EXPECT_EQ(ReceiptField("123"), "000000000123");
  EXPECT_EQ(ReceiptField(""), "000000000000");
  EXPECT_EQ(ReceiptField("1234567890ABCDE"), "1234567890AB");
  EXPECT_EQ(ReceiptField("\xEF\xBF\xBD"), "00000000000\xFD") << "one character, one byte";
}

TEST(UnicreditFrames, BuildersRefuseWhatTheFieldsCannotHold) {
  EXPECT_THROW(BuildMessage(3, 1, {{330, std::string(70000, 'x')}}), std::length_error);
  EXPECT_THROW(BuildMessage(3, 1, std::vector<Element>(256, Element{1, ""})), std::length_error);
  EXPECT_THROW(BuildFrame(kTipMesaj, 1, Bytes(65536)), std::length_error);
}

TEST(UnicreditFrames, FrontRecognition) {
  const std::string ack = ToString(BuildAck(9));
  const std::string msg = ToString(BuildMessage(3, 9, {{330, "APROBAT"}}));
  EXPECT_TRUE(AckAtFront(ack));
  EXPECT_FALSE(AckAtFront(ack.substr(0, 7)));
  EXPECT_FALSE(AckAtFront(msg));
  EXPECT_EQ(MessageAtFront(msg), msg.size());
  EXPECT_EQ(MessageAtFront(msg + ack), msg.size());
  EXPECT_EQ(MessageAtFront(msg.substr(0, msg.size() - 1)), 0u);  // incomplete: wait for more
  EXPECT_EQ(MessageAtFront(ack + msg), 0u);
  EXPECT_EQ(MessageAtFront("x" + msg), 0u);  // garbage in front is never skipped
  std::string no_eot = msg;
  no_eot.back() = 0x05;
  EXPECT_EQ(MessageAtFront(no_eot), 0u);
}

TEST(UnicreditFrames, ParseElementsReadsInOrderAndKeepsDuplicates) {
  const std::string msg = ToString(BuildMessage(
      3, 1, {{330, "APROBAT 123"}, {332, ""}, {330, "second"}, {0x1234, std::string("\0\x01", 2)}}));
  const std::vector<Element> want = {
      {330, "APROBAT 123"}, {332, ""}, {330, "second"}, {0x1234, std::string("\0\x01", 2)}};
  EXPECT_EQ(ParseElements(msg), want);
}

// A frame whose data claims more than it holds: the count byte or a value length
// overstated. Only what lies inside the data is read.
TEST(UnicreditFrames, ParseElementsNeverReadsPastTheData) {
  std::string msg = ToString(BuildMessage(3, 1, {{330, "AB"}, {332, "CDE"}}));
  struct Case {
    const char* name;
    std::size_t pos;
    std::uint8_t value;
    std::vector<Element> want;
  };
  const Case cases[] = {
      {"count 255", 8, 0xFF, {{330, "AB"}, {332, "CDE"}}},
      {"count 1", 8, 1, {{330, "AB"}}},
      {"second value length 4 reaches into the CRC", 9 + 6 + 3, 4, {{330, "AB"}}},
      {"first value length 0xFF", 9 + 3, 0xFF, {}},
  };
  for (const auto& c : cases) {
    std::string m = msg;
    m[c.pos] = static_cast<char>(c.value);
    EXPECT_EQ(ParseElements(m), c.want) << c.name;
  }
  // Shorter than 11 bytes: no elements at all.
  EXPECT_TRUE(ParseElements(ToString(BuildFrame(kTipMesaj, 1, {3, 0}))).empty());
  // Header of an element cut by the end of the data.
  EXPECT_TRUE(ParseElements(ToString(BuildFrame(kTipMesaj, 1, {3, 0, 1, 1, 0x01, 0x4A}))).empty());
}

}  // namespace
}  // namespace tarvina::unicredit
