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

Bytes BuildFrame(std::uint8_t tag, const std::vector<Field>& fields) {
  std::size_t n = 0;
  for (const Field& f : fields) {
    if (f.value.size() > 255) return {};
    n += 3 + f.value.size();
  }
  if (n + 6 > static_cast<std::size_t>(kTransilvaniaBufSize) || n > 0xFFFF) return {};
  Bytes out;
  out.reserve(n + 6);
  out.push_back(STX);
  out.push_back(static_cast<std::uint8_t>(n >> 8));
  out.push_back(static_cast<std::uint8_t>(n & 0xFF));
  for (const Field& f : fields) {
    out.push_back(tag);
    out.push_back(f.id);
    out.push_back(static_cast<std::uint8_t>(f.value.size()));
    for (char c : f.value) out.push_back(static_cast<std::uint8_t>(c));
  }
  out.push_back(ETX);
  const std::uint16_t crc = Crc16(out.data() + 3, n, kCrcPolynom, kCrcSeed);
  out.push_back(static_cast<std::uint8_t>(crc >> 8));
  out.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  return out;
}

std::optional<std::string> AmountField(double suma) {
  const double hundredths = std::round(suma * 100.0);
  if (!std::isfinite(hundredths) || hundredths < 0 || hundredths >= 1e12) return std::nullopt;
  std::string text = std::to_string(static_cast<long long>(hundredths));
  return std::string(12 - text.size(), '0') + text;
}

std::string ReceiptField(const std::string& nr_bon) {
  std::string text = TextToTerminal(nr_bon);
  if (text.size() < 6) text.insert(0, 6 - text.size(), '0');
  return text.substr(0, 6);
}

namespace {
std::string OpCode(std::uint8_t op) { return std::string(1, static_cast<char>(op)); }
}  // namespace

Bytes BuildStatusRequest() { return BuildFrame(kTagRequest, {{0x00, OpCode(kOpStatus)}}); }

Bytes BuildSaleRequest(double suma) {
  const auto amount = AmountField(suma);
  if (!amount) return {};
  return BuildFrame(kTagRequest,
                    {{0x00, OpCode(kOpSale)},
                     {0x01, *amount},
                     {0x02, "RON"},
                     {0x03, "946"},
                     {0x08, kSaleFixedDigits}});
}

Bytes BuildVoidRequest(double suma, const std::string& nr_bon) {
  const auto amount = AmountField(suma);
  if (!amount) return {};
  return BuildFrame(kTagRequest, {{0x00, OpCode(kOpVoid)}, {0x06, ReceiptField(nr_bon)}, {0x01, *amount}});
}

Bytes BuildDailyReportRequest() {
  return BuildFrame(kTagRequest, {{0x00, OpCode(kOpDailyReport)}, {0x02, "RON"}, {0x03, "946"}});
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

Bytes ResponseFrame(std::uint8_t result_code, const std::vector<Field>& fields) {
  std::vector<Field> all{{0x00, std::string(1, static_cast<char>(result_code))}};
  all.insert(all.end(), fields.begin(), fields.end());
  return BuildFrame(kTagResponse, all);
}

}  // namespace transilvania
}  // namespace tarvina
