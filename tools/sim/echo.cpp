// The simplest far side: every byte that arrives goes straight back.
#include "platform/VirtualSerial.h"
#include "tools/sim/SimKind.h"

namespace tarvina::sim {

namespace {

int RunEcho(SimContext& ctx) {
  for (;;) {
    auto bytes = ctx.line->Read(1000);
    if (!bytes.empty()) ctx.line->Write(bytes);
  }
}

[[maybe_unused]] const bool registered = RegisterSimKind({"echo", RunEcho});

}  // namespace

}  // namespace tarvina::sim
