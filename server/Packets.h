#pragma once
// Request and reply packets on the client connection: splitting the byte
// stream into lines, the reply bytes, the end line and the stop packet.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarvina {

// Longest line a client may send, counted in bytes before its LF (a CR in
// front of the LF counts: it is part of what the client sent).
constexpr std::size_t kMaxLineBytes = 16384;

// Splits a connection's byte stream into lines. Feed() appends complete lines
// (LF-terminated; a CR directly before the LF removed, other CRs kept;
// 0x80-0xFF as U+FFFD) to `out` and returns false once a line grows past
// kMaxLineBytes before its LF (the caller then closes the connection; lines
// completed before the overlong one in the same chunk are still in `out`).
// After that every Feed() returns false and appends nothing.
class LineAssembler {
 public:
  bool Feed(const std::uint8_t* data, std::size_t n, std::vector<std::string>& out);
  // The same lines undecoded: on_line(bytes before the LF without the CR
  // removed, bytes on the wire with the CR and the LF) for each; when it
  // answers false, Feed stops and answers false (the caller closes).
  using RawLine = std::function<bool(std::string_view line, std::size_t wire_bytes)>;
  bool FeedRaw(const std::uint8_t* data, std::size_t n, const RawLine& on_line);
  // Bytes of the line begun but not yet ended by an LF.
  std::size_t Pending() const { return partial_.size(); }

 private:
  std::string partial_;  // raw bytes of the unfinished line
  bool overlong_ = false;
};

// A packet (all its lines up to and including the end line's LF) larger
// than this, counted in bytes received, closes the connection without a
// reply, as an overlong line does: a request is a handful of short lines,
// and a client must not grow the server's memory without bound.
constexpr std::size_t kMaxPacketBytes = 1 << 20;

// Splits a connection's byte stream into packets, on the connection's own
// thread, so that the main thread is handed each packet once, whole. Feed()
// appends every packet the bytes complete (its lines, decoded as
// LineAssembler gives them, the end line included) to `out`, and returns
// false once a line grows past kMaxLineBytes or the packet being received
// past kMaxPacketBytes (packets completed before in the same bytes are still
// in `out`); after that every Feed() returns false and appends nothing.
class PacketAssembler {
 public:
  bool Feed(const std::uint8_t* data, std::size_t n, std::vector<std::vector<std::string>>& out);
  // Bytes received of the packet not yet complete.
  std::size_t Pending() const { return failed_ ? 0 : wire_bytes_ + lines_.Pending(); }

 private:
  LineAssembler lines_;
  // The packet's complete lines so far, undecoded, each closed by an LF: a
  // packet of a million empty lines costs a megabyte, not a million strings.
  std::string raw_;
  std::size_t wire_bytes_ = 0;  // what they took on the wire
  bool failed_ = false;
};

// One line on the wire: the text + CR LF, every non-ASCII character (decoded
// from UTF-8; a byte that starts no valid sequence counts as one) as "?".
std::string EncodeReplyLine(const std::string& text);
// The lines one after another, each as EncodeReplyLine gives it.
std::string EncodeLines(const std::vector<std::string>& lines);

std::string ReplyOkBytes();                           // "PROCESAREOK\r\n[ENDPACHET]\r\n"
std::string ReplyErrorBytes(const std::string& msg);  // "ERROR\r\n" + msg + "\r\n[ENDPACHET]\r\n"

inline constexpr const char* kEndLine = "[ENDPACHET]";
inline constexpr const char* kInfoSection = "InfoPachet";

// ASCII a-z -> A-Z only, then equal to "[ENDPACHET]".
bool IsEndLine(std::string_view line);
// At least two lines and the first exactly "STOP".
bool IsStopPacket(const std::vector<std::string>& lines);

// The request lines a client sends: "[InfoPachet]", "Key=Value"..., "[ENDPACHET]".
std::vector<std::string> RequestLines(
    const std::vector<std::pair<std::string, std::string>>& keys);

}  // namespace tarvina
