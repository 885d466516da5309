// The operation journal of the built `tarvina --headless --test-kind` over
// loopback: a line before each reply, the delivery after it, a client that
// left before its reply, an unwritable journal, and `tarvina-cli journal`.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/TcpServer.h"
#include "server/Packets.h"
#include "tests/support/LoopbackClient.h"
#include "tests/support/ServerProcess.h"

namespace tarvina {
namespace {

std::vector<std::string> FileLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> out;
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

// The journal's lines with the time field (the third) replaced by "T".
std::vector<std::string> WithoutTimes(std::vector<std::string> lines) {
  for (auto& l : lines) {
    if (l.rfind("op\t", 0) != 0) continue;
    const auto a = l.find('\t', 3), b = l.find('\t', a + 1);
    l.replace(a + 1, b - a - 1, "T");
  }
  return lines;
}

std::string Output(const std::string& command) {
  FILE* p = ::popen(command.c_str(), "r");
  std::string out;
  char buf[512];
  for (std::size_t n; p && (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  if (p) ::pclose(p);
  return out;
}

class JournalE2E : public ::testing::Test {
 protected:
  void Start(const std::string& journal) {
    std::ofstream(config_) << "[Journal]\nFile=" << journal << "\n";
    ASSERT_TRUE(server_.StartServer(BinPath("tarvina"), {"--test-kind", "--config", config_}));
  }
  // Waits until the journal has `n` lines; its lines then.
  std::vector<std::string> WaitForLines(std::size_t n) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (FileLines(journal_).size() < n && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return WithoutTimes(FileLines(journal_));
  }
  void TearDown() override {
    server_.Signal(SIGTERM);
    EXPECT_EQ(server_.Wait(), 0);
    std::remove(journal_.c_str());
    std::remove(config_.c_str());
  }

  const std::string journal_ = ::testing::TempDir() + "tarvina_journal_e2e.log";
  const std::string config_ = ::testing::TempDir() + "tarvina_journal_e2e.ini";
  ServerProcess server_;
};

TEST_F(JournalE2E, ApprovedRefusedAndALeftClient) {
  std::remove(journal_.c_str());
  Start(journal_);
  const std::string sale = "[InfoPachet]\r\nOperatie=0\r\nTipPos=4\r\nPortSerial=4\r\n";
  EXPECT_EQ(RoundTripToServer(server_.port(), sale + "Suma=0.50\r\nNrBon=57\r\n[ENDPACHET]\r\n", 10000),
            ReplyOkBytes());
  // Its line was on disk before the reply was written.
  ASSERT_GE(FileLines(journal_).size(), 1u);
  EXPECT_EQ(WithoutTimes(FileLines(journal_))[0], "op\t1\tT\t127.0.0.1\t0\t4\t4\t0.50\t57\tPROCESAREOK");

  // Refused by the terminal, and refused before it (no kind 2).
  EXPECT_EQ(RoundTripToServer(server_.port(), sale + "Suma=1\r\nNrBon=eroare\r\n[ENDPACHET]\r\n", 10000),
            ReplyErrorBytes("Eroare simulata"));
  EXPECT_EQ(RoundTripToServer(server_.port(), "[InfoPachet]\r\nOperatie=0\r\nTipPos=2\r\n[ENDPACHET]\r\n", 10000),
            ReplyErrorBytes("Parametrul \"TipPos\" este eronat (2)"));

  // A register that goes away (its connection reset) while the sale runs.
  std::string reason;
  const int fd = ConnectTcp("127.0.0.1", server_.port(), reason);
  ASSERT_GE(fd, 0) << reason;
  ASSERT_EQ(SendAll(fd, sale + "Suma=2\r\n[ENDPACHET]\r\n"), 0);
  ASSERT_GE(server_.WaitForLine("log: Suma=2"), 0);
  const linger reset{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  ::close(fd);

  const auto lines = WaitForLines(8);
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "op\t1\tT\t127.0.0.1\t0\t4\t4\t0.50\t57\tPROCESAREOK",
                       "reply\t1\tdelivered",
                       "op\t2\tT\t127.0.0.1\t0\t4\t4\t1\teroare\tERROR\tEroare simulata",
                       "reply\t2\tdelivered",
                       "op\t3\tT\t127.0.0.1\t0\t2\t\t\t\tERROR\tParametrul \"TipPos\" este eronat (2)",
                       "reply\t3\tdelivered",
                       "op\t4\tT\t127.0.0.1\t0\t4\t4\t2\t\tPROCESAREOK",
                       "reply\t4\tnot delivered",
                   }));
  // The server goes on.
  EXPECT_EQ(RoundTripToServer(server_.port(), sale + "Suma=0\r\n[ENDPACHET]\r\n", 10000), ReplyOkBytes());

  const std::string shown = Output(BinPath("tarvina-cli") + " journal --file " + journal_ + " --last 2");
  std::istringstream in(shown);
  std::vector<std::string> out;
  for (std::string l; std::getline(in, l);) {
    const auto from = l.find(" 127.0.0.1 ");  // after the number and the time
    out.push_back(from == std::string::npos ? l : l.substr(from));
  }
  EXPECT_EQ(out, (std::vector<std::string>{" 127.0.0.1 sale unicredit COM4 Suma=2: PROCESAREOK, not delivered",
                                           " 127.0.0.1 sale unicredit COM4 Suma=0: PROCESAREOK, delivered"}))
      << shown;
  // Read through the configuration, as a shop would.
  EXPECT_EQ(Output(BinPath("tarvina-cli") + " journal --config " + config_ + " --last 1"),
            shown.substr(shown.find('\n') + 1));
}

TEST_F(JournalE2E, UnwritableJournalIsReportedOnceAndOperationsGoOn) {
  Start("/proc/tarvina-no-such-dir/journal.log");
  const std::string sale =
      "[InfoPachet]\r\nOperatie=0\r\nTipPos=3\r\nPortSerial=3\r\nSuma=0\r\n[ENDPACHET]\r\n";
  for (int i = 0; i < 3; ++i) EXPECT_EQ(RoundTripToServer(server_.port(), sale, 10000), ReplyOkBytes()) << i;
  const std::string text =
      "Eroare la scrierea jurnalului /proc/tarvina-no-such-dir/journal.log : No such file or directory";
  const int message = server_.WaitForLine("message: " + text);
  ASSERT_GE(message, 0);
  EXPECT_GE(server_.WaitForLine("log: " + text), 0);
  // Once only: no second message after two more operations.
  EXPECT_LT(server_.WaitForLine("message: ", 200, static_cast<std::size_t>(message) + 1), 0);
}

}  // namespace
}  // namespace tarvina
