#pragma once
// tarvina-sim plays a terminal: `tarvina-sim KIND [options]`. Each terminal
// kind is a module that registers its run function here; its description and
// options are rows of the table in SimOptions.cpp. The frame parses the
// command line against that table, creates the virtual serial line and hands
// both to the kind.
#include <vector>

namespace tarvina {
class VirtualSerialLine;
}

namespace tarvina::sim {

class SimOptions;

struct SimContext {
  const SimOptions* options = nullptr;         // the command line, defaults filled in
  tarvina::VirtualSerialLine* line = nullptr;  // null for kinds that do not use a serial line
  bool trace = false;
};

struct SimKind {
  const char* name;  // as in the table: "echo", "transilvania", ...
  int (*run)(SimContext& ctx);
};

// In the kind's module: const bool registered = RegisterSimKind({...});
bool RegisterSimKind(const SimKind& kind);
const std::vector<SimKind>& SimKinds();

}  // namespace tarvina::sim
