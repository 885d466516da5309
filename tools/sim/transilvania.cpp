// tarvina-sim transilvania: plays a Banca Transilvania terminal on the far side
// of a virtual serial line, with the frames of terminals/PosTransilvania.
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/Trace.h"
#include "platform/VirtualSerial.h"
#include "terminals/PosTransilvania/TransilvaniaFrames.h"
#include "tools/sim/SimKind.h"
#include "tools/sim/SimOptions.h"

namespace tarvina::sim {
namespace {

using namespace tarvina::transilvania;
using Bytes = std::vector<std::uint8_t>;
using SteadyClock = std::chrono::steady_clock;

enum class Scenario { Approve, Refuse, Chunks, NoEnqAck, NakEnq, AckSilent, BadFirst };

struct Options {
  Scenario scenario = Scenario::Approve;
  int code = 5;
  std::string a107, a108;
  int chunk = 7;
  int pause_ms = 200;
  int delay_ms = 0;
  bool trace = false;
};

Scenario ScenarioNamed(const std::string& s) {
  const std::pair<const char*, Scenario> names[] = {
      {"approve", Scenario::Approve},      {"refuse", Scenario::Refuse},
      {"chunks", Scenario::Chunks},        {"no-enq-ack", Scenario::NoEnqAck},
      {"nak-enq", Scenario::NakEnq},       {"ack-silent", Scenario::AckSilent},
      {"bad-first", Scenario::BadFirst}};
  for (auto [name, sc] : names)
    if (s == name) return sc;
  throw std::logic_error("no scenario " + s);
}

Options FromCommandLine(const SimOptions& t) {
  Options o;
  o.scenario = ScenarioNamed(t.Text("--scenario"));
  o.code = static_cast<int>(t.Number("--result"));
  const bool refuse = o.scenario == Scenario::Refuse;
  o.a107 = t.Given("--a107") ? t.Text("--a107") : refuse ? "51" : "00";
  o.a108 = t.Given("--a108") ? t.Text("--a108") : refuse ? "FONDURI INSUFICIENTE" : "APROBAT";
  o.chunk = static_cast<int>(t.Number("--chunk"));
  o.pause_ms = static_cast<int>(t.Number("--pause"));
  o.delay_ms = static_cast<int>(t.Number("--delay"));
  return o;
}

class Terminal {
 public:
  Terminal(VirtualSerialLine& line, const Options& o) : line_(line), o_(o) {}

  int Run() {
    for (;;) {
      const Bytes got = line_.Read(1000);
      for (std::uint8_t b : got) OnByte(b);
    }
  }

 private:
  void Trace(bool out, const Bytes& b) {
    if (!o_.trace) return;
    const double ms = std::chrono::duration<double, std::milli>(SteadyClock::now() - start_).count();
    std::fprintf(stderr, "[%10.3f] %s\n", ms, WireTrace::Format(!out, b.data(), b.size()).c_str());
  }

  void Send(const Bytes& b) {
    Trace(true, b);
    // Stamped before the write: the PC may answer before this process runs again.
    last_answer_byte_ = SteadyClock::now();
    line_.Write(b);
  }

  void OnByte(std::uint8_t b) {
    if (pending_.empty() && b != STX) {
      Trace(false, Bytes{b});
      if (b == ENQ) OnEnq();
      if (b == EOT) OnEot();
      return;  // anything else between frames is ignored
    }
    pending_.push_back(b);
    std::size_t used = 0;
    const auto frame = ParseFrame(pending_, used);
    if (!frame) {
      if (pending_.size() > 6 + 0xFFFF) pending_.clear();
      return;
    }
    Trace(false, pending_);
    pending_.clear();
    if (!frame->crc_ok || !frame->fields_ok || frame->fields.empty()) {
      Send({NAK});
      return;
    }
    OnRequest(*frame);
  }

  void OnEnq() {
    if (o_.scenario == Scenario::NoEnqAck) return;
    Send({o_.scenario == Scenario::NakEnq ? NAK : ACK});
  }

  void OnEot() {
    // On standard output, beside the ready line, for tests and figures.
    if (answered_)
      std::printf("EOT %.3f ms after the last answer byte\n",
                  std::chrono::duration<double, std::milli>(SteadyClock::now() - last_answer_byte_).count());
    else
      std::printf("EOT\n");
    std::fflush(stdout);
    answered_ = false;
  }

  void OnRequest(const ParsedFrame& request) {
    Send({ACK});
    if (o_.scenario == Scenario::AckSilent) return;
    const std::uint8_t op = request.fields[0].id == 0x00 && !request.fields[0].value.empty()
                                ? static_cast<std::uint8_t>(request.fields[0].value[0])
                                : 0;
    const Bytes frame = AnswerFrame(op);
    if (o_.delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(o_.delay_ms));
    if (o_.scenario == Scenario::Chunks) {
      for (std::size_t i = 0; i < frame.size(); i += static_cast<std::size_t>(o_.chunk)) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(o_.pause_ms));
        const std::size_t end = std::min(frame.size(), i + static_cast<std::size_t>(o_.chunk));
        Send(Bytes(frame.begin() + i, frame.begin() + end));
      }
    } else {
      Send(frame);
    }
    answered_ = true;
  }

  Bytes AnswerFrame(std::uint8_t op) const {
    if (o_.scenario == Scenario::BadFirst)
      return FrameBytes(kTagResponse, {{0x07, o_.a107}, {0x00, std::string(1, '\0')}});
    const std::uint8_t code = o_.scenario == Scenario::Refuse ? static_cast<std::uint8_t>(o_.code) : 0;
    std::vector<Field> fields{{0x07, o_.a107}, {0x08, o_.a108}};
    if (op == kOpSale)
      fields.insert(fields.end(), {{0x03, "000000001234"}, {0x04, "123456"}, {0x05, "ABC123"},
                                   {0x06, "000042"}, {0x0D, "************1234"}});
    else if (op == kOpDailyReport)
      fields.insert(fields.end(), {{0x03, "000000000000"}, {0x0E, "0001"}, {0x10, "0"}});
    return ResponseFrame(code, fields);
  }

  VirtualSerialLine& line_;
  const Options& o_;
  Bytes pending_;
  bool answered_ = false;
  SteadyClock::time_point start_ = SteadyClock::now();
  SteadyClock::time_point last_answer_byte_ = SteadyClock::now();
};

int RunTransilvania(SimContext& ctx) {
  Options o = FromCommandLine(*ctx.options);
  o.trace = ctx.trace;
  ctx.line->SetTrace(false);  // our own trace carries time stamps
  Terminal terminal(*ctx.line, o);
  return terminal.Run();
}

[[maybe_unused]] const bool registered = RegisterSimKind({"transilvania", &RunTransilvania});

}  // namespace
}  // namespace tarvina::sim
