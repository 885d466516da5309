// tarvina-sim verifone: plays a Verifone terminal on the far side of a virtual
// serial line. It answers log-ins, then sales and voids with zero or more
// intermediate messages and a final answer, checks every ACK and EOT the host
// owes it, and reports what it saw on standard output, one event a line.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "platform/VirtualSerial.h"
#include "terminals/PosVerifoneIntf/VerifoneFrames.h"
#include "tools/sim/SimKind.h"

namespace tarvina::sim {
namespace {

using namespace tarvina::verifone;

const char kHelp[] =
    "  --login-answer HEX    payload byte 0 of the log-in answer (default 80 = accepted)\n"
    "  --intermediate N      intermediate messages before a sale's or void's final answer (default 0)\n"
    "  --final KIND          final answer: approved (06 0F, default), declined (06 00), failed (84)\n"
    "  --eot-enq MODE        between two messages: apart (EOT, pause, ENQ; default) or together (one write)\n"
    "  --frame-eot           send the final answer frame and its EOT in one write\n"
    "  --nak                 answer the sale or void frame with NAK instead of ACK\n"
    "  --silent STEP         fall silent at STEP (may be repeated); STEP is login-X or sale-X\n"
    "                        (sale- also covers voids) with X one of: ack-enq (no ACK to the host's ENQ),\n"
    "                        ack-frame (no ACK to its frame), enq (no ENQ for the answer), frame (ENQ\n"
    "                        acknowledged, no frame), eot (no EOT after the answer); also\n"
    "                        sale-next: silent after the first intermediate message\n"
    "  --login-delay MS      pause before answering a log-in (default 0)\n"
    "  --answer-delay MS     pause before the first answer to a sale or void (default 0)\n"
    "  --gap MS              pause between messages and between EOT and ENQ when apart (default 20)\n"
    "  --reply-timeout MS    how long to wait for the host's ACK, EOT or frame (default 3000)\n"
    "  --timing              add to each host ACK and EOT event the microseconds since our last write\n"
    "Events on standard output: host ENQ | host login | host logout | host sale AMOUNT |\n"
    "host void AMOUNT RECEIPT | host EOT | host ACK [after N us] | sim NAK | sim answer HEX | silent STEP | error: ...\n";

struct Options {
  std::uint8_t login_answer = kLogInOk;
  int intermediate = 0;
  Bytes final_answer{kFinalAnswer, kApproved};
  bool eot_enq_together = false;
  bool frame_eot = false;
  bool nak = false;
  std::set<std::string> silent;
  int login_delay_ms = 0;
  int answer_delay_ms = 0;
  int gap_ms = 20;
  int reply_timeout_ms = 3000;
  bool timing = false;
};

std::string Hex(const Bytes& b) {
  std::string s;
  static const char kHex[] = "0123456789ABCDEF";
  for (std::uint8_t x : b) {
    if (!s.empty()) s += ' ';
    s += kHex[x >> 4];
    s += kHex[x & 0x0F];
  }
  return s;
}

void Event(const std::string& text) {
  std::printf("%s\n", text.c_str());
  std::fflush(stdout);
}

void Pause(int ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

class Terminal {
 public:
  Terminal(VirtualSerialLine& line, Options options) : line_(line), o_(std::move(options)) {}

  [[noreturn]] void Run() {
    for (;;) ServeOne();
  }

 private:
  // One host turn and the terminal's answer to it.
  void ServeOne() {
    std::uint8_t b = 0;
    while (!NextByte(b, 1000)) {
    }
    if (b != ENQ) {
      Event("host stray " + Hex({b}));
      return;
    }
    Event("host ENQ");
    // A sale or void always follows a successful log-in; anything else starts with one.
    const std::string phase = after_login_ ? "sale" : "login";
    after_login_ = false;
    if (Silent(phase + "-ack-enq")) return;
    Send({ACK});

    const std::optional<Bytes> frame = ReadFrame();
    if (!frame) return Error("no frame after ACK to ENQ");
    const Bytes payload = FramePayload(frame->data(), frame->size());
    if (Crc(payload.data(), payload.size()) != frame->back()) Error("bad check byte in " + Hex(*frame));
    if (payload.size() < 3 || payload[0] != ACK) return Error("unknown host frame " + Hex(*frame));
    const std::uint8_t function = payload[1];
    const std::string data(payload.begin() + 3, payload.end());
    if (payload[2] != data.size()) Error("data length byte " + Hex({payload[2]}) + " for " + std::to_string(data.size()));
    const bool transaction = function == kFnSale || function == kFnVoid;
    if (function == kFnLogIn) {
      Event("host login");
    } else if (function == kFnLogOut) {
      Event("host logout");
    } else if (function == kFnSale && data.size() == 21) {
      Event("host sale " + data.substr(0, 12));
    } else if (function == kFnVoid && data.size() == 18) {
      Event("host void " + data.substr(0, 12) + " " + data.substr(12));
    } else {
      return Error("unknown host frame " + Hex(*frame));
    }
    if (transaction && o_.nak) {
      Send({NAK});
      Event("sim NAK");
      return;
    }
    if (Silent(phase + "-ack-frame")) return;
    Send({ACK});
    if (!Expect(EOT, "EOT after the host's frame")) return;

    if (function == kFnLogIn) {
      Pause(o_.login_delay_ms);
      if (Answer("login", {o_.login_answer}, true) && o_.login_answer == kLogInOk) after_login_ = true;
    } else if (function == kFnLogOut) {
      Answer("login", {kLogInOk}, true);
    } else {
      Pause(o_.answer_delay_ms);
      for (int k = 0; k <= o_.intermediate; ++k) {
        const bool last = k == o_.intermediate;
        if (!Answer("sale", last ? o_.final_answer : IntermediatePayload(k), last)) return;
        if (!last && Silent("sale-next")) return;
        Pause(o_.gap_ms);
      }
    }
  }

  static Bytes IntermediatePayload(int k) {
    const std::string text = "Introduceti cardul " + std::to_string(k + 1);
    Bytes p;
    p.reserve(1 + text.size());
    p.push_back(0x01);
    for (char c : text) p.push_back(static_cast<std::uint8_t>(c));
    return p;
  }

  // One terminal turn carrying payload. Returns false where the exchange stopped.
  bool Answer(const std::string& phase, const Bytes& payload, bool last) {
    if (!enq_sent_) {
      if (Silent(phase + "-enq")) return false;
      Send({ENQ});
    }
    enq_sent_ = false;
    if (!Expect(ACK, "ACK to the terminal's ENQ")) return false;
    if (Silent(phase + "-frame")) return false;
    Bytes frame = BuildFrame(payload);
    Event("sim answer " + Hex(payload));
    if (last && o_.frame_eot) {
      frame.push_back(EOT);
      Send(frame);
      // The host cannot see a frame that does not end its buffer, so no ACK should come.
      Expect(ACK, "ACK to the answer frame");
      return false;
    }
    Send(frame);
    if (!Expect(ACK, "ACK to the answer frame")) return false;
    if (Silent(phase + "-eot")) return false;
    if (!last && o_.eot_enq_together) {
      Send({EOT, ENQ});
      enq_sent_ = true;
    } else {
      Send({EOT});
    }
    return true;
  }

  bool Silent(const std::string& step) {
    if (!o_.silent.count(step)) return false;
    Event("silent " + step);
    enq_sent_ = false;
    return true;
  }

  void Error(const std::string& what) { Event("error: " + what); }

  bool Expect(std::uint8_t want, const char* what) {
    std::uint8_t b = 0;
    if (!NextByte(b, o_.reply_timeout_ms)) {
      Error(std::string("no ") + what);
      return false;
    }
    if (b != want) {
      Error(std::string("expected ") + what + ", got " + Hex({b}));
      return false;
    }
    std::string event = want == ACK ? "host ACK" : "host EOT";
    if (o_.timing) {
      const auto us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - last_send_);
      event += " after " + std::to_string(us.count()) + " us";
    }
    Event(event);
    return true;
  }

  bool NextByte(std::uint8_t& b, int timeout_ms) {
    if (in_.empty()) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
      while (in_.empty()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        in_ = line_.Read(static_cast<int>(left.count()));
        pos_ = 0;
      }
    }
    b = in_[pos_++];
    if (pos_ == in_.size()) {
      in_.clear();
      pos_ = 0;
    }
    return true;
  }

  std::optional<Bytes> ReadFrame() {
    Bytes frame;
    for (;;) {
      std::uint8_t b = 0;
      if (!NextByte(b, o_.reply_timeout_ms)) return std::nullopt;
      frame.push_back(b);
      if (frame.size() > kBufferSize) return std::nullopt;
      if (CompleteFrameLength(frame.data(), frame.size()) == frame.size()) return frame;
      if (frame.size() == 2 && (frame[0] != DLE || frame[1] != STX)) return std::nullopt;
    }
  }

  void Send(const Bytes& bytes) {
    line_.Write(bytes);
    last_send_ = std::chrono::steady_clock::now();
  }

  VirtualSerialLine& line_;
  Options o_;
  Bytes in_;
  std::size_t pos_ = 0;
  bool after_login_ = false;
  bool enq_sent_ = false;
  std::chrono::steady_clock::time_point last_send_;
};

bool ParseInt(const std::string& s, int& out, int base = 10) {
  char* end = nullptr;
  const long v = std::strtol(s.c_str(), &end, base);
  if (s.empty() || *end != '\0' || v < 0 || v > 1000000) return false;
  out = static_cast<int>(v);
  return true;
}

int Run(SimContext& ctx) {
  Options o;
  const auto& a = ctx.args;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const std::string& opt = a[i];
    const bool has_value = i + 1 < a.size();
    const std::string value = has_value ? a[i + 1] : "";
    int n = 0;
    auto bad = [&] {
      std::fprintf(stderr, "verifone: bad option %s %s\n%s", opt.c_str(), value.c_str(), kHelp);
      return 2;
    };
    if (opt == "--frame-eot") {
      o.frame_eot = true;
      continue;
    }
    if (opt == "--nak") {
      o.nak = true;
      continue;
    }
    if (opt == "--timing") {
      o.timing = true;
      continue;
    }
    if (!has_value) return bad();
    ++i;
    if (opt == "--login-answer") {
      if (!ParseInt(value, n, 16) || n > 0xFF) return bad();
      o.login_answer = static_cast<std::uint8_t>(n);
    } else if (opt == "--intermediate") {
      if (!ParseInt(value, o.intermediate)) return bad();
    } else if (opt == "--final") {
      if (value == "approved")
        o.final_answer = {kFinalAnswer, kApproved};
      else if (value == "declined")
        o.final_answer = {kFinalAnswer, 0x00};
      else if (value == "failed")
        o.final_answer = {kFinalFailure};
      else
        return bad();
    } else if (opt == "--eot-enq") {
      if (value != "apart" && value != "together") return bad();
      o.eot_enq_together = value == "together";
    } else if (opt == "--silent") {
      o.silent.insert(value);
    } else if (opt == "--login-delay") {
      if (!ParseInt(value, o.login_delay_ms)) return bad();
    } else if (opt == "--answer-delay") {
      if (!ParseInt(value, o.answer_delay_ms)) return bad();
    } else if (opt == "--gap") {
      if (!ParseInt(value, o.gap_ms)) return bad();
    } else if (opt == "--reply-timeout") {
      if (!ParseInt(value, o.reply_timeout_ms)) return bad();
    } else {
      return bad();
    }
  }
  if (!ctx.line) {
    std::fprintf(stderr, "verifone: no serial line\n");
    return 2;
  }
  ctx.line->SetTrace(ctx.trace);
  Terminal(*ctx.line, o).Run();
}

const bool registered = RegisterSimKind({"verifone", "Verifone terminal: log-in, sale, void", kHelp, true, &Run});

}  // namespace
}  // namespace tarvina::sim
