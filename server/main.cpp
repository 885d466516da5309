// Program start: options, Tarvina.ini, the main window on the main loop, and
// SIGINT/SIGTERM turned into an orderly shutdown.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "platform/HeadlessShell.h"
#include "platform/PortNames.h"
#include "platform/PosixComm.h"
#include "platform/Trace.h"
#include "server/Config.h"
#include "server/MainSrv.h"
#include "server/SignalWatch.h"
#include "server/TestKind.h"
#include "server/Validation.h"

using namespace tarvina;

namespace {

const char* const kUsage =
    "usage: tarvina [--headless] [--config FILE] [--port N] [--trace]\n"
    "  --headless     no desktop: caption, message boxes and log lines go to standard\n"
    "                 output, one time-stamped line each (the default for now)\n"
    "  --config FILE  configuration file instead of Tarvina.ini beside the program\n"
    "  --port N       listen on port N instead of [Config] Port\n"
    "  --trace        every byte exchanged with a terminal on standard error\n";

struct Options {
  std::string config_path;
  bool port_given = false;
  int port = 0;
  bool trace = false;
  bool test_kind = false;
};

bool ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool has_value = i + 1 < argc;
    if (a == "--headless") {
      // The desktop front end is not there yet; both ways run headless.
    } else if (a == "--config" && has_value) {
      o.config_path = argv[++i];
    } else if (a == "--port" && has_value) {
      std::int32_t v;
      if (!TryIntegerText(argv[++i], v) || v < 0 || v > 65535) return false;
      o.port_given = true;
      o.port = v;
    } else if (a == "--trace") {
      o.trace = true;
    } else if (a == "--test-kind") {
      // Hidden: a terminal stand-in for the end-to-end tests (server/TestKind.h).
      o.test_kind = true;
    } else {
      return false;
    }
  }
  return true;
}

const char* SignalName(int signo) { return signo == SIGINT ? "SIGINT" : "SIGTERM"; }

void WriteLine(int fd, const std::string& text) {
  const std::string line = TimeStamp() + " " + text + "\n";
  [[maybe_unused]] ssize_t r = ::write(fd, line.data(), line.size());
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread exists, so that every thread inherits the mask and the
  // signals reach only the watcher.
  SignalWatch::BlockSignals();
  // A reader of standard output that goes away must not take the server with it.
  ::signal(SIGPIPE, SIG_IGN);

  Options opt;
  if (!ParseOptions(argc, argv, opt)) {
    std::cerr << kUsage;
    return 2;
  }
  if (opt.trace)
    WireTrace::SetSink([](const std::string& line) { WriteLine(2, Printable(line)); });

  TConfig config = ReadConfig(opt.config_path.empty() ? DefaultConfigPath() : opt.config_path);
  if (opt.port_given) config.PortIP = opt.port;
  // [Serial] COM3=/dev/ttyUSB0: where each COMn of a request really is.
  SetPortMap(config.Keys.SectionValues("Serial"));

  Clock& clock = DefaultClock();
  MainLoop loop(clock);
  HeadlessShell shell(std::cout);
  Services services{loop, shell, clock, SystemComm()};
  TEmain emain(services, std::move(config));
  if (opt.test_kind) InstallTestKind(emain);

  SignalWatch signals([&](int signo, int count) {
    if (count > 1) {
      WriteLine(1, std::string("stopping at once (") + SignalName(signo) + ")");
      std::_Exit(128 + signo);
    }
    loop.Post([&, signo] {
      emain.RequestShutdown();
      WriteLine(1, std::string("stopping (") + SignalName(signo) + ")" +
                       (emain.ShutdownPending() ? ": after the operation in progress" : ""));
    });
  });

  emain.FormCreate();
  loop.Run();
  emain.FormDestroy();
  return 0;
}
