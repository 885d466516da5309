// tarvina-sim KIND [--link PATH] [--trace] [scenario options]
//
// Plays one terminal. For serial kinds the frame creates a virtual serial
// line, links PATH to its port side (so Tarvina.ini can say COM3=PATH),
// prints "ready PATH" on standard output and hands the line to the kind.
// Non-serial kinds get no line and print their own ready line. The program
// runs until the kind returns or SIGINT/SIGTERM ends it, removing the link.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/VirtualSerial.h"
#include "tools/sim/SimKind.h"

using tarvina::VirtualSerialLine;
using namespace tarvina::sim;

namespace {

const char kCommonHelp[] =
    "  --link PATH        link PATH to the port side of the line (serial kinds)\n"
    "  --trace            print every byte both ways on standard error\n"
    "  --help             this text\n"
    "line faults (serial kinds; counted from the PC's first byte):\n"
    "  --hangup-ms N      N ms after the PC's first byte, close the line, remove the\n"
    "                     link and exit (a pulled cable; prints \"hangup\")\n"
    "  --noise N          N bytes of line noise (a fixed pseudo-random pattern) in\n"
    "                     front of the terminal's first reply; 1048576 floods the line\n"
    "  --byte-gap-ms N    every reply trickles, one byte each N ms\n"
    "  --shape SEED       cut and join the terminal's writes at random (seeded): a\n"
    "                     write may wait up to 15 ms for the next and go out with\n"
    "                     it, and each batch goes whole, byte by byte or in pieces,\n"
    "                     with gaps of up to 3 ms (stress runs)\n";

// The link to remove on a signal, and the device it must still point to.
std::string g_link;
std::string g_device;

void PrintKinds(std::FILE* out) {
  std::fprintf(out, "usage: tarvina-sim KIND [--link PATH] [--trace] [scenario options]\n");
  std::fprintf(out, "       tarvina-sim KIND --help\n\nkinds:\n");
  for (const auto& k : SimKinds()) std::fprintf(out, "  %-14s %s\n", k.name, k.summary);
  std::fprintf(out, "\ncommon options:\n%s", kCommonHelp);
}

const SimKind* FindKind(const std::string& name) {
  for (const auto& k : SimKinds())
    if (name == k.name) return &k;
  return nullptr;
}

// Line noise: the same bytes on every run, control characters and frame
// markers among them, so that a receiver meets every byte value.
std::vector<std::uint8_t> Noise(std::size_t n) {
  std::vector<std::uint8_t> out(n);
  std::uint32_t x = 2463534242u;
  for (auto& b : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<std::uint8_t>(x);
  }
  return out;
}

// The pulled cable: once the PC has spoken, wait, then let the process end,
// which closes the far side (the port side sees a hang-up) with the link gone.
void StartHangupThread(const VirtualSerialLine& line, int ms) {
  std::thread([&line, ms] {
    while (!line.Heard()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    if (!g_link.empty()) VirtualSerialLine::RemoveLink(g_link.c_str(), g_device.c_str());
    std::printf("hangup\n");
    std::fflush(stdout);
    _exit(0);
  }).detach();
}

bool ParseCount(const std::string& text, long& out) {
  char* end = nullptr;
  out = std::strtol(text.c_str(), &end, 10);
  return !text.empty() && *end == 0 && out >= 0 && out <= (64L << 20);
}

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

// SIGINT and SIGTERM are taken by a thread of their own, so that the link is
// removed however busy the kind is. Signals that came before it started were
// held blocked and are taken now.
void StartSignalThread() {
  std::thread([] {
    sigset_t set = StopSignals();
    int sig = 0;
    sigwait(&set, &sig);
    if (!g_link.empty()) VirtualSerialLine::RemoveLink(g_link.c_str(), g_device.c_str());
    std::fflush(stdout);
    _exit(0);
  }).detach();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintKinds(stderr);
    return 2;
  }
  const std::string first = argv[1];
  if (first == "--help" || first == "-h") {
    PrintKinds(stdout);
    return 0;
  }
  const SimKind* kind = FindKind(first);
  if (!kind) {
    std::fprintf(stderr, "tarvina-sim: unknown kind %s\n\n", first.c_str());
    PrintKinds(stderr);
    return 2;
  }

  SimContext ctx;
  std::string link;
  long hangup_ms = -1, noise = 0, byte_gap_ms = 0, shape = 0;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    long* fault = a == "--hangup-ms"     ? &hangup_ms
                  : a == "--noise"       ? &noise
                  : a == "--byte-gap-ms" ? &byte_gap_ms
                  : a == "--shape"       ? &shape
                                         : nullptr;
    if (fault) {
      if (i + 1 >= argc || !ParseCount(argv[i + 1], *fault)) {
        std::fprintf(stderr, "tarvina-sim: %s needs a number\n", a.c_str());
        return 2;
      }
      ++i;
      continue;
    }
    if (a == "--help" || a == "-h") {
      std::printf("tarvina-sim %s: %s\n\ncommon options:\n%s\n%s options:\n%s", kind->name, kind->summary,
                  kCommonHelp, kind->name, kind->help);
      return 0;
    } else if (a == "--trace") {
      ctx.trace = true;
    } else if (a == "--link" && i + 1 < argc) {
      link = argv[++i];
    } else if (a.rfind("--link=", 0) == 0) {
      link = a.substr(7);
    } else if (a == "--link") {
      std::fprintf(stderr, "tarvina-sim: --link needs a path\n");
      return 2;
    } else {
      ctx.args.push_back(a);
    }
  }
  if (!kind->serial && (!link.empty() || hangup_ms >= 0 || noise > 0 || byte_gap_ms > 0 || shape > 0)) {
    std::fprintf(stderr, "tarvina-sim: %s uses no serial line; --link and the line faults do not apply\n",
                 kind->name);
    return 2;
  }

  sigset_t stop = StopSignals();
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  std::unique_ptr<VirtualSerialLine> line;
  if (kind->serial) {
    try {
      line = std::make_unique<VirtualSerialLine>(link);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "tarvina-sim: %s\n", e.what());
      return 1;
    }
    line->SetTrace(ctx.trace);
    line->SetNoise(Noise(static_cast<std::size_t>(noise)));
    line->SetTrickle(static_cast<int>(byte_gap_ms));
    if (shape > 0) line->SetShaping(static_cast<unsigned>(shape));
    ctx.line = line.get();
    if (!link.empty()) g_link = link;
    g_device = line->DevicePath();
  }
  StartSignalThread();
  if (line && hangup_ms >= 0) StartHangupThread(*line, static_cast<int>(hangup_ms));
  if (line) {
    std::printf("ready %s\n", line->PortPath().c_str());
    std::fflush(stdout);
  }
  int rc = 0;
  try {
    rc = kind->run(ctx);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tarvina-sim %s: %s\n", kind->name, e.what());
    rc = 1;
  }
  return rc;
}
