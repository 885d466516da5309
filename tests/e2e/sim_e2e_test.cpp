// The built `tarvina-sim` as its callers meet it: a bad command line ends at
// once with status 2 and one line naming the fault, `--help` shows every row
// of the option table, and a --link path stays with the simulator that holds
// it while that one runs.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/ServerProcess.h"
#include "tools/sim/SimOptions.h"

namespace tarvina {
namespace {

struct Outcome {
  int status = -1;
  std::vector<std::string> lines;  // standard output and standard error
};

Outcome RunSim(const std::vector<std::string>& args) {
  ServerProcess p;
  p.Start(BinPath("tarvina-sim"), args, ServerProcess::Stderr::kWithOutput);
  Outcome o;
  o.status = p.Wait(10000);
  if (o.status < 0) p.Signal(SIGKILL);  // still running: the test fails on the status
  p.WaitForLine("\x01 (waits for the end of the output)", 10000);
  o.lines = p.Lines();
  return o;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string s;
  for (const auto& l : lines) s += l + "\n";
  return s;
}

// `word` stands in `text` on its own, not as the start of a longer option.
bool Mentions(const std::string& text, const std::string& word) {
  auto part = [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'; };
  for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
    const bool starts = at == 0 || !part(text[at - 1]);
    const bool ends = at + word.size() == text.size() || !part(text[at + word.size()]);
    if (starts && ends) return true;
  }
  return false;
}

TEST(SimOptionsE2E, ABadCommandLineEndsWithStatusTwoAndOneLineNamingTheFault) {
  struct Case {
    std::vector<std::string> args;
    std::string says;
  };
  const std::string kDelay = "brd: --delay wants a number from 0 to 3600000, not ";
  const std::vector<Case> cases = {
      {{"brd", "--delay", "abc"}, kDelay + "\"abc\""},
      {{"brd", "--delay", ""}, kDelay + "\"\""},
      {{"brd", "--delay", "12x"}, kDelay + "\"12x\""},
      {{"brd", "--delay", "-1"}, kDelay + "\"-1\""},
      {{"brd", "--delay", "+5"}, kDelay + "\"+5\""},
      {{"brd", "--delay", " 5"}, kDelay + "\" 5\""},
      {{"brd", "--delay", "0x10"}, kDelay + "\"0x10\""},
      {{"brd", "--delay", "1e3"}, kDelay + "\"1e3\""},
      {{"brd", "--delay", "3600001"}, kDelay + "\"3600001\""},
      {{"brd", "--delay", "99999999999999999999"}, kDelay + "\"99999999999999999999\""},
      {{"brd", "--delay=abc"}, kDelay + "\"abc\""},
      {{"unicredit", "--delay-ms", "5s"}, "unicredit: --delay-ms wants a number from 0 to 3600000"},
      {{"transilvania", "--code", "256"}, "transilvania: --code wants a number from 0 to 255, not \"256\""},
      {{"transilvania", "--chunk", "0"}, "transilvania: --chunk wants a number from 1 to"},
      {{"hypercom", "--count", "-3"}, "hypercom: --count wants a number from 0 to"},
      {{"brd", "--noise", "lots"}, "brd: --noise wants a number from 0 to"},
      {{"verifone", "--login-answer", "1FF"}, "verifone: --login-answer wants a hexadecimal number from 0 to FF"},
      {{"verifone", "--login-answer", "0x80"}, "verifone: --login-answer wants a hexadecimal number"},
      {{"unicredit", "--garbage", "FF G0"}, "unicredit: --garbage wants hexadecimal bytes"},
      {{"brd", "--answer", "approve"}, "brd: --answer wants approved, approved02, refused, format, comm or message"},
      {{"verifone", "--silent", "sale-never"}, "verifone: --silent wants login-ack-enq"},
      {{"viva", "--listen", "127.0.0.1", "--port", "0"}, "viva: --port wants a number from 1 to 65535"},
      {{"brd", "--delay"}, "brd: --delay needs a value (MS)"},
      {{"brd", "--no-ack=1"}, "brd: --no-ack takes no value"},
      {{"brd", "--bogus"}, "brd: unknown option --bogus"},
      {{"echo", "--delay", "0"}, "echo: unknown option --delay"},
      {{"viva", "--listen", "127.0.0.1", "--link", "/tmp/x"}, "viva: uses no serial line"},
      {{"viva"}, "viva: --listen ADDR is required"},
  };
  for (const auto& c : cases) {
    const Outcome o = RunSim(c.args);
    const std::string shown = Joined(c.args);
    EXPECT_EQ(o.status, 2) << shown;
    // One line, and no "ready": the command line is judged before a line is made.
    ASSERT_EQ(o.lines.size(), 1u) << shown << Joined(o.lines);
    EXPECT_EQ(o.lines[0].rfind("tarvina-sim " + c.args[0] + ": ", 0), 0u) << o.lines[0];
    EXPECT_NE(o.lines[0].find(c.says), std::string::npos) << shown << "said: " << o.lines[0];
  }
}

TEST(SimOptionsE2E, HelpListsEveryOptionOfTheTable) {
  const Outcome general = RunSim({"--help"});
  ASSERT_EQ(general.status, 0);
  const std::string all = Joined(general.lines);
  for (const auto& kind : sim::KindEntrys()) EXPECT_TRUE(Mentions(all, kind.name)) << kind.name;
  for (const auto& row : sim::OptionTable()) {
    const std::string kinds = row.kinds;
    if (kinds == "*" || kinds == "serial") {
      EXPECT_TRUE(Mentions(all, row.name)) << row.name;
    }
  }

  for (const auto& kind : sim::KindEntrys()) {
    const Outcome o = RunSim({kind.name, "--help"});
    ASSERT_EQ(o.status, 0) << kind.name;
    const std::string help = Joined(o.lines);
    for (const auto& row : sim::OptionTable()) {
      if (!sim::Applies(row, kind)) continue;
      for (const auto& spelling : sim::Spellings(row)) {
        EXPECT_TRUE(Mentions(help, spelling)) << kind.name << " " << spelling;
      }
      for (const auto& choice : row.choices) {
        EXPECT_TRUE(Mentions(help, choice.name)) << kind.name << " " << choice.name;
      }
      if (row.def && *row.def) {
        EXPECT_NE(help.find(row.def), std::string::npos) << kind.name << " " << row.name;
      }
    }
  }
}

// A pseudo-terminal of the test's own: a live line that no simulator holds.
struct OwnPty {
  OwnPty() {
    far = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    if (far >= 0 && ::grantpt(far) == 0 && ::unlockpt(far) == 0 && ::ptsname_r(far, name, sizeof name) == 0)
      device = name;
  }
  ~OwnPty() {
    if (far >= 0) ::close(far);
  }
  int far = -1;
  std::string device;
};

std::string LinkTarget(const std::string& link) {
  char target[256];
  const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
  return n < 0 ? "" : std::string(target, static_cast<std::size_t>(n));
}

class SimLinkE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    link_ = "/tmp/tarvina-simlink-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".tty";
    ::unlink(link_.c_str());
  }
  void TearDown() override { ::unlink(link_.c_str()); }

  // An echo simulator on the link; false when it did not say it was ready.
  bool StartEcho(ServerProcess& p) {
    p.Start(BinPath("tarvina-sim"), {"echo", "--link", link_}, ServerProcess::Stderr::kWithOutput);
    return p.WaitForLine("ready " + link_) >= 0;
  }

  std::string link_;
};

// Two simulators given one path: the second is refused while the first runs,
// and the first keeps its line. Once the first has ended, the path is free.
TEST_F(SimLinkE2E, ASecondSimulatorOnALiveLinkIsRefusedAndTheFirstKeepsIt) {
  ServerProcess first;
  ASSERT_TRUE(StartEcho(first));
  const std::string device = LinkTarget(link_);
  ASSERT_EQ(device.rfind("/dev/pts/", 0), 0u) << device;

  const Outcome second = RunSim({"echo", "--link", link_});
  EXPECT_EQ(second.status, 2);
  ASSERT_EQ(second.lines.size(), 1u) << Joined(second.lines);
  EXPECT_EQ(second.lines[0], "tarvina-sim echo: " + link_ + " is the line " + device +
                                 " of another program that still runs; choose another path");
  EXPECT_EQ(LinkTarget(link_), device);

  // The line behind the path is still the first simulator's: it echoes.
  const int port = ::open(link_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(port, 0);
  struct termios raw {};
  ::tcgetattr(port, &raw);
  ::cfmakeraw(&raw);
  ::tcsetattr(port, TCSANOW, &raw);
  ASSERT_EQ(::write(port, "ping", 4), 4);
  std::string back;
  for (int i = 0; i < 100 && back.size() < 4; ++i) {
    pollfd p{port, POLLIN, 0};
    char buf[16];
    if (::poll(&p, 1, 100) <= 0) continue;
    const ssize_t n = ::read(port, buf, sizeof buf);
    if (n > 0) back.append(buf, static_cast<std::size_t>(n));
  }
  ::close(port);
  EXPECT_EQ(back, "ping");

  first.Signal(SIGTERM);
  EXPECT_EQ(first.Wait(), 0);
  ServerProcess next;
  EXPECT_TRUE(StartEcho(next)) << Joined(next.Lines());
}

// A link whose simulator is gone is replaced: left dangling (the simulator
// killed), or pointing at a pseudo-terminal that came to be after the link
// (its number given to another program since). A link made after the live
// pseudo-terminal it names is that program's line and is refused.
TEST_F(SimLinkE2E, AStaleLinkIsReplaced) {
  {
    ServerProcess killed;
    ASSERT_TRUE(StartEcho(killed));
    killed.Signal(SIGKILL);
    killed.Wait();
  }
  ASSERT_FALSE(LinkTarget(link_).empty()) << "a killed simulator leaves its link";
  ServerProcess after_kill;
  ASSERT_TRUE(StartEcho(after_kill)) << Joined(after_kill.Lines());
  after_kill.Signal(SIGTERM);
  after_kill.Wait();

  OwnPty other;
  ASSERT_FALSE(other.device.empty());
  ASSERT_EQ(::symlink(other.device.c_str(), link_.c_str()), 0);
  EXPECT_EQ(RunSim({"echo", "--link", link_}).status, 2) << "a link made for a live line";

  const timespec long_ago[2] = {{::time(nullptr) - 60, 0}, {::time(nullptr) - 60, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, link_.c_str(), long_ago, AT_SYMLINK_NOFOLLOW), 0);
  ServerProcess after_reuse;
  EXPECT_TRUE(StartEcho(after_reuse)) << Joined(after_reuse.Lines());
  EXPECT_NE(LinkTarget(link_), other.device);
}

}  // namespace
}  // namespace tarvina
