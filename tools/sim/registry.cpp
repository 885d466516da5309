#include "tools/sim/SimKind.h"

namespace tarvina::sim {

namespace {
std::vector<SimKind>& Kinds() {
  static std::vector<SimKind> kinds;
  return kinds;
}
}  // namespace

bool RegisterSimKind(const SimKind& kind) {
  Kinds().push_back(kind);
  return true;
}

const std::vector<SimKind>& SimKinds() { return Kinds(); }

}  // namespace tarvina::sim
