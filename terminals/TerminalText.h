#pragma once
// Text on a terminal's line is 8-bit: one byte is one character, the
// character of that code. Inside the server text is UTF-8, where a character
// above 0x7F takes two bytes or more. Every serial kind crosses between the
// two here, in both directions, so that a terminal's message keeps its length
// on its way to the client and a field sent to a terminal has as many bytes
// as it has characters.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarvina {

// The bytes a terminal sent, as text: each byte the character of its code.
std::string TextFromTerminal(const std::uint8_t* data, std::size_t n);
std::string TextFromTerminal(std::string_view bytes);

// Text as a terminal gets it: each character one byte, the low byte of its
// code. Fill and cut a field after this, so that both count characters.
std::string TextToTerminal(std::string_view text);

// Text on a 7-bit line (the client's, a Viva Wallet terminal's): each
// character one byte, every character above 0x7F as "?".
std::string SevenBitText(std::string_view text);

// The character at text[i], moving i past it: a UTF-8 sequence gives its
// code; a byte that starts none (a stray continuation byte, a truncated or
// overlong form, a surrogate) counts as one character of its own value.
std::uint32_t NextCharacter(std::string_view text, std::size_t& i);

}  // namespace tarvina
