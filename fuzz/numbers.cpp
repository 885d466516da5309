// The integer and amount text parsers against the C library's conversions,
// which read the same numbers in the "C" locale.
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "server/Validation.h"

using namespace tarvina;

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

bool OnlyOf(const std::string& s, std::size_t from, const char* set) {
  if (from >= s.size()) return false;
  for (std::size_t i = from; i < s.size(); ++i)
    if (!std::strchr(set, s[i]) || s[i] == '\0') return false;
  return true;
}

void CheckInteger(const std::string& text) {
  std::int32_t v = 0;
  const bool ok = TryIntegerText(text, v);
  std::size_t i = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) i = 1;

  std::size_t digits = i;
  bool hex = false;
  if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    hex = true;
    digits = i + 1;
  } else if (text.compare(i, 2, "0x") == 0 || text.compare(i, 2, "0X") == 0) {
    hex = true;
    digits = i + 2;
  }
  const char* set = hex ? "0123456789abcdefABCDEF" : "0123456789";
  if (!OnlyOf(text, digits, set)) {
    Check(!ok);
    return;
  }
  errno = 0;
  const unsigned long long magnitude = std::strtoull(text.c_str() + digits, nullptr, hex ? 16 : 10);
  const bool tooBig = errno == ERANGE;
  if (hex) {
    Check(ok == (!tooBig && magnitude <= 0xFFFFFFFFull));
    if (ok) {
      std::uint32_t bits = static_cast<std::uint32_t>(magnitude);
      if (negative) bits = 0u - bits;
      Check(v == static_cast<std::int32_t>(bits));
    }
  } else {
    const long long limit = negative ? 2147483648LL : 2147483647LL;
    Check(ok == (!tooBig && magnitude <= static_cast<unsigned long long>(limit)));
    if (ok) Check(static_cast<long long>(v) == (negative ? -static_cast<long long>(magnitude)
                                                         : static_cast<long long>(magnitude)));
  }
}

void CheckAmount(const std::string& text) {
  double v = 0;
  const bool ok = TryAmountText(text, v);
  if (ok) Check(std::isfinite(v));

  // strtod reads "." where we read ",", and knows no lone mark; outside
  // that shape (digits, one mark, exponent, blanks) the two are not comparable.
  std::string c = text;
  std::size_t marks = 0;
  for (char& ch : c) {
    if (ch == ',') {
      ch = '.';
      ++marks;
    }
  }
  const std::size_t first = c.find_first_not_of(' ');
  if (first == std::string::npos || marks > 1 || !OnlyOf(c, first, "0123456789.eE+- ")) {
    if (marks > 1) Check(!ok);
    return;
  }
  const std::size_t body = first + (c[first] == '+' || c[first] == '-');
  if (body >= c.size() || !(std::isdigit(static_cast<unsigned char>(c[body])) ||
                            (c[body] == '.' && body + 1 < c.size() &&
                             std::isdigit(static_cast<unsigned char>(c[body + 1])))))
    return;
  char* end = nullptr;
  errno = 0;
  const double ref = std::strtod(c.c_str(), &end);
  const bool overflow = errno == ERANGE && std::isinf(ref);
  while (*end == ' ') ++end;
  const bool whole = *end == '\0';
  if (!whole || overflow) {
    Check(!ok);
    return;
  }
  // A "." in the text is no mark of ours, though strtod takes it.
  if (text.find('.') == std::string::npos) Check(ok);
  if (ok) Check(v == ref);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  CheckInteger(text);
  CheckAmount(text);
  return 0;
}
