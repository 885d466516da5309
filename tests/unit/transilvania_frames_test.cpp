// Byte-exact frames of the Transilvania link, the amount and receipt texts and
// the field reader, against hand-computed bytes.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "terminals/PosTransilvania/TransilvaniaFrames.h"

namespace tarvina::transilvania {
namespace {

Bytes Ascii(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

TEST(TransilvaniaCrc, CheckValueAndSeed) {
  const std::string digits = "123456789";
  EXPECT_EQ(Crc16(digits.data(), digits.size(), 0x8005, 0), 0xFEE8);
  EXPECT_EQ(Crc16(digits.data(), 0, 0x8005, 0x1234), 0x1234);  // no bytes: the seed
  const std::uint8_t one = 0x01;
  EXPECT_EQ(Crc16(&one, 1, 0x8005, 0), 0x8005);
}

TEST(TransilvaniaFrames, RequestsOfTheFourOperations) {
  EXPECT_EQ(BuildStatusRequest(), (Bytes{0x02, 0x00, 0x04, 0xA0, 0x00, 0x01, 0x01, 0x03, 0x06, 0x35}));

  EXPECT_EQ(BuildDailyReportRequest(),
            (Bytes{0x02, 0x00, 0x10, 0xA0, 0x00, 0x01, 0x03, 0xA0, 0x02, 0x03, 0x52, 0x4F, 0x4E,
                   0xA0, 0x03, 0x03, 0x39, 0x34, 0x36, 0x03, 0x36, 0xB9}));

  const Bytes sale = BuildSaleRequest(12.34);
  EXPECT_EQ(sale,
            Cat({{0x02, 0x00, 0x27, 0xA0, 0x00, 0x01, 0x02, 0xA0, 0x01, 0x0C},
                 Ascii("000000001234"),
                 {0xA0, 0x02, 0x03},
                 Ascii("RON"),
                 {0xA0, 0x03, 0x03},
                 Ascii("946"),
                 {0xA0, 0x08, 0x05},
                 Ascii(kSaleFixedDigits),
                 {0x03, 0xCE, 0x37}}));
  EXPECT_EQ(sale.size(), 45u);

  EXPECT_EQ(BuildVoidRequest(12.34, "123"),
            Cat({{0x02, 0x00, 0x1C, 0xA0, 0x00, 0x01, 0x06, 0xA0, 0x06, 0x06},
                 Ascii("000123"),
                 {0xA0, 0x01, 0x0C},
                 Ascii("000000001234"),
                 {0x03, 0x87, 0x04}}));
}

TEST(TransilvaniaFrames, AmountField) {
  struct Case {
    double suma;
    const char* text;  // nullptr: not sendable
  } cases[] = {
      {12.34, "000000001234"},        {0, "000000000000"},           {0.005, "000000000001"},
      {0.004, "000000000000"},        {1.15, "000000000115"},        {9999999999.99, "999999999999"},
      {10000000000.0, nullptr},       {-10, nullptr},                {-0.001, "000000000000"},
      {std::nan(""), nullptr},        {std::numeric_limits<double>::infinity(), nullptr},
  };
  for (const Case& c : cases) {
    const auto text = AmountField(c.suma);
    if (c.text)
      EXPECT_EQ(text.value_or("<none>"), c.text) << c.suma;
    else
      EXPECT_FALSE(text.has_value()) << c.suma << " gave " << *text;
  }
  EXPECT_TRUE(BuildSaleRequest(-10).empty());
  EXPECT_TRUE(BuildVoidRequest(1e12, "1").empty());
}

TEST(TransilvaniaFrames, ReceiptField) {
  const std::pair<const char*, const char*> cases[] = {
      {"123", "000123"}, {"12345678", "123456"}, {"", "000000"}, {"654321", "654321"},
      {"A\xC3\xA9" "1", "000A\xE9" "1"},  // é is one character, one byte
      {"\xEF\xBF\xBD", "00000\xFD"},
  };
  for (auto [in, out] : cases) EXPECT_EQ(ReceiptField(in), out) << in;
}

TEST(TransilvaniaFrames, FieldValueFirstMatchingPairWins) {
  TBuffer buf{};
  // ACK STX len | A1 00 01 00 | A1 07 02 "05" | A1 08 05 "A1 04.." | ETX crc
  const Bytes answer = Cat({{ACK, STX, 0x00, 0x14, 0xA1, 0x00, 0x01, 0x00, 0xA1, 0x07, 0x02},
                            Ascii("05"),
                            {0xA1, 0x08, 0x05, 0xA1, 0x04, 0x02},
                            Ascii("OK"),
                            {0xA1, 0x04, 0x03},
                            Ascii("XYZ"),
                            {ETX, 0x00, 0x00}});
  std::copy(answer.begin(), answer.end(), buf.begin());
  const int n = static_cast<int>(answer.size());
  EXPECT_EQ(FieldValue(buf, n, 0xA1, 0x07), "05");
  // The pair A1 04 inside field 0x08's value is found before the real field 0x04.
  EXPECT_EQ(FieldValue(buf, n, 0xA1, 0x04), "OK");
  EXPECT_EQ(FieldValue(buf, n, 0xA1, 0x08), std::string("\xA1\x04\x02OK", 5));
  EXPECT_EQ(FieldValue(buf, n, 0xA1, 0x0E), "");
  // A pair whose id is the last received byte is not a field.
  EXPECT_EQ(FieldValue(buf, 10, 0xA1, 0x07), "");
  EXPECT_EQ(FieldValue(buf, 11, 0xA1, 0x07), "05");  // length received, value not yet
}

TEST(TransilvaniaFrames, FieldValueStopsAtTheBufferEnd) {
  TBuffer buf{};
  buf[990] = 0xA1;  // position 991
  buf[991] = 0x16;
  buf[992] = 200;
  buf[993] = 'x';
  const std::string v = FieldValue(buf, 1000, 0xA1, 0x16);
  ASSERT_EQ(v.size(), 7u);  // positions 994..1000
  EXPECT_EQ(v[0], 'x');
  EXPECT_EQ(v.substr(1), std::string(6, '\0'));
  // A value running past the received bytes takes the zeroed rest.
  EXPECT_EQ(FieldValue(buf, 994, 0xA1, 0x16).size(), 7u);
  EXPECT_EQ(FieldValue(buf, 5000, 0xA1, 0x16), v);  // a count beyond the buffer is clamped
}

TEST(TransilvaniaFrames, ParseWhatBuildProduces) {
  const Bytes frame = ResponseFrame(5, {{0x07, "51"}, {0x08, "REFUZAT"}});
  std::size_t used = 0;
  auto parsed = ParseFrame(frame, used);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(used, frame.size());
  EXPECT_TRUE(parsed->crc_ok);
  EXPECT_TRUE(parsed->fields_ok);
  EXPECT_EQ(parsed->tag, kTagResponse);
  ASSERT_EQ(parsed->fields.size(), 3u);
  EXPECT_EQ(parsed->fields[0].value, std::string(1, '\x05'));
  EXPECT_EQ(parsed->fields[2].value, "REFUZAT");

  Bytes bad = frame;
  bad.back() ^= 1;
  parsed = ParseFrame(bad, used);
  ASSERT_TRUE(parsed);
  EXPECT_FALSE(parsed->crc_ok);

  EXPECT_FALSE(ParseFrame(Bytes(frame.begin(), frame.end() - 1), used));
  EXPECT_EQ(used, 0u);
  EXPECT_FALSE(ParseFrame(Bytes{ACK, STX, 0, 0, ETX, 0, 0}, used));
}

}  // namespace
}  // namespace tarvina::transilvania
