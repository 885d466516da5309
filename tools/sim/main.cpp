// tarvina-sim KIND [--link PATH] [--trace] [scenario options]
//
// Plays one terminal. The command line is checked against the option table
// first (a bad one ends with a message and exit status 2 before any line is
// made). For serial kinds the frame then creates a virtual serial line, links
// PATH to its port side (so Tarvina.ini can say COM3=PATH), prints
// "ready PATH" on standard output and hands the line to the kind. Non-serial
// kinds get no line and print their own ready line. The program runs until
// the kind returns or SIGINT/SIGTERM ends it, removing the link.
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
#include "tools/sim/SimOptions.h"

using tarvina::VirtualSerialLine;
using namespace tarvina::sim;

namespace {

// The link to remove on a signal, and the device it must still point to.
std::string g_link;
std::string g_device;

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
    std::fputs(GeneralHelp().c_str(), stderr);
    return 2;
  }
  const std::string first = argv[1];
  if (first == "--help" || first == "-h") {
    std::fputs(GeneralHelp().c_str(), stdout);
    return 0;
  }
  const KindEntry* entry = FindKindEntry(first);
  const SimKind* kind = FindKind(first);
  if (!entry || !kind) {
    std::fprintf(stderr, "tarvina-sim: unknown kind %s\n\n%s", first.c_str(), GeneralHelp().c_str());
    return 2;
  }

  SimOptions options;
  try {
    std::string error;
    if (!ParseSimOptions(*entry, std::vector<std::string>(argv + 2, argv + argc), options, error)) {
      std::fprintf(stderr, "tarvina-sim %s: %s\n", entry->name, error.c_str());
      return 2;
    }
    if (options.Flag("--help")) {
      std::fputs(KindHelp(*entry).c_str(), stdout);
      return 0;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tarvina-sim %s: %s\n", entry->name, e.what());
    return 1;
  }
  SimContext ctx;
  ctx.options = &options;
  ctx.trace = options.Flag("--trace");

  sigset_t stop = StopSignals();
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  std::unique_ptr<VirtualSerialLine> line;
  long hangup_ms = -1;
  if (entry->serial) {
    const std::string link = options.Text("--link");
    try {
      line = std::make_unique<VirtualSerialLine>(link);
    } catch (const VirtualSerialLine::LinkInUse& e) {
      std::fprintf(stderr, "tarvina-sim %s: %s\n", entry->name, e.what());
      return 2;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "tarvina-sim: %s\n", e.what());
      return 1;
    }
    line->SetTrace(ctx.trace);
    line->SetNoise(Noise(static_cast<std::size_t>(options.Number("--noise"))));
    line->SetTrickle(static_cast<int>(options.Number("--byte-gap-ms")));
    if (options.Has("--shape") && options.Number("--shape") > 0)
      line->SetShaping(static_cast<unsigned>(options.Number("--shape")));
    if (options.Has("--hangup-ms")) hangup_ms = options.Number("--hangup-ms");
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
