#include "server/Packets.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/KeyStore.h"

namespace tarvina {
namespace {

const std::string kFffd = "\xEF\xBF\xBD";

std::vector<std::string> FeedAll(LineAssembler& a, const std::string& bytes, bool* ok = nullptr) {
  std::vector<std::string> out;
  const bool r = a.Feed(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), out);
  if (ok) *ok = r;
  return out;
}

struct LineCase {
  const char* name;
  std::string bytes;
  std::vector<std::string> lines;
  std::size_t pending;  // bytes of an unfinished last line
};

TEST(LineAssembler, SplitsLinesAlikeWhateverTheChunking) {
  const std::vector<LineCase> cases = {
      {"bare LF and CR LF read alike", "a=1\nb=2\r\n", {"a=1", "b=2"}, 0},
      {"CR inside a line stays", "a\rb\r\n", {"a\rb"}, 0},
      {"only the CR right before LF goes", "a\r\r\n", {"a\r"}, 0},
      {"lone CR at the end is not a line end", "a\r", {}, 2},
      {"blanks belong to the line", "  x \n", {"  x "}, 0},
      {"empty lines", "\n\r\n", {"", ""}, 0},
      {"high bytes become U+FFFD", "v=\xE9\xFF\x80!\n", {"v=" + kFffd + kFffd + kFffd + "!"}, 0},
      {"7-bit control bytes kept", std::string("\x00\x01\x7F\n", 4), {std::string("\x00\x01\x7F", 3)}, 0},
      {"unfinished line held back", "[InfoPachet]\nOper", {"[InfoPachet]"}, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LineAssembler whole;
    EXPECT_EQ(FeedAll(whole, c.bytes), c.lines);
    EXPECT_EQ(whole.Pending(), c.pending);

    // Byte by byte splits every CR from its LF and every U+FFFD source byte.
    LineAssembler bytewise;
    std::vector<std::string> got;
    for (char ch : c.bytes) {
      const auto b = static_cast<std::uint8_t>(ch);
      ASSERT_TRUE(bytewise.Feed(&b, 1, got));
    }
    EXPECT_EQ(got, c.lines);
  }
}

TEST(LineAssembler, LimitCountsBytesBeforeTheLineFeed) {
  const std::string full(kMaxLineBytes, 'A');
  {
    LineAssembler a;
    bool ok = false;
    const auto lines = FeedAll(a, full + "\n", &ok);
    EXPECT_TRUE(ok);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], full);
  }
  {
    // The client sent 16385 bytes before the LF; the CR is one of them.
    LineAssembler a;
    bool ok = true;
    FeedAll(a, full + "\r\n", &ok);
    EXPECT_FALSE(ok);
  }
  {
    // High bytes count once on the wire though they grow to three in text.
    LineAssembler a;
    bool ok = false;
    const auto lines = FeedAll(a, std::string(kMaxLineBytes, '\xE9') + "\n", &ok);
    EXPECT_TRUE(ok);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].size(), 3 * kMaxLineBytes);
  }
}

TEST(LineAssembler, OverlongLineFailsWithoutWaitingForItsEnd) {
  LineAssembler a;
  bool ok = true;
  // Earlier lines of the same chunk are delivered; the long one never is.
  auto lines = FeedAll(a, "first\nsecond\n" + std::string(kMaxLineBytes + 1, 'x'), &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(lines, (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(a.Pending(), 0u);

  // Once failed it stays failed, even for well-formed input.
  lines = FeedAll(a, "next\n", &ok);
  EXPECT_FALSE(ok);
  EXPECT_TRUE(lines.empty());
}

TEST(LineAssembler, OverlongAcrossChunks) {
  LineAssembler a;
  bool ok = false;
  FeedAll(a, std::string(kMaxLineBytes - 1, 'x'), &ok);
  EXPECT_TRUE(ok);
  FeedAll(a, "y", &ok);
  EXPECT_TRUE(ok);  // exactly at the limit: still a line if the LF comes now
  FeedAll(a, "z", &ok);
  EXPECT_FALSE(ok);
}

TEST(ReplyEncoding, EveryNonAsciiCharacterIsOneQuestionMark) {
  const struct {
    const char* name;
    std::string text, bytes;
  } cases[] = {
      {"ascii", "Server ocupat", "Server ocupat\r\n"},
      {"empty", "", "\r\n"},
      {"own CR kept", "Eroare\rPOS", "Eroare\rPOS\r\n"},
      {"U+FFFD", "a" + kFffd + "b", "a?b\r\n"},
      {"two-byte", "\xC3\xA9", "?\r\n"},
      {"four-byte", "\xF0\x9F\x98\x80", "?\r\n"},
      {"stray continuation bytes", "\x80\xBF", "??\r\n"},
      {"truncated sequence, then ascii", "\xE2\x82Z", "??Z\r\n"},
      {"overlong form", "\xC0\xAF", "??\r\n"},
      {"surrogate", "\xED\xA0\x80", "???\r\n"},
      {"truncated at the end", "\xF0\x9F", "??\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string got = EncodeReplyLine(c.text);
    EXPECT_EQ(got, c.bytes);
  }
}

TEST(ReplyEncoding, ReplyPackets) {
  EXPECT_EQ(ReplyOkBytes(), "PROCESAREOK\r\n[ENDPACHET]\r\n");
  EXPECT_EQ(ReplyErrorBytes("Server ocupat. Incearca mai tarziu"),
            "ERROR\r\nServer ocupat. Incearca mai tarziu\r\n[ENDPACHET]\r\n");
  EXPECT_EQ(ReplyErrorBytes(""), "ERROR\r\n\r\n[ENDPACHET]\r\n");
  EXPECT_EQ(ReplyErrorBytes("Tranzactie\r\nrefuzata\r"), "ERROR\r\nTranzactie\r\nrefuzata\r\r\n[ENDPACHET]\r\n");
  EXPECT_EQ(ReplyErrorBytes("(12" + kFffd + ")"), "ERROR\r\n(12?)\r\n[ENDPACHET]\r\n");
}

TEST(Packets, EndLine) {
  const struct {
    std::string line;
    bool end;
  } cases[] = {
      {"[ENDPACHET]", true},  {"[endpachet]", true},   {"[EndPachet]", true},
      {" [ENDPACHET]", false}, {"[ENDPACHET] ", false}, {"[ENDPACHET]\r", false},
      {"ENDPACHET", false},   {"[ENDPACHE]", false},   {"", false},
      {"[ENDPACHET]]", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsEndLine(c.line), c.end) << '"' << c.line << '"';
}

TEST(Packets, StopPacket) {
  using L = std::vector<std::string>;
  EXPECT_TRUE(IsStopPacket(L{"STOP", "[ENDPACHET]"}));
  EXPECT_TRUE(IsStopPacket(L{"STOP", "anything", "[endpachet]"}));
  EXPECT_FALSE(IsStopPacket(L{"STOP"}));
  EXPECT_FALSE(IsStopPacket(L{"stop", "[ENDPACHET]"}));
  EXPECT_FALSE(IsStopPacket(L{"STOP ", "[ENDPACHET]"}));
  EXPECT_FALSE(IsStopPacket(L{" STOP", "[ENDPACHET]"}));
  EXPECT_FALSE(IsStopPacket(L{"[InfoPachet]", "STOP", "[ENDPACHET]"}));
  EXPECT_FALSE(IsStopPacket(L{}));
}

TEST(Packets, RequestSurvivesTheWire) {
  const auto lines = RequestLines({{"Operatie", "0"}, {"TipPos", "3"}, {"Suma", "12.50"}});
  const std::string bytes = EncodeLines(lines);
  EXPECT_EQ(bytes, "[InfoPachet]\r\nOperatie=0\r\nTipPos=3\r\nSuma=12.50\r\n[ENDPACHET]\r\n");

  LineAssembler a;
  const auto read = FeedAll(a, bytes);
  ASSERT_EQ(read, lines);
  EXPECT_TRUE(IsEndLine(read.back()));
  TKeyStore keys;
  keys.Load(read);
  EXPECT_EQ(keys.ReadString("InfoPachet", "Suma"), "12.50");
  EXPECT_EQ(keys.ReadString("InfoPachet", "TipPos"), "3");
}

// --- key store -------------------------------------------------------------

struct KeyCase {
  const char* name;
  std::vector<std::string> lines;
  const char* section;
  const char* key;
  const char* value;  // nullptr: absent
};

TEST(KeyStore, ReadsIniRules) {
  const std::vector<KeyCase> cases = {
      {"plain", {"[InfoPachet]", "Operatie=0"}, "InfoPachet", "Operatie", "0"},
      {"names ignore case, blanks round = go", {"[infopachet]", "operatie = 2"}, "InfoPachet", "Operatie", "2"},
      {"lookup case ignored too", {"[InfoPachet]", "TipPos=3"}, "INFOPACHET", "tippos", "3"},
      {"line trimmed of controls", {"\t [InfoPachet] \r", " \tSuma=5\r"}, "InfoPachet", "Suma", "5"},
      {"blanks inside the value kept", {"[InfoPachet]", "NrBon=  a  b  "}, "InfoPachet", "NrBon", "a  b"},
      {"first = splits", {"[InfoPachet]", "NrBon=a=b="}, "InfoPachet", "NrBon", "a=b="},
      {"last occurrence wins", {"[InfoPachet]", "Suma=5", "Suma=7"}, "InfoPachet", "Suma", "7"},
      {"last occurrence without = reads absent", {"[InfoPachet]", "Suma=5", "Suma"}, "InfoPachet", "Suma", nullptr},
      {"key without = is absent", {"[InfoPachet]", "Suma"}, "InfoPachet", "Suma", nullptr},
      {"empty value is a value", {"[InfoPachet]", "Suma="}, "InfoPachet", "Suma", ""},
      {"key before any section skipped", {"Operatie=0", "[InfoPachet]"}, "InfoPachet", "Operatie", nullptr},
      {"comment skipped", {"[InfoPachet]", ";Operatie=1"}, "InfoPachet", "Operatie", nullptr},
      {"indented comment skipped", {"[InfoPachet]", "Operatie=1", "  ;Operatie=2"}, "InfoPachet", "Operatie", "1"},
      {"semicolon later in a line is data", {"[InfoPachet]", "NrBon=12;34"}, "InfoPachet", "NrBon", "12;34"},
      {"sections of one name merge",
       {"[InfoPachet]", "Operatie=0", "[Alta]", "TipPos=9", "[INFOPACHET]", "TipPos=3"}, "InfoPachet", "Operatie", "0"},
      {"merged section takes later keys",
       {"[InfoPachet]", "Operatie=0", "[Alta]", "TipPos=9", "[INFOPACHET]", "TipPos=3"}, "InfoPachet", "TipPos", "3"},
      {"other section keeps its own", {"[InfoPachet]", "[Alta]", "TipPos=9"}, "InfoPachet", "TipPos", nullptr},
      {"section name trimmed", {"[  InfoPachet\t]", "A=1"}, "InfoPachet", "A", "1"},
      {"end line is a section of its own", {"[InfoPachet]", "A=1", "[ENDPACHET]", "A=2"}, "InfoPachet", "A", "1"},
      {"lone bracket is a key line", {"[InfoPachet]", "[", "A=1"}, "InfoPachet", "A", "1"},
      {"empty section name", {"[]", "A=1"}, "", "A", "1"},
      {"key trimmed only at its end", {"[InfoPachet]", "Suma  \t=9"}, "InfoPachet", "Suma", "9"},
      {"empty key", {"[InfoPachet]", "=9"}, "InfoPachet", "", "9"},
      {"no sections at all", {"[ENDPACHET]"}, "InfoPachet", "Operatie", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TKeyStore keys;
    keys.Load(c.lines);
    EXPECT_EQ(keys.HasKey(c.section, c.key), c.value != nullptr);
    EXPECT_EQ(keys.ReadString(c.section, c.key), c.value ? c.value : "");
  }
}

TEST(KeyStore, LoadStartsFromEmpty) {
  TKeyStore keys;
  keys.Load({"[InfoPachet]", "Operatie=0", "[ENDPACHET]"});
  ASSERT_EQ(keys.ReadString("InfoPachet", "Operatie"), "0");
  keys.Load({"[InfoPachet]", "TipPos=3", "[ENDPACHET]"});
  EXPECT_FALSE(keys.HasKey("InfoPachet", "Operatie"));
  EXPECT_EQ(keys.ReadString("InfoPachet", "TipPos"), "3");
  keys.Clear();
  EXPECT_FALSE(keys.HasSection("InfoPachet"));
}

}  // namespace
}  // namespace tarvina
