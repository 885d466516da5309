#pragma once
// What the dispatcher's operation routines reach beyond the request itself:
// the main loop their drivers wait in, the desktop shell (cursor, beep), the
// clock, the serial ports' platform layer and the maker of TCP clients.
#include "platform/Clock.h"
#include "platform/Comm.h"
#include "platform/MainLoop.h"
#include "platform/Shell.h"
#include "platform/TcpClient.h"

namespace tarvina {

struct Services {
  MainLoop& loop;
  Shell& shell;
  Clock& clock;
  CommApi& comm;  // the serial ports' platform layer
  // Makes the client that a TCP terminal (Viva Wallet) is reached through.
  TcpClientFactory tcp = SocketTcpClientFactory(clock);
};

}  // namespace tarvina
