#include "terminals/PosVerifoneIntf/VerifoneFrames.h"

#include <cmath>
#include <cstdio>
#include "terminals/TerminalText.h"

namespace tarvina::verifone {

std::uint8_t Crc(const std::uint8_t* payload, std::size_t n) {
  std::uint8_t x = 0;
  for (std::size_t i = 0; i < n; ++i) x ^= payload[i];
  return x;
}

std::size_t BuildFrame(const std::uint8_t* payload, std::size_t n, std::uint8_t* out,
                       std::size_t out_size) {
  if (n > out_size || out_size - n < kFrameOverhead) return 0;
  std::size_t k = 0;
  out[k++] = DLE;
  out[k++] = STX;
  for (std::size_t i = 0; i < n; ++i) out[k++] = payload[i];
  out[k++] = DLE;
  out[k++] = ETX;
  out[k++] = Crc(payload, n);
  return k;
}

Bytes BuildFrame(const Bytes& payload) {
  Bytes frame(payload.size() + kFrameOverhead);
  BuildFrame(payload.data(), payload.size(), frame.data(), frame.size());
  return frame;
}

std::string Fill(const std::string& s, std::size_t len, char c) {
  if (s.size() >= len) return s;
  return std::string(len - s.size(), c) + s;
}

std::string AmountField(double suma) {
  const double hundredths = std::round(suma * 100.0);
  std::string digits;
  if (std::isfinite(hundredths)) {
    // Up to 309 digits for the largest double, plus sign.
    char buf[400];
    std::snprintf(buf, sizeof buf, "%.0f", hundredths);
    digits = buf;
  } else {
    digits = "0";
  }
  return Fill(digits, 12, '0').substr(0, 12);
}

std::string ReceiptField(const std::string& nr_bon) { return Fill(TextToTerminal(nr_bon), 6, '0').substr(0, 6); }

namespace {
Bytes Request(std::uint8_t function, const std::string& data) {
  Bytes p;
  p.reserve(3 + data.size());
  p.push_back(ACK);
  p.push_back(function);
  p.push_back(static_cast<std::uint8_t>(data.size()));
  for (char c : data) p.push_back(static_cast<std::uint8_t>(c));
  return p;
}
}  // namespace

Bytes LogInPayload() { return Request(kFnLogIn, ""); }
Bytes LogOutPayload() { return Request(kFnLogOut, ""); }
Bytes SalePayload(double suma) { return Request(kFnSale, AmountField(suma) + std::string(9, '0')); }
Bytes VoidPayload(double suma, const std::string& nr_bon) {
  return Request(kFnVoid, AmountField(suma) + ReceiptField(nr_bon));
}

bool FrameEndsBuffer(const std::uint8_t* data, std::size_t count) {
  return count >= kFrameOverhead && data[0] == DLE && data[1] == STX && data[count - 3] == DLE &&
         data[count - 2] == ETX;
}

std::size_t CompleteFrameLength(const std::uint8_t* data, std::size_t count) {
  if (count < kFrameOverhead || data[0] != DLE || data[1] != STX) return 0;
  for (std::size_t i = 2; i + 2 < count; ++i)
    if (data[i] == DLE && data[i + 1] == ETX) return i + 3;
  return 0;
}

Bytes FramePayload(const std::uint8_t* frame, std::size_t frame_len) {
  if (frame_len < kFrameOverhead) return {};
  return Bytes(frame + 2, frame + frame_len - 3);
}

std::string Printable(const std::uint8_t* data, std::size_t n) {
  std::string s;
  s.reserve(n);
  for (std::size_t i = 0; i < n; ++i) s += data[i] < 0x20 ? '.' : static_cast<char>(data[i]);
  return s;
}

std::string HexTraceLine(bool out, const std::uint8_t* data, std::size_t n) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string s = out ? "PC  :" : "POS :";
  s.reserve(s.size() + 3 * n);
  for (std::size_t i = 0; i < n; ++i) {
    s += kHex[data[i] >> 4];
    s += kHex[data[i] & 0x0F];
    s += ' ';
  }
  return s;
}

}  // namespace tarvina::verifone
