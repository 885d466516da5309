#pragma once
// The BRD card sale. Unlike the other kinds, the dispatcher runs this
// exchange itself: it sets up the driver's line, sends the request and polls
// for the answer, collecting the terminal's bytes into the driver.
#include <string>

namespace tarvina {

class MainLoop;
class TPosBRD;

// Runs the sale of `suma` on COM`comPort` through `pos`. Messages keep being
// processed between polls, which is where a STOP packet sets `stop`. Sets
// `procesOK` and `errorMsg` as the outcome says; a sale ended by `stop`
// before the answer leaves both as they were.
void RuleazaTranzactieBRD(MainLoop& loop, TPosBRD& pos, int comPort, double suma, const bool& stop,
                          bool& procesOK, std::string& errorMsg);

}  // namespace tarvina
