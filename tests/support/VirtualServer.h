#pragma once
// The server's request processing on the in-memory line in virtual time: what
// a dispatch test needs around a TEmain. Derive a fixture from it (after
// testing::Test) to use the members by their names.
#include "platform/Clock.h"
#include "platform/MainLoop.h"
#include "server/MainSrv.h"
#include "tests/support/FakeComm.h"
#include "tests/support/RecordingShell.h"

namespace tarvina {

struct VirtualServer {
  VirtualClock clock;
  MainLoop loop{clock};
  RecordingShell shell;
  FakeComm comm{loop};
  Services services{loop, shell, clock, comm};
  TEmain m{services, TConfig{}, "/opt/tarvina/bin/tarvina"};
};

}  // namespace tarvina
