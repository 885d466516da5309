// The simplest far side: every byte that arrives goes straight back.
#include <cstdio>

#include "platform/VirtualSerial.h"
#include "tools/sim/SimKind.h"

namespace tarvina::sim {

namespace {

int RunEcho(SimContext& ctx) {
  if (!ctx.args.empty()) {
    std::fprintf(stderr, "tarvina-sim echo: unknown option %s\n", ctx.args.front().c_str());
    return 2;
  }
  for (;;) {
    auto bytes = ctx.line->Read(1000);
    if (!bytes.empty()) ctx.line->Write(bytes);
  }
}

[[maybe_unused]] const bool registered = RegisterSimKind({"echo", "sends back every byte it receives", "  (no options)\n", true, RunEcho});

}  // namespace

}  // namespace tarvina::sim
