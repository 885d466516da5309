#include "terminals/TerminalText.h"

namespace tarvina {

namespace {

// Length of the valid UTF-8 sequence starting at s[i] and its code, or 0 when
// none starts there.
std::size_t Utf8Sequence(std::string_view s, std::size_t i, std::uint32_t& cp) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char lead = b(i);
  std::size_t len;
  if (lead >= 0xC2 && lead <= 0xDF) {
    len = 2;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    len = 3;
    cp = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    len = 4;
    cp = lead & 0x07;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
      (cp >= 0xD800 && cp <= 0xDFFF))
    return 0;
  return len;
}

}  // namespace

std::uint32_t NextCharacter(std::string_view text, std::size_t& i) {
  const auto c = static_cast<unsigned char>(text[i]);
  std::uint32_t cp = c;
  const std::size_t len = c < 0x80 ? 1 : Utf8Sequence(text, i, cp);
  if (len == 0) {
    i += 1;
    return c;
  }
  i += len;
  return cp;
}

std::string TextFromTerminal(const std::uint8_t* data, std::size_t n) {
  std::string text;
  text.reserve(n);
  for (std::size_t k = 0; k < n; ++k) {
    const std::uint8_t c = data[k];
    if (c < 0x80) {
      text += static_cast<char>(c);
    } else {
      text += static_cast<char>(0xC0 | (c >> 6));
      text += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return text;
}

std::string TextFromTerminal(std::string_view bytes) {
  return TextFromTerminal(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

std::string TextToTerminal(std::string_view text) {
  std::string bytes;
  bytes.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) bytes += static_cast<char>(NextCharacter(text, i) & 0xFF);
  return bytes;
}

std::string SevenBitText(std::string_view text) {
  std::string bytes;
  bytes.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::uint32_t c = NextCharacter(text, i);
    bytes += c < 0x80 ? static_cast<char>(c) : '?';
  }
  return bytes;
}

}  // namespace tarvina
