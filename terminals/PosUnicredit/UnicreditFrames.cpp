#include "terminals/PosUnicredit/UnicreditFrames.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>
#include "terminals/TerminalText.h"

namespace tarvina::unicredit {

std::uint16_t CRC_16_buf(const std::uint8_t* buf, std::size_t len) {
  std::uint16_t crc = 0;
  for (std::size_t i = 0; i < len; ++i) {
    const unsigned b = buf[i];
    crc = static_cast<std::uint16_t>((crc >> 4) ^ (((b ^ crc) & 0x0F) * 0x1081));
    crc = static_cast<std::uint16_t>((crc >> 4) ^ ((((b >> 4) ^ crc) & 0x0F) * 0x1081));
  }
  return static_cast<std::uint16_t>((crc << 8) | (crc >> 8));
}

Bytes BuildFrame(std::uint8_t type, std::uint8_t counter, const Bytes& data) {
  if (data.size() > 0xFFFF) throw std::length_error("frame data longer than 65535 bytes");
  Bytes f;
  f.reserve(data.size() + kFrameOverhead);
  f.push_back(SOH);
  f.push_back(type);
  f.push_back(counter);
  f.push_back(static_cast<std::uint8_t>(data.size() >> 8));
  f.push_back(static_cast<std::uint8_t>(data.size() & 0xFF));
  f.insert(f.end(), data.begin(), data.end());
  const std::uint16_t crc = CRC_16_buf(f.data() + 1, f.size() - 1);
  f.push_back(static_cast<std::uint8_t>(crc >> 8));
  f.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  f.push_back(EOT);
  return f;
}

Bytes BuildAck(std::uint8_t counter) { return BuildFrame(kTipAck, counter, {}); }

Bytes BuildMessage(std::uint8_t code, std::uint8_t counter, const std::vector<Element>& elements) {
  if (elements.size() > 0xFF) throw std::length_error("more than 255 elements");
  Bytes data{code, 0, counter, static_cast<std::uint8_t>(elements.size())};
  for (const Element& e : elements) {
    if (e.value.size() > 0xFFFF) throw std::length_error("element value longer than 65535 bytes");
    data.push_back(static_cast<std::uint8_t>(e.code >> 8));
    data.push_back(static_cast<std::uint8_t>(e.code & 0xFF));
    data.push_back(static_cast<std::uint8_t>(e.value.size() >> 8));
    data.push_back(static_cast<std::uint8_t>(e.value.size() & 0xFF));
    data.insert(data.end(), e.value.begin(), e.value.end());
  }
  return BuildFrame(kTipMesaj, counter, data);
}

namespace {

std::string ZeroFill12(std::string s) {
  if (s.size() < 12) s.insert(0, 12 - s.size(), '0');
  return s.substr(0, 12);
}

}  // namespace

std::string AmountField(double suma) {
  const double hundredths = suma * 100;
  std::string text;
  // llround is only defined within the range of long long; beyond it (or for
  // NaN) the plain decimal rendering still gives the terminal twelve bytes.
  if (std::fabs(hundredths) < 9.0e18) {
    text = std::to_string(std::llround(hundredths));
  } else {
    char buf[400];
    std::snprintf(buf, sizeof buf, "%.0f", hundredths);
    text = buf;
  }
  return ZeroFill12(text);
}

std::string ReceiptField(const std::string& nr_bon) { return ZeroFill12(TextToTerminal(nr_bon)); }

Bytes BuildSale(std::uint8_t counter, double suma) {
  return BuildMessage(kCodTranzactie, counter,
                      {{kElTipTranzactie, "PUR"}, {kElSuma, AmountField(suma)}, {kElMoneda, "RON"}});
}

Bytes BuildVoid(std::uint8_t counter, double suma, const std::string& nr_bon) {
  return BuildMessage(kCodTranzactie, counter,
                      {{kElTipTranzactie, "REV"},
                       {kElSuma, AmountField(suma)},
                       {kElMoneda, "RON"},
                       {kElNrBon, ReceiptField(nr_bon)}});
}

Bytes BuildReport(std::uint8_t counter) { return BuildMessage(kCodRaport, counter, {}); }

Bytes BuildStatus(std::uint8_t counter) {
  return BuildMessage(kCodStare, counter,
                      {{kElStare, "STA"}, {kElStareParam, std::string("\x05\x01\x03\x00\x00", 5)}});
}

namespace {
std::uint8_t At(const std::string& s, std::size_t i) { return static_cast<std::uint8_t>(s[i]); }
}  // namespace

bool AckAtFront(const std::string& s) {
  return s.size() >= kAckLength && At(s, 0) == SOH && At(s, 1) == kTipAck && At(s, 7) == EOT;
}

bool MessageStartsAtFront(const std::string& s) {
  return s.size() >= kFrameOverhead && At(s, 0) == SOH && At(s, 1) == kTipMesaj;
}

std::size_t DataLength(const std::string& s) { return At(s, 3) * 256u + At(s, 4); }

std::size_t MessageAtFront(const std::string& s) {
  if (!MessageStartsAtFront(s)) return 0;
  const std::size_t total = DataLength(s) + kFrameOverhead;
  if (s.size() < total || At(s, total - 1) != EOT) return 0;
  return total;
}

std::vector<Element> ParseElements(const std::string& msg) {
  std::vector<Element> out;
  if (msg.size() < 11) return out;
  const std::size_t count = At(msg, 8);
  // The data ends before the CRC and EOT; the frame's own length field says where.
  const std::size_t data_end = msg.size() - 3;
  std::size_t p = 9;
  for (std::size_t i = 0; i < count; ++i) {
    if (p + 4 > data_end) break;
    const std::size_t len = At(msg, p + 2) * 256u + At(msg, p + 3);
    if (p + 4 + len > data_end) break;
    out.push_back({static_cast<std::uint16_t>(At(msg, p) * 256u + At(msg, p + 1)), msg.substr(p + 4, len)});
    p += 4 + len;
  }
  return out;
}

bool FrameCrcOk(const std::string& frame) {
  if (frame.size() < kFrameOverhead) return false;
  const std::size_t crc_at = frame.size() - 3;
  const std::uint16_t crc =
      CRC_16_buf(reinterpret_cast<const std::uint8_t*>(frame.data()) + 1, crc_at - 1);
  return At(frame, crc_at) == (crc >> 8) && At(frame, crc_at + 1) == (crc & 0xFF);
}

std::string ToString(const Bytes& b) { return std::string(b.begin(), b.end()); }
Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

}  // namespace tarvina::unicredit
