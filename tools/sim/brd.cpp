// tarvina-sim brd: plays a BRD card terminal. For each sale request it checks
// the LRC, acknowledges, sends any intermediate frames and then the final
// answer the options ask for, each after the PC has acknowledged the one
// before. It serves requests until it is stopped.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/VirtualSerial.h"
#include "terminals/PosBRD/BrdFrames.h"
#include "tools/sim/SimKind.h"
#include "tools/sim/SimOptions.h"

namespace tarvina::sim {

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Options {
  std::string answer = "approved";
  std::string reason = "FONDURI INSUFICIENTE";
  std::string text = "OPERATIE ANULATA";
  int intermediate = 0;
  int delayMs = 200;
  bool noAck = false;
  bool silentAfterAck = false;
  bool ackWithAnswer = false;
  bool splitLrc = false;
  bool timing = false;
};

using Clock = std::chrono::steady_clock;

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

class BrdTerminal {
 public:
  BrdTerminal(VirtualSerialLine& line, const Options& o) : line_(line), o_(o) {}

  void Run() {
    for (;;) {
      Bytes request = NextRequest();
      const brd::ParsedRequest r = brd::ParseRequest(request.data(), request.size());
      if (!r.lrc_ok) {
        std::fprintf(stderr, "tarvina-sim brd: request with a wrong LRC, not acknowledged\n");
        continue;
      }
      std::fprintf(stderr, "tarvina-sim brd: sale of %s hundredths\n", brd::RequestAmount(r.body).c_str());
      if (o_.noAck) continue;
      Serve();
    }
  }

 private:
  // Bytes from the line until a whole request frame has come; what comes
  // before its two STX is dropped.
  Bytes NextRequest() {
    for (;;) {
      while (pending_.size() >= 2 && !(pending_[0] == brd::STX && pending_[1] == brd::STX))
        pending_.erase(pending_.begin());
      const brd::ParsedRequest r = brd::ParseRequest(pending_.data(), pending_.size());
      if (r.complete) {
        Bytes request(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(r.length));
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(r.length));
        return request;
      }
      Bytes got = line_.Read(1000);
      pending_.insert(pending_.end(), got.begin(), got.end());
    }
  }

  std::vector<std::string> Frames() const {
    std::vector<std::string> frames;
    for (int i = 0; i < o_.intermediate; ++i) frames.push_back(brd::IntermediateAnswer("ASTEPTATI"));
    if (o_.answer == "approved") frames.push_back(brd::FinalAnswer("01"));
    else if (o_.answer == "approved02") frames.push_back(brd::FinalAnswer("02"));
    else if (o_.answer == "refused") frames.push_back(brd::FinalAnswer("04", o_.reason));
    else if (o_.answer == "format") frames.push_back(brd::FinalAnswer("00"));
    else if (o_.answer == "comm") frames.push_back(brd::FinalAnswer("06"));
    else frames.push_back(brd::MessageAnswer(o_.text));
    return frames;
  }

  void Serve() {
    const std::vector<std::string> frames = Frames();
    bool first = true;
    if (!o_.ackWithAnswer) line_.Write(Bytes{brd::ACK});
    if (o_.silentAfterAck) {
      if (o_.ackWithAnswer) line_.Write(Bytes{brd::ACK});
      return;
    }
    for (const std::string& content : frames) {
      Pause(o_.delayMs);
      Bytes frame = brd::TerminalFrame(content);
      if (first && o_.ackWithAnswer) frame.insert(frame.begin(), brd::ACK);
      first = false;
      if (o_.splitLrc) {
        const Bytes lrc{frame.back()};
        frame.pop_back();
        line_.Write(frame);
        Pause(50);
        line_.Write(lrc);
      } else {
        line_.Write(frame);
      }
      const auto sent = Clock::now();
      if (!AwaitAck()) {
        std::fprintf(stderr, "tarvina-sim brd: no ACK from the PC for a frame\n");
        return;
      }
      if (o_.timing) {
        const double us = std::chrono::duration<double, std::micro>(Clock::now() - sent).count();
        std::printf("ack-latency-us %.0f\n", us);
        std::fflush(stdout);
      }
    }
  }

  // Waits up to 10 s for the PC's ACK. Anything else that comes is kept: a
  // new request starts the next sale.
  bool AwaitAck() {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
      for (std::size_t i = 0; i < pending_.size(); ++i) {
        if (pending_[i] == brd::ACK) {
          pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(i + 1));
          return true;
        }
      }
      Bytes got = line_.Read(5);
      pending_.insert(pending_.end(), got.begin(), got.end());
    }
    return false;
  }

  VirtualSerialLine& line_;
  const Options& o_;
  Bytes pending_;
};

Options FromCommandLine(const SimOptions& t) {
  Options o;
  o.answer = t.Text("--result");
  o.reason = t.Text("--reason");
  o.text = t.Text("--text");
  o.intermediate = static_cast<int>(t.Number("--intermediate"));
  o.delayMs = static_cast<int>(t.Number("--delay"));
  o.noAck = t.Flag("--no-ack");
  o.silentAfterAck = t.Flag("--silent-after-ack");
  o.ackWithAnswer = t.Flag("--ack-with-answer");
  o.splitLrc = t.Flag("--split-lrc");
  o.timing = t.Flag("--timing");
  return o;
}

int RunBrd(SimContext& ctx) {
  const Options o = FromCommandLine(*ctx.options);
  BrdTerminal(*ctx.line, o).Run();
  return 0;
}

[[maybe_unused]] const bool registered =
    RegisterSimKind({"brd", RunBrd});

}  // namespace

}  // namespace tarvina::sim
