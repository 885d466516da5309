// tarvina-sim hypercom: plays a BRD Hypercom terminal on a 7E1 line.
//
// A pseudo-terminal reports any parity setting back as 8N1, so the line is
// worked on as 8-bit bytes carrying 7-bit values: what comes in is masked to
// seven bits, as a real 7E1 receiver would see it.
//
// Every exchange is checked from the terminal's side: the request frame and
// its check byte, the host's ACK after the acknowledgement, and the ACK plus
// confirmation frame after a result. Each finding is one line on standard
// output, flushed at once; a failed check is a line starting "FAIL" (and, when
// --count ends the run, makes the exit status 1).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <optional>
#include <string>
#include <thread>

#include "platform/VirtualSerial.h"
#include "terminals/PosBRDHypercom/HypercomFrames.h"
#include "tools/sim/SimKind.h"
#include "tools/sim/SimOptions.h"

namespace tarvina::sim {
namespace {

namespace hc = tarvina::hypercom;
using Clock = std::chrono::steady_clock;

struct Options {
  std::string scenario = "normal";
  std::string code = "00";
  int delay_ms = 200;
  int split_ms = 500;
  int trickle_ms = 1000;
  long max_requests = -1;
  long operations = -1;
  bool stamps = false;
};

class Terminal {
 public:
  Terminal(VirtualSerialLine& line, const Options& opt)
      : line_(line), opt_(opt), trace_(opt.stamps), start_(Clock::now()) {}

  int Run() {
    while (opt_.operations < 0 || completed_ < opt_.operations) {
      auto frame = NextFrame(-1);
      if (!frame) continue;
      HandleFrame(*frame);
    }
    std::printf("summary requests=%ld completed=%ld failures=%ld\n", requests_, completed_, failures_);
    std::fflush(stdout);
    return failures_ == 0 ? 0 : 1;
  }

 private:
  double Seconds() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

  void Event(const std::string& text) {
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
  }
  void Fail(const std::string& text) {
    ++failures_;
    Event("FAIL " + text);
  }
  void TraceBytes(const char* dir, const std::uint8_t* data, std::size_t n) {
    if (!trace_) return;
    std::string s;
    char hex[4];
    for (std::size_t i = 0; i < n; ++i) {
      std::snprintf(hex, sizeof hex, " %02X", data[i]);
      s += hex;
    }
    std::printf("at %.6f %s%s\n", Seconds(), dir, s.c_str());
    std::fflush(stdout);
  }

  void Send(const hc::Bytes& bytes) {
    TraceBytes("POS>", bytes.data(), bytes.size());
    line_.Write(bytes);
  }
  // Sends with a pause between the pieces.
  void SendSpaced(const hc::Bytes& bytes, int pause_ms) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      if (i > 0) Pause(pause_ms);
      Send(hc::Bytes{bytes[i]});
    }
  }
  // Waits while watching the line: the host has no business talking now.
  void Pause(int ms) {
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < until) {
      if (Fill(Remaining(until))) ReportUnexpected();
    }
  }

  static int Remaining(Clock::time_point until) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(std::min<long long>(left, 100));
  }

  // Reads what is there (at most timeout_ms of waiting) into the queue.
  bool Fill(int timeout_ms) {
    auto got = line_.Read(timeout_ms);
    if (got.empty()) return false;
    for (auto& b : got) b &= 0x7F;
    TraceBytes("PC<", got.data(), got.size());
    rx_.insert(rx_.end(), got.begin(), got.end());
    return true;
  }

  void ReportUnexpected() {
    if (rx_.empty()) return;
    // A request frame gets its own, clearer finding when it is read.
    if (rx_.front() == hc::STX) return;
    Fail("unexpected bytes from the host: " + Hex(hc::Bytes(rx_.begin(), rx_.end())));
    rx_.clear();
  }

  static std::string Hex(const hc::Bytes& b) {
    std::string s;
    char hex[4];
    for (auto c : b) {
      std::snprintf(hex, sizeof hex, "%02X ", c);
      s += hex;
    }
    if (!s.empty()) s.pop_back();
    return s;
  }

  // Next byte within timeout_ms (-1: however long it takes).
  std::optional<std::uint8_t> NextByte(int timeout_ms) {
    const auto until = Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
    while (rx_.empty()) {
      if (timeout_ms >= 0 && Clock::now() >= until) return std::nullopt;
      Fill(timeout_ms < 0 ? 100 : Remaining(until));
    }
    std::uint8_t b = rx_.front();
    rx_.pop_front();
    return b;
  }

  // A frame from STX through its check byte; bytes before STX are reported.
  std::optional<hc::Bytes> NextFrame(int timeout_ms) {
    hc::Bytes stray;
    std::optional<std::uint8_t> b;
    while ((b = NextByte(timeout_ms)) && *b != hc::STX) stray.push_back(*b);
    if (!stray.empty()) Fail("bytes outside a frame: " + Hex(stray));
    if (!b) return std::nullopt;
    hc::Bytes frame{hc::STX};
    // Frames here are short; anything longer than a request is not one of ours.
    while (frame.size() < 64) {
      auto c = NextByte(1000);
      if (!c) {
        Fail("frame cut short: " + Hex(frame));
        return std::nullopt;
      }
      frame.push_back(*c);
      if (*c == hc::ETX) {
        auto check = NextByte(1000);
        if (!check) {
          Fail("frame without check byte: " + Hex(frame));
          return std::nullopt;
        }
        frame.push_back(*check);
        return frame;
      }
    }
    Fail("frame without ETX: " + Hex(frame));
    return std::nullopt;
  }

  static std::string Text(const hc::Bytes& f, std::size_t from, std::size_t n) {
    if (from >= f.size()) return {};
    return std::string(f.begin() + static_cast<long>(from),
                       f.begin() + static_cast<long>(std::min(f.size(), from + n)));
  }

  void HandleFrame(const hc::Bytes& frame) {
    const std::string type = Text(frame, 1, 3);
    const std::string function = Text(frame, 4, 3);
    if (function != std::string(hc::kFnRequest)) {
      Fail("unexpected frame: " + Hex(frame));
      return;
    }
    ++requests_;
    const std::string data = Text(frame, 7, frame.size() - 9);
    Event("request " + type + " " + data);
    if (opt_.max_requests >= 0 && requests_ > opt_.max_requests)
      Fail("request frame #" + std::to_string(requests_) + " beyond the limit of " +
           std::to_string(opt_.max_requests));
    if (frame.size() != hc::kRequestLen) Fail("request frame of " + std::to_string(frame.size()) + " bytes");
    if (frame.back() != hc::Crc(frame.data() + 1, frame.size() - 2)) Fail("bad check byte: " + Hex(frame));
    if (type != "MOL" && type != "VOI" && type != "STL") {
      Fail("unknown request type " + type);
      return;
    }

    const std::string& sc = opt_.scenario;
    if (sc == "silent") return;
    if (sc == "wrong-echo") {
      hc::Bytes wrong = hc::Frame(type, hc::kFnRequest);
      wrong.insert(wrong.begin(), hc::ACK);
      Send(wrong);
      return;
    }
    if (sc == "wrong-type") {
      hc::Bytes wrong = hc::AcknowledgementFrame(type == "MOL" ? "VOI" : "MOL");
      Send(wrong);
      return;
    }

    const hc::Bytes ack = hc::AcknowledgementFrame(type);
    if (sc == "split-ack") {
      Send(hc::Bytes{ack[0]});
      Pause(opt_.split_ms);
      Send(hc::Bytes(ack.begin() + 1, ack.end()));
    } else if (sc == "trickle") {
      SendSpaced(ack, opt_.trickle_ms);
    } else {
      Send(ack);
    }
    Event("acknowledged " + type);
    if (!ExpectBytes(hc::Bytes{hc::ACK}, "host ACK")) return;
    Event("host-ack");
    if (type == "STL") {
      ++completed_;
      return;
    }
    if (sc == "no-result") return;

    Pause(opt_.delay_ms);
    // A void's result frame carries the sale's type as well.
    const hc::Bytes result = hc::Frame(hc::kResultType, hc::kFnResult, opt_.code);
    if (sc == "trickle")
      SendSpaced(result, opt_.trickle_ms);
    else
      Send(result);
    Event("result " + opt_.code);
    hc::Bytes confirmation{hc::ACK};
    const hc::Bytes c = hc::ConfirmationFrame(type);
    confirmation.insert(confirmation.end(), c.begin(), c.end());
    if (!ExpectBytes(confirmation, "confirmation")) return;
    Event("confirmed " + type);
    ++completed_;
  }

  bool ExpectBytes(const hc::Bytes& want, const char* what) {
    hc::Bytes got;
    while (got.size() < want.size()) {
      auto b = NextByte(2000);
      if (!b) break;
      got.push_back(*b);
    }
    if (got == want) return true;
    Fail(std::string("expected ") + what + " " + Hex(want) + ", got " + (got.empty() ? "nothing" : Hex(got)));
    return false;
  }

  VirtualSerialLine& line_;
  const Options& opt_;
  bool trace_;
  Clock::time_point start_;
  std::deque<std::uint8_t> rx_;
  long requests_ = 0;
  long completed_ = 0;
  long failures_ = 0;
};

int RunHypercom(SimContext& ctx) {
  const SimOptions& t = *ctx.options;
  Options opt;
  opt.scenario = t.Text("--scenario");
  opt.code = t.Text("--result");
  opt.delay_ms = static_cast<int>(t.Number("--delay"));
  opt.split_ms = static_cast<int>(t.Number("--split-ms"));
  opt.trickle_ms = static_cast<int>(t.Number("--pause"));
  if (t.Given("--max-requests")) opt.max_requests = t.Number("--max-requests");
  if (t.Given("--count")) opt.operations = t.Number("--count");
  opt.stamps = t.Flag("--stamps");
  Terminal terminal(*ctx.line, opt);
  return terminal.Run();
}

}  // namespace

[[maybe_unused]] static const bool registered = RegisterSimKind({"hypercom", RunHypercom});

}  // namespace tarvina::sim
