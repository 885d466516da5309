#include "server/Packets.h"

#include <cstring>

#include "terminals/TerminalText.h"

namespace tarvina {

namespace {

constexpr const char* kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// The wire is 7-bit: anything above 0x7F is no character we know.
std::string DecodeLine(std::string_view raw) {
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
  return FeedRaw(data, n, [&](std::string_view line, std::size_t) {
    out.push_back(DecodeLine(line));
    return true;
  });
}

bool LineAssembler::FeedRaw(const std::uint8_t* data, std::size_t n, const RawLine& on_line) {
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
    const std::size_t wire = partial_.size() + 1;
    std::string_view line = partial_;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!on_line(line, wire)) {
      overlong_ = true;
      std::string().swap(partial_);
      return false;
    }
    partial_.clear();
    p = lf + 1;
  }
  return true;
}

bool PacketAssembler::Feed(const std::uint8_t* data, std::size_t n,
                           std::vector<std::vector<std::string>>& out) {
  if (failed_) return false;
  const bool fits = lines_.FeedRaw(data, n, [&](std::string_view line, std::size_t wire) {
    wire_bytes_ += wire;
    if (wire_bytes_ > kMaxPacketBytes) return false;
    raw_.append(line);
    raw_ += '\n';
    if (!IsEndLine(line)) return true;
    std::vector<std::string> packet;
    for (std::size_t from = 0, lf; (lf = raw_.find('\n', from)) != std::string::npos; from = lf + 1)
      packet.push_back(DecodeLine(std::string_view(raw_).substr(from, lf - from)));
    out.push_back(std::move(packet));
    raw_.clear();
    wire_bytes_ = 0;
    return true;
  });
  // The line begun counts too: the packet can only grow past the limit.
  if (fits && wire_bytes_ + lines_.Pending() <= kMaxPacketBytes) return true;
  failed_ = true;
  std::string().swap(raw_);
  return false;
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

bool IsEndLine(std::string_view line) {
  const std::string_view end = kEndLine;
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
