#include "server/Packets.h"

#include <cstring>

#include "terminals/TerminalText.h"

namespace tarvina {

namespace {

constexpr const char* kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// The wire is 7-bit: anything above 0x7F is no character we know.
std::string DecodeLine(const std::string& raw) {
  std::string text;
  text.reserve(raw.size());
  for (char c : raw) {
    if (static_cast<unsigned char>(c) < 0x80)
      text += c;
    else
      text += kReplacement;
  }
  return text;
}

}  // namespace

bool LineAssembler::Feed(const std::uint8_t* data, std::size_t n,
                         std::vector<std::string>& out) {
  if (overlong_) return false;
  const char* p = reinterpret_cast<const char*>(data);
  const char* const end = p + n;
  while (p < end) {
    const char* lf = static_cast<const char*>(std::memchr(p, '\n', end - p));
    const std::size_t take = (lf ? lf : end) - p;
    if (partial_.size() + take > kMaxLineBytes) {
      // Give up at once rather than at the LF: a client that never sends one
      // must not grow our memory.
      overlong_ = true;
      std::string().swap(partial_);
      return false;
    }
    partial_.append(p, take);
    if (!lf) break;
    if (!partial_.empty() && partial_.back() == '\r') partial_.pop_back();
    out.push_back(DecodeLine(partial_));
    partial_.clear();
    p = lf + 1;
  }
  return true;
}

std::string EncodeReplyLine(const std::string& text) { return SevenBitText(text) + "\r\n"; }

std::string EncodeLines(const std::vector<std::string>& lines) {
  std::string bytes;
  for (const auto& line : lines) bytes += EncodeReplyLine(line);
  return bytes;
}

std::string ReplyOkBytes() { return EncodeLines({"PROCESAREOK", kEndLine}); }

std::string ReplyErrorBytes(const std::string& msg) {
  return EncodeLines({"ERROR", msg, kEndLine});
}

bool IsEndLine(const std::string& line) {
  const std::string end = kEndLine;
  if (line.size() != end.size()) return false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != end[i]) return false;
  }
  return true;
}

bool IsStopPacket(const std::vector<std::string>& lines) {
  return lines.size() >= 2 && lines.front() == "STOP";
}

std::vector<std::string> RequestLines(
    const std::vector<std::pair<std::string, std::string>>& keys) {
  std::vector<std::string> lines;
  lines.reserve(keys.size() + 2);
  lines.push_back(std::string("[") + kInfoSection + "]");
  for (const auto& [key, value] : keys) lines.push_back(key + "=" + value);
  lines.push_back(kEndLine);
  return lines;
}

}  // namespace tarvina
