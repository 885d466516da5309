// tarvina-sim unicredit: plays a UniCredit terminal on the far side of a
// virtual serial line. For every message of the PC it sends the acknowledgement,
// optionally some intermediate messages, then the answer message, and checks
// that the PC acknowledges each of its messages with that message's counter.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/Trace.h"
#include "platform/VirtualSerial.h"
#include "terminals/PosUnicredit/UnicreditFrames.h"
#include "tools/sim/SimKind.h"
#include "tools/sim/SimOptions.h"

namespace tarvina::sim {
namespace {

namespace uc = tarvina::unicredit;
using uc::Bytes;

constexpr std::uint8_t kCodIntermediar = 0x40;
constexpr std::uint16_t kElAfisaj = 900;

struct Options {
  std::string scenario = "normal";
  std::string result = "APROBAT 000123";
  std::string extra;
  std::string report_code = "00";
  std::string report_text1 = "RAPORT";
  std::string report_text2 = "INCHIS";
  int intermediate = 0;
  int delay_ms = 0;
  int chunk = 3;
  Bytes garbage{0xFF, 0xFE};
  long count = -1;
};

Options FromCommandLine(const SimOptions& t) {
  Options o;
  o.scenario = t.Text("--scenario");
  o.result = t.Text("--result");
  o.extra = t.Text("--extra");
  o.report_code = t.Text("--report-code");
  o.report_text1 = t.Text("--report-text1");
  o.report_text2 = t.Text("--report-text2");
  o.intermediate = static_cast<int>(t.Number("--intermediate"));
  o.delay_ms = static_cast<int>(t.Number("--delay"));
  o.chunk = static_cast<int>(t.Number("--chunk"));
  o.garbage = t.Bytes("--garbage");
  if (t.Given("--count")) o.count = t.Number("--count");
  return o;
}

double NowMs() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

std::string HexOf(const std::string& bytes) {
  std::string s;
  char b[4];
  for (unsigned char c : bytes) {
    std::snprintf(b, sizeof b, " %02X", c);
    s += b;
  }
  return s;
}

class Terminal {
 public:
  Terminal(VirtualSerialLine& line, const Options& o, bool trace) : line_(line), o_(o), trace_(trace) {}

  int Run() {
    long served = 0;
    while (o_.count < 0 || served < o_.count) {
      std::string msg;
      if (!NextFrame(msg, -1)) continue;
      if (static_cast<std::uint8_t>(msg[1]) != uc::kTipMesaj) {
        Fault("an acknowledgement from the PC when no message of ours awaited one");
        continue;
      }
      Serve(msg);
      ++served;
    }
    return faults_ == 0 ? 0 : 1;
  }

 private:
  // The line's own trace has no time stamps; this one has, so that the gap
  // between our last byte and the PC's next line action can be read off.
  void Trace(bool from_pc, const std::string& bytes) {
    if (!trace_) return;
    const std::string text =
        WireTrace::Format(from_pc, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    std::fprintf(stderr, "%.3f ms %s\n", NowMs(), text.c_str());
  }

  void Fault(const std::string& what) {
    ++faults_;
    std::fprintf(stderr, "unicredit: PROTOCOL FAULT: %s\n", what.c_str());
  }

  void Send(const Bytes& b) {
    if (b.empty()) return;
    if (o_.scenario == "chunked") {
      for (std::size_t i = 0; i < b.size(); i += static_cast<std::size_t>(o_.chunk)) {
        const std::size_t n = std::min(b.size() - i, static_cast<std::size_t>(o_.chunk));
        line_.Write(b.data() + i, n);
        Trace(false, std::string(b.begin() + static_cast<long>(i), b.begin() + static_cast<long>(i + n)));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      return;
    }
    line_.Write(b);
    Trace(false, uc::ToString(b));
  }

  // Takes the next whole frame off the line. Bytes in front of an SOH are
  // line noise and are dropped. timeout_ms < 0 waits without limit.
  bool NextFrame(std::string& frame, int timeout_ms) {
    const double deadline = NowMs() + timeout_ms;
    for (;;) {
      while (!rx_.empty() && static_cast<std::uint8_t>(rx_[0]) != uc::SOH) rx_.erase(0, 1);
      if (uc::AckAtFront(rx_)) {
        frame = rx_.substr(0, uc::kAckLength);
        rx_.erase(0, uc::kAckLength);
        return true;
      }
      if (const std::size_t len = uc::MessageAtFront(rx_)) {
        frame = rx_.substr(0, len);
        rx_.erase(0, len);
        if (!uc::FrameCrcOk(frame)) Fault("message with a bad CRC:" + HexOf(frame));
        return true;
      }
      if (rx_.size() >= uc::kFrameOverhead && !uc::MessageStartsAtFront(rx_) && !uc::AckAtFront(rx_)) {
        Fault("unreadable bytes from the PC:" + HexOf(rx_.substr(0, 8)));
        rx_.erase(0, 1);
        continue;
      }
      int wait = 1000;
      if (timeout_ms >= 0) {
        const double left = deadline - NowMs();
        if (left <= 0) return false;
        wait = static_cast<int>(left) + 1;
      }
      const Bytes got = line_.Read(wait);
      if (!got.empty()) {
        Trace(true, uc::ToString(got));
        rx_.append(got.begin(), got.end());
      }
    }
  }

  void ExpectAck(const Bytes& ours) {
    const std::uint8_t counter = ours[2];
    const double sent = NowMs();
    std::string frame;
    if (!NextFrame(frame, 5000)) {
      Fault("no acknowledgement for our message with counter " + std::to_string(counter));
      return;
    }
    if (static_cast<std::uint8_t>(frame[1]) != uc::kTipAck) {
      Fault("a message where the acknowledgement of counter " + std::to_string(counter) + " was due");
      return;
    }
    if (frame != uc::ToString(uc::BuildAck(counter)))
      Fault("acknowledgement" + HexOf(frame) + " for our counter " + std::to_string(counter));
    if (trace_) std::fprintf(stderr, "unicredit: acknowledged after %.3f ms\n", NowMs() - sent);
  }

  Bytes Answer(std::uint8_t code) {
    const std::uint8_t c = next_counter_++;
    if (o_.scenario == "short") return uc::BuildFrame(uc::kTipMesaj, c, {static_cast<std::uint8_t>(code + 1), 0});
    std::vector<uc::Element> el;
    if (code == uc::kCodTranzactie) {
      el.push_back({uc::kElRezultat, o_.result});
      if (!o_.extra.empty()) el.push_back({uc::kElRezultatExtra, o_.extra});
    } else if (code == uc::kCodRaport) {
      el = {{uc::kElCodRaport, o_.report_code},
            {uc::kElRaportText1, o_.report_text1},
            {uc::kElRaportText2, o_.report_text2}};
    } else {
      el.push_back({uc::kElStare, "STA"});
    }
    return uc::BuildMessage(static_cast<std::uint8_t>(code + 1), c, el);
  }

  void Describe(const std::string& msg) {
    const std::uint8_t code = static_cast<std::uint8_t>(msg[5]);
    std::string what = code == uc::kCodTranzactie ? "transaction" : code == uc::kCodRaport ? "report" : "message";
    for (const auto& e : uc::ParseElements(msg)) what += " " + std::to_string(e.code) + "=" + e.value;
    // On standard output, so that whoever runs the simulator can follow the exchange.
    std::printf("PC sent %s (code %u, counter %u)\n", what.c_str(), code,
                static_cast<unsigned>(static_cast<std::uint8_t>(msg[2])));
    std::fflush(stdout);
  }

  void Serve(const std::string& msg) {
    Describe(msg);
    const std::uint8_t code = static_cast<std::uint8_t>(msg[5]);
    const std::uint8_t counter = static_cast<std::uint8_t>(msg[2]);
    if (msg.size() < 11 || msg[6] != 0 || static_cast<std::uint8_t>(msg[7]) != counter)
      Fault("message data does not repeat the counter after a zero:" + HexOf(msg));
    if (o_.scenario == "silent") return;
    const Bytes ack = uc::BuildAck(counter);
    if (code != uc::kCodTranzactie && code != uc::kCodRaport && code != uc::kCodStare) {
      Send(ack);
      return;
    }
    std::vector<Bytes> mine;
    const int intermediate = o_.scenario == "two-messages" ? std::max(1, o_.intermediate) : o_.intermediate;
    for (int i = 0; i < intermediate; ++i)
      mine.push_back(uc::BuildMessage(kCodIntermediar, next_counter_++, {{kElAfisaj, "ASTEPTATI"}}));
    mine.push_back(Answer(code));

    std::size_t next = 0;
    if (o_.scenario == "garbage") {
      Bytes g = o_.garbage;
      g.insert(g.end(), ack.begin(), ack.end());
      Send(g);
    } else if (o_.scenario == "burst") {
      // A terminal that does not wait for each acknowledgement before its
      // next message: behind a USB adapter the PC reads several frames at once.
      Bytes all = ack;
      for (const Bytes& m : mine) all.insert(all.end(), m.begin(), m.end());
      Pause(o_.delay_ms);
      Send(all);
      for (const Bytes& m : mine) ExpectAck(m);
      return;
    } else if (o_.scenario == "ack-with-message") {
      Bytes both = ack;
      both.insert(both.end(), mine[0].begin(), mine[0].end());
      if (mine.size() == 1) Pause(o_.delay_ms);
      Send(both);
      ExpectAck(mine[0]);
      next = 1;
    } else {
      Send(ack);
    }
    if (o_.scenario == "ack-only") return;
    if (o_.scenario == "two-messages") {
      Bytes both = mine[0];
      both.insert(both.end(), mine[1].begin(), mine[1].end());
      if (mine.size() == 2) Pause(o_.delay_ms);
      Send(both);
      ExpectAck(mine[0]);
      ExpectAck(mine[1]);
      next = 2;
    }
    for (; next < mine.size(); ++next) {
      if (next + 1 == mine.size()) Pause(o_.delay_ms);
      Send(mine[next]);
      ExpectAck(mine[next]);
    }
  }

  static void Pause(int ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }

  VirtualSerialLine& line_;
  const Options& o_;
  bool trace_;
  std::string rx_;
  std::uint8_t next_counter_ = 0x10;
  int faults_ = 0;
};

int RunUnicredit(SimContext& ctx) {
  const Options o = FromCommandLine(*ctx.options);
  ctx.line->SetTrace(false);
  Terminal t(*ctx.line, o, ctx.trace);
  return t.Run();
}

[[maybe_unused]] const bool registered = RegisterSimKind({"unicredit", &RunUnicredit});

}  // namespace
}  // namespace tarvina::sim
