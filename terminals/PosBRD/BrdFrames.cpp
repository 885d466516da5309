#include "terminals/PosBRD/BrdFrames.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tarvina::brd {

namespace {

template <typename Msg, typename Ptr>
std::array<Ptr, kFieldCount> FieldsOf(Msg& m) {
  return {&m.Indentifier, &m.TerminalID, &m.SourceID, &m.SeqNumber, &m.TransType, &m.PrintFlg,
          &m.CashierID, &m.TransNr, &m.FS1, &m.TransAmount1, &m.FS2, &m.FS3, &m.AmountExp, &m.FS4,
          &m.AmountCurr, &m.FS5, &m.FS6, &m.FS7, &m.FS8, &m.AuthCode, &m.FS9, &m.FS10, &m.FS11,
          &m.InputLabel, &m.FS12, &m.InsurancePNo, &m.FS13, &m.InstallNo, &m.FS14, &m.MinInputLen,
          &m.MaxInputLen, &m.MaxInputData, &m.FS15, &m.LanguageID, &m.FS16, &m.PrintData, &m.FS17,
          &m.CashierID2, &m.FS18, &m.TransAmount2, &m.FS19, &m.PaySrvData, &m.FS20};
}

// Reads positions [first, first + n) of the frame (1-based) as text; the
// buffer is zero past what was received, so short frames read as zero bytes.
std::string Positions(const RecvBuffer& b, std::size_t first, std::size_t n) {
  std::string s;
  for (std::size_t p = first; p < first + n && p <= kBufferSize; ++p) s += static_cast<char>(b[p - 1]);
  return s;
}

}  // namespace

std::array<const std::string*, kFieldCount> Fields(const TWriteMsg& m) {
  return FieldsOf<const TWriteMsg, const std::string*>(m);
}

std::array<std::string*, kFieldCount> Fields(TWriteMsg& m) { return FieldsOf<TWriteMsg, std::string*>(m); }

void InitWriteMsg(TWriteMsg& m) {
  m = TWriteMsg{};
  const std::string fs(1, static_cast<char>(FS));
  m.Indentifier = "00";
  m.TerminalID = "00";
  m.SourceID = "00";
  m.SeqNumber = "0000";
  m.TransType = "01";
  m.PrintFlg = "1";
  m.CashierID = "00";
  m.AmountExp = "+0";
  m.AmountCurr = "946";
  m.LanguageID = "00";
  for (std::string* f : {&m.FS1, &m.FS2, &m.FS3, &m.FS4, &m.FS5, &m.FS6, &m.FS7, &m.FS8, &m.FS9, &m.FS10,
                         &m.FS11, &m.FS12, &m.FS13, &m.FS14, &m.FS15, &m.FS16, &m.FS17, &m.FS18, &m.FS19,
                         &m.FS20})
    *f = fs;
}

std::string AmountField(double suma) {
  if (!std::isfinite(suma)) return "0";
  // Half away from zero, as the amount is read off a till; adding 0.0 turns a
  // rounded -0 into 0 so that no sign appears for a zero amount.
  const double hundredths = std::round(suma * 100.0) + 0.0;
  char text[400];
  std::snprintf(text, sizeof text, "%.0f", hundredths);
  return text;
}

std::uint8_t Lrc(const std::uint8_t* body, std::size_t n) {
  std::uint8_t x = ETX;
  for (std::size_t i = 0; i < n; ++i) x ^= body[i];
  return x;
}

std::vector<std::uint8_t> RequestFrame(const std::uint8_t* body, std::size_t n) {
  std::vector<std::uint8_t> f;
  f.reserve(n + 4);
  f.push_back(STX);
  f.push_back(STX);
  f.insert(f.end(), body, body + n);
  f.push_back(ETX);
  f.push_back(Lrc(body, n));
  return f;
}

bool FrameComplete(const RecvBuffer& b, std::size_t held) {
  if (held == 0 || held > kBufferSize || b[0] != STX) return false;
  return b[held - 1] == ETX || (held > 2 && b[held - 2] == ETX);
}

std::string GetMesajEroare(const RecvBuffer& b) {
  std::string s;
  for (std::size_t p = 10; p <= kBufferSize && b[p - 1] >= 0x30; ++p) s += static_cast<char>(b[p - 1]);
  return s;
}

std::string GetMotiv(const RecvBuffer& b) { return Positions(b, 132, 22); }

std::vector<std::uint8_t> TerminalFrame(const std::string& content) {
  std::vector<std::uint8_t> f(content.size() + 3);
  f[0] = STX;
  std::copy(content.begin(), content.end(), f.begin() + 1);
  f[content.size() + 1] = ETX;
  f[content.size() + 2] = Lrc(f.data() + 1, content.size());
  return f;
}

std::string FinalAnswer(const std::string& code, const std::string& reason) {
  // Content index i is frame position i + 2. What lies between the fields is
  // not read by the PC; '0' keeps it printable.
  std::string c = "10" + std::string(10, '0') + code.substr(0, 2);
  if (!reason.empty()) {
    c.resize(130, '0');
    std::string r = reason.substr(0, 22);
    r.resize(22, ' ');
    c += r;
  }
  return c;
}

std::string IntermediateAnswer(const std::string& text) { return "20000000" + text + static_cast<char>(FS); }

std::string MessageAnswer(const std::string& text) { return "22000000" + text + static_cast<char>(FS); }

ParsedRequest ParseRequest(const std::uint8_t* data, std::size_t n) {
  ParsedRequest r;
  if (n < 2 || data[0] != STX || data[1] != STX) return r;
  std::size_t etx = 2;
  while (etx < n && data[etx] != ETX) ++etx;
  if (etx + 1 >= n) return r;  // no ETX yet, or no LRC after it
  r.complete = true;
  r.length = etx + 2;
  r.body.assign(data + 2, data + etx);
  r.lrc_ok = Lrc(r.body.data(), r.body.size()) == data[etx + 1];
  return r;
}

std::string RequestAmount(const std::vector<std::uint8_t>& body) {
  std::size_t i = 0;
  while (i < body.size() && body[i] != FS) ++i;
  std::string amount;
  for (++i; i < body.size() && body[i] != FS; ++i) amount += static_cast<char>(body[i]);
  return amount;
}

}  // namespace tarvina::brd
