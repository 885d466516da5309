#include "terminals/VivaWalletIntf/VivaFrames.h"

#include <charconv>
#include <cstdint>

#include "terminals/TerminalText.h"

namespace tarvina {

std::string VivaAmount(double suma) {
  // The amount is rounded as the decimal text it came in as ("2.675" is 2.68,
  // though the nearest double lies below it), half away from zero. to_chars
  // ignores the C locale, so a "," decimal mark can never reach the terminal.
  char buf[400];
  auto res = std::to_chars(buf, buf + sizeof buf, suma, std::chars_format::fixed);
  std::string s(buf, res.ptr);
  const bool negative = !s.empty() && s[0] == '-';
  if (negative) s.erase(0, 1);
  if (s.find_first_not_of("0123456789.") != std::string::npos) return s;  // not finite
  const std::size_t dot = s.find('.');
  std::string digits = dot == std::string::npos ? s : s.substr(0, dot);
  std::string frac = dot == std::string::npos ? "" : s.substr(dot + 1);
  frac.resize(3, '0');
  digits += frac.substr(0, 2);
  if (frac[2] >= '5') {
    std::size_t i = digits.size();
    while (i > 0 && digits[i - 1] == '9') digits[--i] = '0';
    if (i == 0)
      digits.insert(0, 1, '1');
    else
      ++digits[i - 1];
  }
  std::string out = digits.substr(0, digits.size() - 2) + "." + digits.substr(digits.size() - 2);
  if (negative && digits.find_first_not_of('0') != std::string::npos) out.insert(0, 1, '-');
  return out;
}

std::string VivaLengthField(std::size_t n) {
  std::string s = std::to_string(n);
  if (s.size() < 4) s.insert(0, 4 - s.size(), '0');
  return s;
}

std::string VivaAscii(const std::string& text) { return SevenBitText(text); }

namespace {

std::string PadLeft(const std::string& s, std::size_t width) {
  return s.size() >= width ? s : std::string(width - s.size(), '0') + s;
}

std::size_t TotalLength(const std::vector<const std::string*>& fields) {
  std::size_t n = 0;
  for (const auto* f : fields) n += f->size();
  return n;
}

}  // namespace

TVivaSaleRequest MakeVivaSale(double suma, const std::string& aSessionID, const std::string& aTransactionID) {
  TVivaSaleRequest r;
  r.sessionId = VivaAscii(aSessionID);
  r.uniqueTxnId = VivaAscii(aTransactionID);
  r.amount = VivaAmount(suma);
  const std::size_t body = TotalLength({&r.sessionId, &r.msgType, &r.msgCode, &r.uniqueTxnId, &r.amount,
                                        &r.msgOpt, &r.R1, &r.R2, &r.R3, &r.R4});
  r.msgLength = VivaLengthField(body + 11);
  return r;
}

TVivaSaleCancel MakeVivaCancel(double suma, const std::string& NrBon) {
  TVivaSaleCancel r;
  const std::string bon = VivaAscii(NrBon);
  r.sessionId = PadLeft(bon, 6).substr(0, 6);
  r.uniqueTxnId = PadLeft(bon, 32);
  r.amount = VivaAmount(suma);
  r.refNum = r.sessionId;
  const std::size_t body =
      TotalLength({&r.sessionId, &r.msgType, &r.msgCode, &r.uniqueTxnId, &r.amount, &r.refNum});
  r.msgLength = VivaLengthField(body + 6);
  return r;
}

std::string VivaFieldsLine(const std::vector<std::string>& fields) {
  std::string s;
  for (const auto& f : fields) {
    s += f;
    s += '|';
  }
  return s;
}

std::string VivaLine(const TVivaSaleRequest& r) {
  return VivaFieldsLine({r.msgLength, r.sessionId, r.msgType, r.msgCode, r.uniqueTxnId, r.amount, r.msgOpt, r.R1, r.R2,
                   r.R3, r.R4});
}

std::string VivaLine(const TVivaSaleCancel& r) {
  return VivaFieldsLine({r.msgLength, r.sessionId, r.msgType, r.msgCode, r.uniqueTxnId, r.amount, r.refNum});
}

std::string VivaReplyText(const std::string& bytes) {
  std::string kept;
  kept.reserve(bytes.size());
  for (char c : bytes)
    if (c != 0) kept += c;
  return TextFromTerminal(kept);
}

std::vector<std::string> VivaSplit(const std::string& text) {
  std::vector<std::string> fields;
  if (text.empty()) return fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t bar = text.find('|', start);
    if (bar == std::string::npos) {
      fields.push_back(text.substr(start));
      return fields;
    }
    fields.push_back(text.substr(start, bar - start));
    start = bar + 1;
  }
}

VivaReplyState VivaReplyStatus(const std::string& bytes) {
  std::size_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    if (i == bytes.size()) return VivaReplyState::Short;
    const char c = bytes[i];
    if (c < '0' || c > '9') return VivaReplyState::NoLength;
    value = value * 10 + static_cast<std::size_t>(c - '0');
  }
  return bytes.size() - 4 >= value ? VivaReplyState::Complete : VivaReplyState::Short;
}

VivaVerdict JudgeVivaReply(const std::vector<std::string>& fields) {
  VivaVerdict v;
  v.ok = fields.size() >= 5 && fields[4] == "00";
  if (v.ok) {
    if (fields.size() >= 30) v.idTranzactie = fields[29];
    if (fields.size() >= 31) v.dataTranzactie = fields[30];
  } else if (fields.size() >= 6) {
    v.mesajEroare = fields[5];
  }
  return v;
}

}  // namespace tarvina
