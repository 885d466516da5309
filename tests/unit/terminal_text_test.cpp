// The one crossing between a terminal's 8-bit text and the server's UTF-8.
#include "terminals/TerminalText.h"

#include <gtest/gtest.h>

#include <string>

#include "server/Packets.h"

namespace tarvina {
namespace {

TEST(TerminalText, EachByteFromATerminalIsOneCharacter) {
  const struct {
    std::string bytes, text, toClient;
  } cases[] = {
      {"APROBAT", "APROBAT", "APROBAT"},
      {"\xC3\xA9", "\xC3\x83\xC2\xA9", "??"},  // the UTF-8 form of é is two characters here
      {"CAF\xC9", "CAF\xC3\x89", "CAF?"},
      {std::string("A\0B\x7F", 4), std::string("A\0B\x7F", 4), std::string("A\0B\x7F", 4)},
      {"\x80\xFF", "\xC2\x80\xC3\xBF", "??"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.toClient);
    EXPECT_EQ(TextFromTerminal(c.bytes), c.text);
    EXPECT_EQ(SevenBitText(c.text), c.toClient);
    EXPECT_EQ(TextToTerminal(c.text), c.bytes) << "back to the same bytes";
  }
}

TEST(TerminalText, EachCharacterToATerminalIsItsLowByte) {
  const struct {
    std::string text, bytes;
  } cases[] = {
      {"57", "57"},
      {"\xEF\xBF\xBD", "\xFD"},              // U+FFFD, as a request byte above 0x7F reads
      {"A\xC3\xA9" "1", "A\xE9" "1"},        // é
      {"\xC4\x80\xF0\x9F\x98\x80", std::string("\x00\x00", 2)},  // U+0100 and U+1F600
      {"\x80" "A\xC3", "\x80" "A\xC3"},      // bytes that start no character stand for themselves
      {"\xE0\x80\xAF", "\xE0\x80\xAF"},      // an overlong form is three such bytes
  };
  for (const auto& c : cases) EXPECT_EQ(TextToTerminal(c.text), c.bytes) << c.text;
}

TEST(TerminalText, EveryByteSurvivesTheRoundTrip) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  EXPECT_EQ(TextToTerminal(TextFromTerminal(all)), all);
  EXPECT_EQ(EncodeReplyLine(TextFromTerminal(all)), all.substr(0, 128) + std::string(128, '?') + "\r\n");
}

}  // namespace
}  // namespace tarvina
