// tarvina-sim verifone: plays a Verifone terminal on the far side of a virtual
// serial line. It answers log-ins, then sales and voids with zero or more
// intermediate messages and a final answer, checks every ACK and EOT the host
// owes it, and reports what it saw on standard output, one event a line.
#include <chrono>
#include <cstdio>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "platform/VirtualSerial.h"
#include "terminals/PosVerifoneIntf/VerifoneFrames.h"
#include "tools/sim/SimKind.h"
#include "tools/sim/SimOptions.h"

namespace tarvina::sim {
namespace {

using namespace tarvina::verifone;

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

int Run(SimContext& ctx) {
  const SimOptions& t = *ctx.options;
  Options o;
  o.login_answer = static_cast<std::uint8_t>(t.Number("--login-answer"));
  o.intermediate = static_cast<int>(t.Number("--intermediate"));
  const std::string& final_answer = t.Text("--result");
  if (final_answer == "declined")
    o.final_answer = {kFinalAnswer, 0x00};
  else if (final_answer == "failed")
    o.final_answer = {kFinalFailure};
  o.eot_enq_together = t.Text("--eot-enq") == "together";
  o.frame_eot = t.Flag("--frame-eot");
  o.nak = t.Flag("--nak");
  for (const auto& step : t.All("--silent")) o.silent.insert(step);
  o.login_delay_ms = static_cast<int>(t.Number("--login-delay"));
  o.answer_delay_ms = static_cast<int>(t.Number("--delay"));
  o.gap_ms = static_cast<int>(t.Number("--gap"));
  o.reply_timeout_ms = static_cast<int>(t.Number("--reply-timeout"));
  o.timing = t.Flag("--timing");
  ctx.line->SetTrace(ctx.trace);
  Terminal(*ctx.line, o).Run();
}

[[maybe_unused]] const bool registered = RegisterSimKind({"verifone", &Run});

}  // namespace
}  // namespace tarvina::sim
