#include "terminals/PosTransilvania/TransilvaniaFrames.h"

#include <algorithm>
#include <cmath>
#include "terminals/TerminalText.h"

namespace tarvina {

std::uint16_t Crc16(const void* buffer, std::uint64_t buf_size, std::uint16_t polynom,
                    std::uint16_t seed) {
  const auto* p = static_cast<const std::uint8_t*>(buffer);
  std::uint16_t crc = seed;
  for (std::uint64_t i = 0; i < buf_size; ++i) {
    crc = static_cast<std::uint16_t>(crc ^ (p[i] << 8));
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ polynom)
                           : static_cast<std::uint16_t>(crc << 1);
  }
  return crc;
}

namespace transilvania {

int BuildFrame(std::uint8_t tag, const std::vector<Field>& fields, TBuffer& out) {
  out.fill(0);
  std::size_t n = 0;
  for (const Field& f : fields) {
    if (f.value.size() > 255) return 0;
    n += 3 + f.value.size();
  }
  if (n + 6 > out.size() || n > 0xFFFF) return 0;
  std::size_t pos = 0;
  out[pos++] = STX;
  out[pos++] = static_cast<std::uint8_t>(n >> 8);
  out[pos++] = static_cast<std::uint8_t>(n & 0xFF);
  for (const Field& f : fields) {
    out[pos++] = tag;
    out[pos++] = f.id;
    out[pos++] = static_cast<std::uint8_t>(f.value.size());
    for (char c : f.value) out[pos++] = static_cast<std::uint8_t>(c);
  }
  out[pos++] = ETX;
  const std::uint16_t crc = Crc16(out.data() + 3, n, kCrcPolynom, kCrcSeed);
  out[pos++] = static_cast<std::uint8_t>(crc >> 8);
  out[pos++] = static_cast<std::uint8_t>(crc & 0xFF);
  return static_cast<int>(pos);
}

std::vector<std::uint8_t> FrameBytes(std::uint8_t tag, const std::vector<Field>& fields) {
  TBuffer buf;
  const int len = BuildFrame(tag, fields, buf);
  return std::vector<std::uint8_t>(buf.begin(), buf.begin() + len);
}

std::optional<std::string> AmountText(double suma) {
  const double hundredths = std::round(suma * 100.0);
  if (!std::isfinite(hundredths) || hundredths < 0 || hundredths >= 1e12) return std::nullopt;
  std::string text = std::to_string(static_cast<long long>(hundredths));
  return std::string(12 - text.size(), '0') + text;
}

std::string ReceiptText(const std::string& nr_bon) {
  std::string text = TextToTerminal(nr_bon);
  if (text.size() < 6) text.insert(0, 6 - text.size(), '0');
  return text.substr(0, 6);
}

namespace {
std::string OpCode(std::uint8_t op) { return std::string(1, static_cast<char>(op)); }
}  // namespace

int BuildStatusRequest(TBuffer& out) {
  return BuildFrame(kTagRequest, {{0x00, OpCode(kOpStatus)}}, out);
}

int BuildSaleRequest(double suma, TBuffer& out) {
  const auto amount = AmountText(suma);
  if (!amount) {
    out.fill(0);
    return 0;
  }
  return BuildFrame(kTagRequest,
                    {{0x00, OpCode(kOpSale)},
                     {0x01, *amount},
                     {0x02, "RON"},
                     {0x03, "946"},
                     {0x08, kSaleFixedDigits}},
                    out);
}

int BuildVoidRequest(double suma, const std::string& nr_bon, TBuffer& out) {
  const auto amount = AmountText(suma);
  if (!amount) {
    out.fill(0);
    return 0;
  }
  return BuildFrame(kTagRequest,
                    {{0x00, OpCode(kOpVoid)}, {0x06, ReceiptText(nr_bon)}, {0x01, *amount}}, out);
}

int BuildDailyReportRequest(TBuffer& out) {
  return BuildFrame(kTagRequest,
                    {{0x00, OpCode(kOpDailyReport)}, {0x02, "RON"}, {0x03, "946"}}, out);
}

std::string FieldValue(const TBuffer& buf, int received, std::uint8_t hi, std::uint8_t lo) {
  const int size = static_cast<int>(buf.size());
  if (received > size) received = size;
  // Positions from 1, as on the line: a pair at i, i + 1 with i < received - 1.
  for (int i = 1; i < received - 1; ++i) {
    if (buf[i - 1] != hi || buf[i] != lo) continue;
    const int len = buf[i + 1];
    const int first = i + 3;
    const int last = std::min(first + len - 1, size);
    std::string value;
    for (int p = first; p <= last; ++p) value += static_cast<char>(buf[p - 1]);
    return value;
  }
  return "";
}

std::optional<ParsedFrame> ParseFrame(const std::vector<std::uint8_t>& bytes, std::size_t& used) {
  used = 0;
  if (bytes.size() < 6 || bytes[0] != STX) return std::nullopt;
  const std::size_t n = (static_cast<std::size_t>(bytes[1]) << 8) | bytes[2];
  if (bytes.size() < n + 6) return std::nullopt;
  ParsedFrame frame;
  frame.data.assign(bytes.begin() + 3, bytes.begin() + 3 + n);
  const std::uint16_t crc = Crc16(frame.data.data(), n, kCrcPolynom, kCrcSeed);
  frame.crc_ok = bytes[3 + n] == ETX && bytes[4 + n] == (crc >> 8) && bytes[5 + n] == (crc & 0xFF);
  std::size_t i = 0;
  while (i + 3 <= n) {
    const std::size_t len = frame.data[i + 2];
    if (i + 3 + len > n) break;
    if (frame.fields.empty()) frame.tag = frame.data[i];
    frame.fields.push_back({frame.data[i + 1], std::string(frame.data.begin() + i + 3,
                                                           frame.data.begin() + i + 3 + len)});
    i += 3 + len;
  }
  frame.fields_ok = i == n;
  used = n + 6;
  return frame;
}

std::vector<std::uint8_t> ResponseFrame(std::uint8_t result_code, const std::vector<Field>& fields) {
  std::vector<Field> all{{0x00, std::string(1, static_cast<char>(result_code))}};
  all.insert(all.end(), fields.begin(), fields.end());
  return FrameBytes(kTagResponse, all);
}

}  // namespace transilvania
}  // namespace tarvina
