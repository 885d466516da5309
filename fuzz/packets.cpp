// Arbitrary client bytes, in arbitrary chunks, through the line reader, the
// key store and the request checks, as a connection would see them.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "server/KeyStore.h"
#include "server/Packets.h"
#include "server/Validation.h"

using namespace tarvina;

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

bool AllAscii(const std::string& s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

// Lines come off a 7-bit wire: ASCII and U+FFFD only, no LF, within the limit.
void CheckLine(const std::string& line) {
  std::size_t chars = 0;
  for (std::size_t i = 0; i < line.size(); ++chars) {
    const unsigned char c = static_cast<unsigned char>(line[i]);
    Check(c != '\n');
    if (c < 0x80) {
      ++i;
    } else {
      Check(line.compare(i, 3, "\xEF\xBF\xBD") == 0);
      i += 3;
    }
  }
  Check(chars <= kMaxLineBytes);
}

void CheckWire(const std::string& bytes) {
  Check(AllAscii(bytes));
  Check(bytes.size() >= 2 && bytes.compare(bytes.size() - 2, 2, "\r\n") == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte seeds the chunk sizes; the rest is the stream.
  std::uint32_t seed = data[0];
  const std::uint8_t* stream = data + 1;
  const std::size_t n = size - 1;

  LineAssembler whole;
  std::vector<std::string> wholeLines;
  const bool wholeOk = whole.Feed(stream, n, wholeLines);

  LineAssembler chunked;
  std::vector<std::string> lines;
  bool ok = true;
  for (std::size_t at = 0; at < n && ok;) {
    seed = seed * 1103515245u + 12345u;
    const std::size_t take = std::min<std::size_t>(n - at, 1 + (seed >> 16) % 64);
    ok = chunked.Feed(stream + at, take, lines);
    at += take;
  }
  // Chunking must not change what is read.
  Check(ok == wholeOk);
  Check(lines == wholeLines);
  Check(chunked.Pending() <= kMaxLineBytes);

  // Packets are those lines cut after each end line, as far as they fit.
  PacketAssembler packets;
  std::vector<std::vector<std::string>> got;
  const bool packetsOk = packets.Feed(stream, n, got);
  Check(packets.Pending() <= kMaxPacketBytes);
  std::size_t at = 0;
  for (const auto& packet : got) {
    Check(!packet.empty() && IsEndLine(packet.back()));
    for (const auto& line : packet) Check(at < lines.size() && line == lines[at++]);
  }
  if (packetsOk && wholeOk)
    for (; at < lines.size(); ++at) Check(!IsEndLine(lines[at]));

  for (const auto& line : lines) {
    CheckLine(line);
    CheckWire(EncodeReplyLine(line));
    if (IsEndLine(line)) Check(line.size() == 11);
  }
  // Text that never came off the wire (any bytes at all) still encodes to ASCII.
  CheckWire(EncodeReplyLine(std::string(reinterpret_cast<const char*>(stream), n)));

  if (IsStopPacket(lines)) Check(lines.front() == "STOP");

  TKeyStore keys;
  keys.Load(lines);
  TDateCerere d;
  d.FSuma = 1;
  if (DateValide(keys, d)) {
    Check(d.ErrorMsg.empty());
    Check(d.Operatie >= 0 && d.Operatie <= 2);
    Check(d.TipPos >= 1 && d.TipPos <= 7 && d.TipPos != 2);
    Check(d.ComPortRS232 > 0);
    Check(d.Operatie == 1 || d.FSuma == d.FSuma);  // a converted amount is never NaN
    if (d.Operatie == 2) Check(!d.FNrBon.empty());
    CheckWire(ReplyOkBytes());
  } else {
    Check(!d.ErrorMsg.empty());
    const std::string reply = ReplyErrorBytes(d.ErrorMsg);
    CheckWire(reply);
    Check(reply.compare(0, 7, "ERROR\r\n") == 0);
    Check(reply.size() >= 20 && reply.compare(reply.size() - 13, 13, "[ENDPACHET]\r\n") == 0);
  }
  return 0;
}
