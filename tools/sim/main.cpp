// tarvina-sim KIND [--link PATH] [--trace] [scenario options]
//
// Plays one terminal. For serial kinds the frame creates a virtual serial
// line, links PATH to its port side (so Tarvina.ini can say COM3=PATH),
// prints "ready PATH" on standard output and hands the line to the kind.
// Non-serial kinds get no line and print their own ready line. The program
// runs until the kind returns or SIGINT/SIGTERM ends it, removing the link.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <thread>

#include "platform/VirtualSerial.h"
#include "tools/sim/SimKind.h"

using tarvina::VirtualSerialLine;
using namespace tarvina::sim;

namespace {

const char kCommonHelp[] =
    "  --link PATH   link PATH to the port side of the line (serial kinds)\n"
    "  --trace       print every byte both ways on standard error\n"
    "  --help        this text\n";

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
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
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
  if (!kind->serial && !link.empty()) {
    std::fprintf(stderr, "tarvina-sim: %s uses no serial line; --link does not apply\n", kind->name);
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
    ctx.line = line.get();
    if (!link.empty()) g_link = link;
    g_device = line->DevicePath();
  }
  StartSignalThread();
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
