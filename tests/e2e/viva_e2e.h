#pragma once
// The simulated Viva Wallet terminal of the end-to-end tests: the built
// `tarvina-sim viva` on a loopback address of its own, port 8080.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/ServerProcess.h"

namespace tarvina {

// Started with the scenario options; returns once it listens.
inline std::unique_ptr<ServerProcess> StartVivaSim(const std::string& addr,
                                                   const std::vector<std::string>& options = {}) {
  std::vector<std::string> args = {"viva", "--listen", addr};
  args.insert(args.end(), options.begin(), options.end());
  auto sim = std::make_unique<ServerProcess>();
  sim->Start(BinPath("tarvina-sim"), args, true);
  EXPECT_GE(sim->WaitForLine("listening " + addr + ":8080"), 0) << "simulator did not start on " << addr;
  return sim;
}

// The simulator's output lines that hold text.
inline std::vector<std::string> SimLines(ServerProcess& sim, const std::string& text) {
  std::vector<std::string> out;
  for (const auto& l : sim.Lines())
    if (l.find(text) != std::string::npos) out.push_back(l);
  return out;
}

}  // namespace tarvina
