#pragma once
// `tarvina-sim viva`: a Viva Wallet terminal on TCP. It greets each connection,
// reads one request, checks its length field and form, and answers with the
// fields its options choose.
#include <string>
#include <vector>

namespace tarvina::sim {

extern const char* const kVivaSimSummary;
extern const char* const kVivaSimHelp;

// args: the kind's options ("--listen ADDR" ...). Serves connections one after
// another until killed (or after one with --once); trace prints every byte
// both ways on standard error. Returns the exit status.
int RunVivaSim(const std::vector<std::string>& args, bool trace = false);

}  // namespace tarvina::sim
