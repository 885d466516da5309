#include "server/Validation.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <initializer_list>

#include "server/Packets.h"

namespace tarvina {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexValue(char c) {
  if (IsDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::size_t SkipDigits(const std::string& s, std::size_t i) {
  while (i < s.size() && IsDigit(s[i])) ++i;
  return i;
}

// Far beyond any double, small enough that adding a digit count cannot overflow.
constexpr std::int64_t kExponentCap = 1'000'000'000;

// The power of ten just above the mantissa's first significant digit ("123,4"
// gives 3, ",05" gives -1); only its sign and size matter. Called for a
// non-zero mantissa.
std::int64_t DecimalOrder(const std::string& s, std::size_t intBegin, std::size_t intEnd,
                          std::size_t fracBegin, std::size_t fracEnd) {
  for (std::size_t k = intBegin; k < intEnd; ++k)
    if (s[k] != '0') return static_cast<std::int64_t>(intEnd - k);
  for (std::size_t k = fracBegin; k < fracEnd; ++k)
    if (s[k] != '0') return -static_cast<std::int64_t>(k - fracBegin);
  return 0;
}

std::string ReadInfo(const TKeyStore& keys, const char* key) {
  return keys.ReadString(kInfoSection, key);
}

std::int32_t IntegerOr(const std::string& text, std::int32_t fallback) {
  std::int32_t v;
  return TryIntegerText(text, v) ? v : fallback;
}

bool OneOf(std::int32_t v, std::initializer_list<std::int32_t> set) {
  for (std::int32_t x : set)
    if (v == x) return true;
  return false;
}

std::string Quoted(const char* name) { return std::string("\"") + name + "\""; }

std::string ParamError(const char* name, const std::string& shown) {
  return "Parametrul " + Quoted(name) + " este eronat (" + shown + ")";
}

// How many digits of hundredths the amount field of each kind carries. The
// serial kinds of 3 to 6 send twelve, zero-filled, and would cut a longer
// value to a different amount. BRD and Viva Wallet send the digits as they
// come; there the limit is what a double holds exactly, so that the digits
// the terminal gets are the amount that was asked for.
struct AmountWidth {
  std::int32_t tipPos;
  int digits;
};
constexpr AmountWidth kAmountWidths[] = {{1, 15}, {3, 12}, {4, 12}, {5, 12}, {6, 12}, {7, 15}};

}  // namespace

bool AmountFitsTerminal(std::int32_t tipPos, double suma) {
  // "-0" is zero; anything below it would reach the terminal with a sign.
  if (!(suma >= 0)) return false;
  const double hundredths = std::round(suma * 100.0);
  if (!std::isfinite(hundredths)) return false;
  for (const AmountWidth& w : kAmountWidths)
    if (w.tipPos == tipPos) return hundredths < std::pow(10.0, w.digits);
  return false;
}

bool TryIntegerText(const std::string& text, std::int32_t& value) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';

  bool hex = false;
  if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    hex = true;
    i += 1;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i == text.size()) return false;

  // Limits checked per digit, so a run of any length cannot overflow.
  const std::uint64_t limit = hex ? 0xFFFFFFFFull : (negative ? 0x80000000ull : 0x7FFFFFFFull);
  const unsigned base = hex ? 16 : 10;
  std::uint64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    const int d = hex ? HexValue(text[i]) : (IsDigit(text[i]) ? text[i] - '0' : -1);
    if (d < 0) return false;
    magnitude = magnitude * base + static_cast<unsigned>(d);
    if (magnitude > limit) return false;
  }
  // Two's complement in 32 bits: a hex pattern keeps its bits, and negation
  // wraps the way a 32-bit register would.
  std::uint32_t bits = static_cast<std::uint32_t>(magnitude);
  if (negative) bits = 0u - bits;
  value = static_cast<std::int32_t>(bits);
  return true;
}

bool TryAmountText(const std::string& text, double& value) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';

  const std::size_t intBegin = i;
  const std::size_t intEnd = i = SkipDigits(text, i);
  const bool comma = i < text.size() && text[i] == ',';
  const std::size_t fracBegin = comma ? i + 1 : i;
  const std::size_t fracEnd = i = SkipDigits(text, fracBegin);
  if (intEnd == intBegin && !comma) return false;

  bool expNegative = false;
  std::size_t expBegin = i, expEnd = i;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) expNegative = text[i++] == '-';
    expBegin = i;
    expEnd = i = SkipDigits(text, i);
    if (expEnd == expBegin) return false;
  }
  while (i < text.size() && text[i] == ' ') ++i;
  if (i != text.size()) return false;

  // The validated parts again as "-I.FeX", which from_chars reads the same
  // whatever the process locale says about decimal marks.
  std::string normal = negative ? "-" : "";
  normal.append(intEnd > intBegin ? text.substr(intBegin, intEnd - intBegin) : "0");
  normal += '.';
  normal.append(fracEnd > fracBegin ? text.substr(fracBegin, fracEnd - fracBegin) : "0");
  std::int64_t exponent = 0;
  if (expEnd > expBegin) {
    normal += expNegative ? "e-" : "e";
    normal.append(text, expBegin, expEnd - expBegin);
    for (std::size_t k = expBegin; k < expEnd; ++k)
      exponent = std::min<std::int64_t>(exponent * 10 + (text[k] - '0'), kExponentCap);
    if (expNegative) exponent = -exponent;
  }

  double v = 0;
  const auto r = std::from_chars(normal.data(), normal.data() + normal.size(), v,
                                 std::chars_format::general);
  if (r.ec == std::errc::result_out_of_range) {
    // Either beyond the largest double or too close to zero for one. The
    // first is not an amount; the second reads as zero.
    if (DecimalOrder(text, intBegin, intEnd, fracBegin, fracEnd) + exponent > 0) return false;
    value = negative ? -0.0 : 0.0;
    return true;
  }
  if (r.ec != std::errc() || r.ptr != normal.data() + normal.size() || !std::isfinite(v))
    return false;
  value = v;
  return true;
}

std::string AmountText(const std::string& raw) {
  std::string text = raw;
  const std::size_t dot = text.find('.');
  if (dot != std::string::npos) text[dot] = ',';
  return text;
}

bool DateValide(const TKeyStore& keys, TDateCerere& d) {
  d = TDateCerere{};
  d.Operatie = IntegerOr(ReadInfo(keys, "Operatie"), -1);
  d.TipPos = IntegerOr(ReadInfo(keys, "TipPos"), -1);
  d.ComPortRS232 = IntegerOr(ReadInfo(keys, "PortSerial"), -1);
  const std::string amount = AmountText(ReadInfo(keys, "Suma"));
  d.FSessionID = IntegerOr(ReadInfo(keys, "SessionID"), 0);
  d.FNrBon = ReadInfo(keys, "NrBon");
  d.FIPPosViva = ReadInfo(keys, "IPPosViva");

  const auto reject = [&](std::string msg) {
    d.ErrorMsg = std::move(msg);
    return false;
  };
  if (!OneOf(d.Operatie, {0, 1, 2})) return reject(ParamError("Operatie", std::to_string(d.Operatie)));
  if (!OneOf(d.TipPos, {1, 3, 4, 5, 6, 7})) return reject(ParamError("TipPos", std::to_string(d.TipPos)));
  if (d.Operatie == 1 && !OneOf(d.TipPos, {3, 4, 5}))
    return reject("Aceasta optiune este functionala doar pentru POS-uri Transilvania, Unicredit si BRD Hypercom");
  if (d.Operatie == 2 && !OneOf(d.TipPos, {3, 4, 5, 6, 7}))
    return reject(
        "Aceasta optiune este functionala doar pentru POS-uri Transilvania, Unicredit, BRD Hypercom, "
        "Verofone si Viva Wallet");
  if (d.ComPortRS232 <= 0) return reject(ParamError("PortSerial", std::to_string(d.ComPortRS232)));
  if (d.Operatie == 0 || d.Operatie == 2) {
    if (!TryAmountText(amount, d.FSuma) || !AmountFitsTerminal(d.TipPos, d.FSuma))
      return reject(ParamError("Suma", amount));
  }
  if (d.Operatie == 2 && d.FNrBon.empty()) return reject("Nu ai transmis parametrul " + Quoted("NrBon"));
  return true;
}

}  // namespace tarvina
