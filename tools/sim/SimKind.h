#pragma once
// tarvina-sim plays a terminal: `tarvina-sim KIND [options]`. Each terminal
// kind is a module that registers itself here; the frame parses the common
// options, creates the virtual serial line and hands it to the kind.
#include <string>
#include <vector>

namespace tarvina {
class VirtualSerialLine;
}

namespace tarvina::sim {

struct SimContext {
  std::vector<std::string> args;        // the kind's own options (common ones removed)
  tarvina::VirtualSerialLine* line = nullptr;  // null for kinds that do not use a serial line
  bool trace = false;
};

struct SimKind {
  const char* name;     // as typed on the command line: "echo", "transilvania", ...
  const char* summary;  // one line for `tarvina-sim --help`
  const char* help;     // the kind's scenario options, for `tarvina-sim KIND --help`
  bool serial;          // true: the frame creates the line from --link PATH
  int (*run)(SimContext& ctx);
};

// In the kind's module: static const bool registered = RegisterSimKind({...});
bool RegisterSimKind(const SimKind& kind);
const std::vector<SimKind>& SimKinds();

}  // namespace tarvina::sim
