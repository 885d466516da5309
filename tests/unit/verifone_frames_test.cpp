#include <gtest/gtest.h>

#include <string>

#include "terminals/PosVerifoneIntf/VerifoneFrames.h"

namespace tarvina::verifone {
namespace {

Bytes Ascii(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

TEST(VerifoneFrames, WorkedExamples) {
  EXPECT_EQ(BuildFrame(LogInPayload()), (Bytes{0x10, 0x02, 0x06, 0x00, 0x00, 0x10, 0x03, 0x06}));
  EXPECT_EQ(BuildFrame(LogOutPayload()), (Bytes{0x10, 0x02, 0x06, 0x02, 0x00, 0x10, 0x03, 0x04}));

  const Bytes sale = BuildFrame(SalePayload(12.34));
  EXPECT_EQ(sale.size(), 29u);
  EXPECT_EQ(sale, Cat({{0x10, 0x02, 0x06, 0x01, 0x15}, Ascii("000000001234"), Ascii("000000000"),
                       {0x10, 0x03, 0x26}}));

  const Bytes void_frame = BuildFrame(VoidPayload(12.34, "57"));
  EXPECT_EQ(void_frame.size(), 26u);
  EXPECT_EQ(void_frame, Cat({{0x10, 0x02, 0x06, 0x30, 0x12}, Ascii("000000001234"), Ascii("000057"),
                             {0x10, 0x03, 0x22}}));
}

TEST(VerifoneFrames, CheckByteCoversPayloadOnly) {
  const Bytes payload{0x10, 0x02, 0x03, 0xFF};
  EXPECT_EQ(Crc(payload.data(), payload.size()), 0x10 ^ 0x02 ^ 0x03 ^ 0xFF);
  EXPECT_EQ(BuildFrame(payload).back(), 0x10 ^ 0x02 ^ 0x03 ^ 0xFF);
  EXPECT_EQ(BuildFrame(Bytes{}), (Bytes{0x10, 0x02, 0x10, 0x03, 0x00}));
}

TEST(VerifoneFrames, BuildFrameRefusesWhatDoesNotFit) {
  const Bytes payload(kBufferSize - kFrameOverhead, 0x30);
  std::uint8_t out[kBufferSize];
  EXPECT_EQ(BuildFrame(payload.data(), payload.size(), out, sizeof out), kBufferSize);
  EXPECT_EQ(BuildFrame(payload.data(), payload.size() + 1, out, sizeof out), 0u);
  EXPECT_EQ(BuildFrame(payload.data(), 3, out, 7), 0u);
}

TEST(VerifoneFrames, AmountAndReceiptFields) {
  struct Case {
    double suma;
    const char* field;
  };
  for (const Case& c : {Case{12.34, "000000001234"}, Case{5, "000000000500"}, Case{0.01, "000000000001"},
                        Case{0.005, "000000000001"}, Case{1.005, "000000000100"},
                        Case{19.99, "000000001999"}, Case{0, "000000000000"},
                        Case{9999999999.99, "999999999999"}, Case{123456789012.34, "123456789012"}})
    EXPECT_EQ(AmountField(c.suma), c.field) << c.suma;

  EXPECT_EQ(ReceiptField("57"), "000057");
  EXPECT_EQ(ReceiptField("12345678"), "123456");
  EXPECT_EQ(ReceiptField(""), "000000");
  EXPECT_EQ(ReceiptField("654321"), "654321");
  EXPECT_EQ(ReceiptField("A\xC3\xA9"), "0000A\xE9") << "one character, one byte";
  EXPECT_EQ(Fill("abc", 2, '0'), "abc");
  EXPECT_EQ(Fill("7", 3, ' '), "  7");
}

TEST(VerifoneFrames, SaleOfFiveAndLongReceipt) {
  const Bytes sale = SalePayload(5);
  EXPECT_EQ(std::string(sale.begin() + 3, sale.begin() + 15), "000000000500");
  const Bytes v = VoidPayload(12.34, "12345678");
  ASSERT_EQ(v.size(), 21u);
  EXPECT_EQ(std::string(v.begin() + 15, v.end()), "123456");
}

TEST(VerifoneFrames, FrameMustEndTheBuffer) {
  const Bytes answer = BuildFrame(Bytes{0x80});
  EXPECT_TRUE(FrameEndsBuffer(answer.data(), answer.size()));
  EXPECT_FALSE(FrameEndsBuffer(answer.data(), answer.size() - 1));  // check byte missing

  Bytes with_eot = answer;
  with_eot.push_back(EOT);
  EXPECT_FALSE(FrameEndsBuffer(with_eot.data(), with_eot.size()));

  const Bytes short_one{0x10, 0x02, 0x10, 0x03};
  EXPECT_FALSE(FrameEndsBuffer(short_one.data(), short_one.size()));
  const Bytes no_start{0x05, 0x02, 0x80, 0x10, 0x03, 0x80};
  EXPECT_FALSE(FrameEndsBuffer(no_start.data(), no_start.size()));
  // The smallest frame: no payload.
  const Bytes empty = BuildFrame(Bytes{});
  EXPECT_TRUE(FrameEndsBuffer(empty.data(), empty.size()));
}

TEST(VerifoneFrames, CompleteFrameAtStart) {
  const Bytes sale = BuildFrame(SalePayload(12.34));
  for (std::size_t n = 0; n < sale.size(); ++n) EXPECT_EQ(CompleteFrameLength(sale.data(), n), 0u) << n;
  Bytes more = sale;
  more.push_back(EOT);
  EXPECT_EQ(CompleteFrameLength(more.data(), more.size()), sale.size());
  EXPECT_EQ(FramePayload(sale.data(), sale.size()), SalePayload(12.34));
  const Bytes not_a_frame{0x05, 0x10, 0x02, 0x10, 0x03, 0x00};
  EXPECT_EQ(CompleteFrameLength(not_a_frame.data(), not_a_frame.size()), 0u);
}

TEST(VerifoneFrames, TraceLines) {
  const std::uint8_t enq = ENQ;
  EXPECT_EQ(HexTraceLine(true, &enq, 1), "PC  :05 ");
  const Bytes in{0x10, 0x02, 0xAB, 0x0F};
  EXPECT_EQ(HexTraceLine(false, in.data(), in.size()), "POS :10 02 AB 0F ");
  const Bytes text{0x06, 0x0F, 'A', '1', 0x1F, ' '};
  EXPECT_EQ(Printable(text.data(), text.size()), "..A1. ");
}

}  // namespace
}  // namespace tarvina::verifone
