// Program start: options, Tarvina.ini, the main window on the main loop, and
// SIGINT/SIGTERM turned into an orderly shutdown.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
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
#include "serial/UComPort.h"
#ifdef TARVINA_DESKTOP
#include "gui/Desktop.h"
#endif

using namespace tarvina;

namespace {

const char* const kUsage =
    "usage: tarvina [--headless] [--config FILE] [--port N] [--trace]\n"
    "       tarvina --version | --help\n"
    "  --headless     no desktop: caption, message boxes and log lines go to standard\n"
    "                 output, one time-stamped line each (also without a display)\n"
    "  --config FILE  configuration file instead of Tarvina.ini beside the program\n"
    "  --port N       listen on port N instead of [Config] Port\n"
    "  --trace        every byte exchanged with a terminal on standard error\n"
    "  --version      the version, then exit\n"
    "  --help         this text, then exit\n";

struct Options {
  bool headless = false;
  bool setup_dialog = false;
  std::string config_path;
  bool port_given = false;
  int port = 0;
  bool trace = false;
  bool test_kind = false;
  bool version = false;
  bool help = false;
};

bool ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool has_value = i + 1 < argc;
    if (a == "--headless") {
      o.headless = true;
    } else if (a == "--setup-dialog") {
      // Hidden: opens the serial setup dialog, prints the choice and ends.
      o.setup_dialog = true;
    } else if (a == "--config" && has_value) {
      o.config_path = argv[++i];
    } else if (a == "--port" && has_value) {
      std::int32_t v;
      if (!TryIntegerText(argv[++i], v) || v < 0 || v > 65535) return false;
      o.port_given = true;
      o.port = v;
    } else if (a == "--version") {
      o.version = true;
    } else if (a == "--help" || a == "-h") {
      o.help = true;
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
  // Each connection holds two descriptors; the cap on connections, not the
  // system's default soft limit, is what should refuse a client.
  RaiseDescriptorLimit();

  Options opt;
  if (!ParseOptions(argc, argv, opt)) {
    std::cerr << kUsage;
    return 2;
  }
  if (opt.help || opt.version) {
    std::cout << (opt.help ? kUsage : "tarvina " TARVINA_VERSION "\n");
    return 0;
  }
  if (opt.trace)
    WireTrace::SetSink([](const std::string& line) { WriteLine(2, Printable(line)); });

  TConfig config = ReadConfig(opt.config_path.empty() ? DefaultConfigPath() : opt.config_path);
  if (opt.port_given) config.PortIP = opt.port;
  // [Serial] COM3=/dev/ttyUSB0: where each COMn of a request really is.
  SetPortMap(config.Keys.SectionValues("Serial"));

  Clock& clock = DefaultClock();
  MainLoop loop(clock);
  std::unique_ptr<HeadlessShell> headless;
  Shell* shell = nullptr;
#ifdef TARVINA_DESKTOP
  std::unique_ptr<Desktop> desktop;
  if (!opt.headless) {
    std::string why;
    if (DesktopAvailable(why)) {
      desktop = std::make_unique<Desktop>(loop, argc, argv, TrayTipText(ProgramPath()));
      shell = &desktop->shell();
    } else {
      WriteLine(1, "no display (" + why + "): running headless");
    }
  }
#else
  if (!opt.headless) WriteLine(1, "built without the desktop front end: running headless");
#endif
  if (!shell) {
    headless = std::make_unique<HeadlessShell>(std::cout);
    shell = headless.get();
  }

  if (opt.setup_dialog) {
    tComPort line(loop, SystemComm());
    const bool ok = line.ExecConfigDialog();
    WriteLine(1, ok ? "setup: Ok " + tComPort::DeviceName(line.Comport()) + " " +
                          std::to_string(baudrates[line.Baudrate()])
                    : std::string("setup: no choice"));
    return ok ? 0 : 1;
  }

  Services services{loop, *shell, clock, SystemComm()};
  TEmain emain(services, std::move(config));
  if (opt.test_kind) InstallTestKind(emain);
  // Refused connections are the operator's business, not a request's: they
  // go to standard output, not into the request log.
  emain.OnNotice = [](const std::string& line) { WriteLine(1, line); };

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

#ifdef TARVINA_DESKTOP
  if (desktop) {
    desktop->OnTrayMessage([&](unsigned event) { emain.TrayMessage(event); });
    // The close box ends the program as a signal does: after the operation
    // in progress, if there is one.
    desktop->OnClose([&] {
      emain.RequestShutdown();
      WriteLine(1, std::string("stopping (window closed)") +
                       (emain.ShutdownPending() ? ": after the operation in progress" : ""));
    });
  }
#endif

  emain.FormCreate();
  loop.Run();
  emain.FormDestroy();
  return 0;
}
