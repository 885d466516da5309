#pragma once

namespace tarvina {

class TPosDriver {
 public:
  virtual ~TPosDriver() = default;
  bool IesireFortata = false;
};

}  // namespace tarvina
