// The built `tarvina` on its desktop front end, on a private Xvfb display with
// a tray host, driven as a user would: clicks on the tray icon, the keyboard,
// the clipboard (to read the log), and requests over loopback TCP.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/gui/CloseBox.h"
#include "tests/gui/XSession.h"
#include "tests/support/LoopbackClient.h"
#include "tests/support/ServerProcess.h"

namespace tarvina {
namespace {

// The program runs under this file name, so that its tray tip, "Posserver",
// is its own: cut at the first ".", first letter kept, the rest lower case.
constexpr const char* kProgramName = "POSSERVER.desktop.bin";
constexpr const char* kTip = "Posserver";

XSession* session = nullptr;
std::string skip_reason;
std::string program;

class DesktopEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    skip_reason = XSession::Missing();
    if (!skip_reason.empty()) {
      skip_reason = "missing " + skip_reason + " (scripts/install-deps.sh installs them)";
      return;
    }
    session = new XSession;
    std::string why;
    if (!session->Start(why)) {
      skip_reason = why;
      return;
    }
    const std::string dir = std::string(std::getenv("XDG_RUNTIME_DIR")) + "/bin";
    std::filesystem::create_directories(dir);
    program = dir + "/" + kProgramName;
    std::filesystem::copy_file(BinPath("tarvina"), program, std::filesystem::copy_options::overwrite_existing);
  }
  void TearDown() override {
    if (!program.empty()) std::filesystem::remove_all(std::filesystem::path(program).parent_path());
    delete session;
    session = nullptr;
  }
};

[[maybe_unused]] const auto* const env = ::testing::AddGlobalTestEnvironment(new DesktopEnvironment);

std::vector<std::string> Words(const std::string& s) {
  std::vector<std::string> out;
  std::size_t i = 0;
  while (i < s.size()) {
    const auto j = s.find_first_of(" \n", i);
    if (j != i) out.push_back(s.substr(i, j == std::string::npos ? std::string::npos : j - i));
    if (j == std::string::npos) break;
    i = j + 1;
  }
  return out;
}

bool Mapped(const std::string& w) { return Sh("xwininfo -id " + w).find("IsViewable") != std::string::npos; }

std::string WindowType(const std::string& w) { return Sh("xprop -id " + w + " _NET_WM_WINDOW_TYPE"); }

// The parent of an X window, "" at the root.
std::string Parent(const std::string& w) {
  std::smatch m;
  const std::string info = Sh("xwininfo -children -id " + w);
  static const std::regex parent("Parent window id: (0x[0-9a-f]+)");
  if (!std::regex_search(info, m, parent)) return "";
  const std::string p = m[1];
  return info.find("Parent window id: " + p + " (the root window)") == std::string::npos ? p : "";
}

// The window named `tip` that sits inside the tray host's panel, or "".
std::string TrayIcon() {
  for (const std::string& w : Words(Sh(std::string("xdotool search --name '^") + kTip + "$'"))) {
    for (std::string p = Parent(w); !p.empty(); p = Parent(p))
      if (Sh("xprop -id " + p + " WM_CLASS").find("\"trayer\"") != std::string::npos) return w;
  }
  return "";
}

class DesktopSession : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!skip_reason.empty()) GTEST_SKIP() << "desktop tests skipped: " << skip_reason;
  }
  void TearDown() override {
    if (started_) {
      server.Signal(SIGTERM);
      server.Wait();
    }
  }

  // Starts the program on the desktop and waits for its window (found by its
  // caption, hidden or not) and its tray icon.
  void Start(std::vector<std::string> extra = {}, std::uint16_t port = 0) {
    port_ = port ? port : FreePort();
    std::vector<std::string> args = {"--port", std::to_string(port_)};
    args.insert(args.end(), extra.begin(), extra.end());
    server.Start(program, args);
    started_ = true;
    const std::string search = "xdotool search --name 'Port : " + std::to_string(port_) + "    Server'";
    ASSERT_TRUE(Eventually([&] { return !(window_ = Sh(search)).empty(); }, 15000)) << "no window";
    ASSERT_TRUE(Eventually([&] { return !(icon_ = TrayIcon()).empty(); })) << "no tray icon named " << kTip;
  }

  // A click of the icon; clicks that are no double click land at spots far
  // enough apart that the toolkit does not take two of them for one.
  void ClickIcon(int button, int repeat = 1) {
    const int at = (spot_++ % 2) ? 5 : 16;
    Sh("xdotool mousemove --window " + icon_ + " " + std::to_string(at) + " " + std::to_string(at) + " click --repeat " +
       std::to_string(repeat) + " --delay 60 " + std::to_string(button));
  }

  // The log's text as a user copies it: focus, select all, copy.
  std::string CopyLog() {
    Sh("xdotool windowfocus --sync " + window_ + " key --clearmodifiers ctrl+a ctrl+c");
    return Sh("xclip -o -selection clipboard");
  }
  bool LogIs(const std::string& expected, std::string& seen) {
    return Eventually([&] { return (seen = CopyLog()) == expected; });
  }

  std::string Send(const std::string& request) { return RoundTripToServer(port_, request, 10000); }

  ServerProcess server;
  std::uint16_t port_ = 0;
  std::string window_, icon_;
  bool started_ = false;
  int spot_ = 0;
};

TEST_F(DesktopSession, HiddenAtStartTrayClicksToggleTheWindow) {
  ASSERT_NO_FATAL_FAILURE(Start());
  EXPECT_FALSE(Mapped(window_)) << "the window starts hidden";
  EXPECT_NE(WindowType(window_).find("_NET_WM_WINDOW_TYPE_UTILITY"), std::string::npos)
      << "a tool window, with no taskbar button of its own";
  EXPECT_EQ(Sh("xdotool getwindowname " + window_),
            "Server POS-uri bancare     Port : " + std::to_string(port_) + "    Server activ");

  // The tip shows when the pointer rests on the icon.
  Sh("xdotool mousemove 300 300 mousemove --window " + icon_ + " 10 10");
  EXPECT_TRUE(Eventually([&] {
    for (const auto& w : Words(Sh("xdotool search --onlyvisible --pid " + std::to_string(server.pid()))))
      if (WindowType(w).find("_NET_WM_WINDOW_TYPE_TOOLTIP") != std::string::npos) return true;
    return false;
  })) << "no tip window over the icon";

  struct Step {
    const char* what;
    int button, clicks;
    bool shown_after;
  };
  const Step steps[] = {
      {"left click shows", 1, 1, true},    {"second left click hides", 1, 1, false},
      {"right click shows", 3, 1, true},   {"right click hides", 3, 1, false},
      {"double click shows", 1, 2, true},  {"double click hides", 1, 2, false},
      {"middle click ignored", 2, 1, false},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    ClickIcon(s.button, s.clicks);
    EXPECT_TRUE(Eventually([&] { return Mapped(window_) == s.shown_after; }, 3000));
    // A second toggle (the double click counted twice) would come within the
    // double-click time; make sure none does.
    std::this_thread::sleep_for(std::chrono::milliseconds(450));
    EXPECT_EQ(Mapped(window_), s.shown_after);
  }
  if (Mapped(window_)) ClickIcon(1);

  // Shown, the window is 366 x 344, centred on the 1024 x 768 screen.
  ClickIcon(1);
  ASSERT_TRUE(Eventually([&] { return Mapped(window_); }));
  EXPECT_NE(Sh("xwininfo -id " + window_).find("-geometry 366x344+329+212"), std::string::npos)
      << Sh("xwininfo -id " + window_);
}

TEST_F(DesktopSession, LogShowsTheLastRequestAndItsErrorLine) {
  ASSERT_NO_FATAL_FAILURE(Start());
  ClickIcon(1);
  ASSERT_TRUE(Eventually([&] { return Mapped(window_); }));
  std::string seen;
  // Two requests: the log holds only the last one, with its error line.
  const std::string first = Send("[InfoPachet]\r\nOperatie=0\r\nTipPos=4\r\nPortSerial=2\r\nSuma=x\r\n[ENDPACHET]\r\n");
  ASSERT_EQ(first.rfind("ERROR\r\n", 0), 0u) << first;
  const std::string reply = Send("[InfoPachet]\r\nOperatie=0\r\nTipPos=4\r\nPortSerial=2\r\nSuma=\r\n[ENDPACHET]\r\n");
  ASSERT_EQ(reply.rfind("ERROR\r\n", 0), 0u) << reply;
  const std::string message = reply.substr(7, reply.find("\r\n[ENDPACHET]") - 7);
  EXPECT_TRUE(LogIs("[InfoPachet]\nOperatie=0\nTipPos=4\nPortSerial=2\nSuma=\n[ENDPACHET]\n" + message, seen)) << seen;
}

TEST_F(DesktopSession, WindowAnswersWhileASaleWaits) {
  ASSERT_NO_FATAL_FAILURE(Start({"--test-kind"}));
  // A sale that waits 30 s on its terminal, in the main loop as the serial
  // drivers do; only a STOP ends it sooner.
  auto sale = ConnectToServer(port_);
  sale->Send("[InfoPachet]\r\nOperatie=0\r\nTipPos=4\r\nPortSerial=1\r\nSuma=30\r\n[ENDPACHET]\r\n");
  const std::string packet = "[InfoPachet]\nOperatie=0\nTipPos=4\nPortSerial=1\nSuma=30\n[ENDPACHET]";

  ClickIcon(1);
  EXPECT_TRUE(Eventually([&] { return Mapped(window_); })) << "the tray icon answers during the sale";
  std::string seen;
  EXPECT_TRUE(LogIs(packet, seen)) << seen;
  // The window repaints, answers the keyboard and the clipboard, and its log
  // takes the stop line while the sale still waits.
  EXPECT_EQ(Send("[InfoPachet]\r\nOperatie=0\r\nTipPos=4\r\nPortSerial=1\r\nSuma=1\r\n[ENDPACHET]\r\n"),
            "ERROR\r\nServer ocupat. Incearca mai tarziu\r\n[ENDPACHET]\r\n");
  auto stop = ConnectToServer(port_);
  stop->Send("STOP\r\n[ENDPACHET]\r\n");
  std::string bytes;
  sale->ReadReply(bytes, 10000);
  EXPECT_EQ(bytes, "ERROR\r\nTranzactie intrerupta\r\n[ENDPACHET]\r\n");
  EXPECT_TRUE(LogIs(packet + "\nInchidere fortata\nTranzactie intrerupta", seen)) << seen;
}

TEST_F(DesktopSession, IdleProgramUsesNoCpuAndItsIconGoesWithIt) {
  ASSERT_NO_FATAL_FAILURE(Start());
  ClickIcon(1);
  ASSERT_TRUE(Eventually([&] { return Mapped(window_); }));
  const double cpu0 = ProcessCpuNs(server.pid());
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const double cpu_ms = (ProcessCpuNs(server.pid()) - cpu0) / 1e6;
  EXPECT_LT(cpu_ms, 40) << "idle with the window shown, 2 s cost " << cpu_ms << " ms of CPU";

  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(), 0);
  started_ = false;
  EXPECT_TRUE(Eventually([] { return TrayIcon().empty(); })) << "the icon outlived the program";
}

// The close box ends the program as SIGTERM does: at once when idle, after
// the operation in progress (whose reply still goes out) otherwise.
class CloseBox : public DesktopSession {
 protected:
  void CloseAndExpectTheEnd(bool during_sale) {
    ASSERT_NO_FATAL_FAILURE(Start({"--test-kind"}));
    ClickIcon(1);
    ASSERT_TRUE(Eventually([&] { return Mapped(window_); }));
    std::unique_ptr<RequestClient> sale;
    if (during_sale) {
      // Two seconds on its terminal; the listener takes no connection once
      // the end is asked for, so nothing can stop it sooner.
      sale = ConnectToServer(port_);
      sale->Send("[InfoPachet]\r\nOperatie=0\r\nTipPos=4\r\nPortSerial=1\r\nSuma=2\r\n[ENDPACHET]\r\n");
      std::string seen;
      ASSERT_TRUE(Eventually([&] { return (seen = CopyLog()).find("Suma=2") != std::string::npos; })) << seen;
    }
    ASSERT_TRUE(ClickCloseBox(window_)) << "cannot send the close request";
    ASSERT_GE(server.WaitForLine("stopping (window closed)"), 0);
    if (during_sale) {
      EXPECT_GE(server.WaitForLine("after the operation in progress"), 0);
      EXPECT_EQ(server.Wait(300), -1) << "ended before the operation";
      std::string bytes;
      sale->ReadReply(bytes, 10000);
      EXPECT_EQ(bytes, "PROCESAREOK\r\n[ENDPACHET]\r\n");
    }
    EXPECT_EQ(server.Wait(), 0);
    started_ = false;
    EXPECT_TRUE(Eventually([] { return TrayIcon().empty(); })) << "the icon outlived the program";
  }
};

TEST_F(CloseBox, EndsAnIdleProgramAtOnce) { CloseAndExpectTheEnd(false); }
TEST_F(CloseBox, DuringASaleEndsTheProgramAfterIt) { CloseAndExpectTheEnd(true); }

TEST_F(DesktopSession, ListenerThatCannotStartShowsAMessageBox) {
  // Hold the port the program is told to use.
  const int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
  const int off = 0;
  ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_any;
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(fd, 1), 0);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ASSERT_NO_FATAL_FAILURE(Start({}, ntohs(a.sin6_port)));
  EXPECT_NE(Sh("xdotool getwindowname " + window_).find("    Server inactiv"), std::string::npos);
  std::string box;
  ASSERT_TRUE(Eventually([&] {
    for (const auto& w : Words(Sh(std::string("xdotool search --onlyvisible --name '^") + kTip + "$'")))
      if (WindowType(w).find("_NET_WM_WINDOW_TYPE_DIALOG") != std::string::npos) box = w;
    return !box.empty();
  })) << "no message box titled " << kTip;
  // The box's text, copied as a user would.
  std::string text;
  EXPECT_TRUE(Eventually([&] {
    Sh("xdotool windowfocus --sync " + box + " key --clearmodifiers ctrl+c");
    text = Sh("xclip -o -selection clipboard");
    return text.find("Eroare la activare server : ") != std::string::npos;
  })) << text;
  ::close(fd);
}

TEST_F(DesktopSession, SetupDialogStoresTheChoiceOnOk) {
  struct Case {
    const char* keys;
    const char* line;
    int status;
  };
  // The line starts on COM2: at 38400 bit/s.
  const Case cases[] = {
      {"Down Tab Down Return", "setup: Ok COM3: 57600", 0},
      {"Down Escape", "setup: no choice", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keys);
    ServerProcess dialog;
    dialog.Start(program, {"--setup-dialog"});
    std::string w;
    ASSERT_TRUE(Eventually([&] { return !(w = Sh("xdotool search --onlyvisible --name '^comport - SETUP$'")).empty(); },
                           15000));
    EXPECT_NE(Sh("xwininfo -id " + w).find("-geometry 301x76"), std::string::npos) << Sh("xwininfo -id " + w);
    Sh("xdotool windowfocus --sync " + w + " key --delay 50 " + c.keys);
    EXPECT_GE(dialog.WaitForLine(c.line, 10000), 0);
    EXPECT_EQ(dialog.Wait(10000), c.status);
  }
}

}  // namespace
}  // namespace tarvina
