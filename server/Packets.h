#pragma once
// Request and reply packets on the client connection: splitting the byte
// stream into lines, the reply bytes, the end line and the stop packet.
#include <cstddef>
#include <cstdint>
#include <string>
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
  // Bytes of the line begun but not yet ended by an LF.
  std::size_t Pending() const { return partial_.size(); }

 private:
  std::string partial_;  // raw bytes of the unfinished line
  bool overlong_ = false;
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
bool IsEndLine(const std::string& line);
// At least two lines and the first exactly "STOP".
bool IsStopPacket(const std::vector<std::string>& lines);

// The request lines a client sends: "[InfoPachet]", "Key=Value"..., "[ENDPACHET]".
std::vector<std::string> RequestLines(
    const std::vector<std::pair<std::string, std::string>>& keys);

}  // namespace tarvina
