#include <algorithm>
#include <cstring>

#include "tools/sim/SimKind.h"

namespace tarvina::sim {

namespace {
std::vector<SimKind>& Kinds() {
  static std::vector<SimKind> kinds;
  return kinds;
}
}  // namespace

bool RegisterSimKind(const SimKind& kind) {
  auto& kinds = Kinds();
  auto at = std::find_if(kinds.begin(), kinds.end(),
                         [&](const SimKind& k) { return std::strcmp(k.name, kind.name) > 0; });
  kinds.insert(at, kind);
  return true;
}

const std::vector<SimKind>& SimKinds() { return Kinds(); }

}  // namespace tarvina::sim
