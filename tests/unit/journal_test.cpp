// The operation journal: its line format and escaping, reading it back, a
// file that cannot be written, and what the server journals (operations only,
// not busy replies or stops) with the delivery of each reply.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "server/Config.h"
#include "server/Journal.h"
#include "server/MainSrv.h"
#include "server/Packets.h"
#include "server/TestKind.h"
#include "tests/support/RecordingConnection.h"
#include "tests/support/VirtualServer.h"

namespace tarvina {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

TEST(JournalFormat, EscapesEverythingThatCouldBreakALine) {
  const struct {
    std::string raw, escaped;
  } cases[] = {
      {"12,50", "12,50"},
      {"a\tb", "a\\tb"},
      {"two\r\nlines", "two\\r\\nlines"},
      {"back\\slash", "back\\\\slash"},
      {std::string("nul\0x", 5), "nul\\x00x"},
      {"\x1b[2J\x7f", "\\x1B[2J\\x7F"},
      {"\xef\xbf\xbd", "\\xEF\\xBF\\xBD"},  // what a byte above 0x7F became on the way in
      {"\\x41", "\\\\x41"},                 // looks like an escape, is not one
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.escaped);
    EXPECT_EQ(JournalEscape(c.raw), c.escaped);
    EXPECT_EQ(JournalUnescape(c.escaped), c.raw);
  }
  // Every byte value survives the round trip and never yields a separator.
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  const std::string e = JournalEscape(all);
  EXPECT_EQ(e.find_first_of("\t\r\n"), std::string::npos);
  EXPECT_EQ(JournalUnescape(e), all);
}

TEST(JournalFormat, OpAndReplyLines) {
  JournalRecord r{"2026-12-11T17:30:00.123+0200", "10.0.0.5", "0", "4", "4", "12.50", "57", true, ""};
  EXPECT_EQ(JournalRecordLine(3, r),
            "op\t3\t2026-12-11T17:30:00.123+0200\t10.0.0.5\t0\t4\t4\t12.50\t57\tPROCESAREOK\n");
  r.ok = false;
  r.nr_bon = "5\t7";
  r.message = "FONDURI\nINSUFICIENTE";
  EXPECT_EQ(JournalRecordLine(4, r),
            "op\t4\t2026-12-11T17:30:00.123+0200\t10.0.0.5\t0\t4\t4\t12.50\t5\\t7\tERROR\t"
            "FONDURI\\nINSUFICIENTE\n");
  EXPECT_EQ(JournalDeliveryLine(4, false), "reply\t4\tnot delivered\n");
  EXPECT_EQ(JournalDeliveryLine(5, true), "reply\t5\tdelivered\n");
  // The time is local, to the millisecond, with its offset.
  const std::string t = JournalTimeNow();
  ASSERT_EQ(t.size(), 28u) << t;
  EXPECT_EQ(t[10], 'T');
  EXPECT_EQ(t[19], '.');
  EXPECT_TRUE(t[23] == '+' || t[23] == '-') << t;
}

TEST(JournalRead, MergesRepliesIntoTheirOperationsAcrossRestarts) {
  const std::string text =
      "op\t1\tT1\t10.0.0.5\t0\t4\t4\t12.50\t57\tPROCESAREOK\n"
      "op\t2\tT2\t::1\t1\t3\t3\t\t\tERROR\tNu pot deschide\\tCOM3\n"
      "reply\t1\tdelivered\n"
      "garbage line\n"
      "reply\t2\tnot delivered\n"
      // The server started again: its numbers start again.
      "op\t1\tT3\t10.0.0.6\t9\t-1\t0\tx\t\tERROR\tParametrul \"Operatie\" este eronat (9)\n"
      "reply\t9\tdelivered\n"
      "op\t2\tT4\t10.0.0.6\t2\t7\t1\t5\t8\tPROCESAREOK\n"
      "op\t3\tT5\t10.0.0.6\t0\t1\t1\t1\t\tPROCES\n"  // no outcome this format knows
      "reply\t2\tdelivered\n"
      "reply\t2\tnot delivered\n";  // a second reply line for one operation is ignored
  std::istringstream in(text);
  std::vector<std::string> shown;
  for (const auto& e : ReadJournal(in)) shown.push_back(FormatJournalEntry(e));
  EXPECT_EQ(shown, (std::vector<std::string>{
                       "#1 T1 10.0.0.5 sale unicredit COM4 Suma=12.50 NrBon=57: PROCESAREOK, delivered",
                       "#2 T2 ::1 settle transilvania COM3: ERROR \"Nu pot deschide\\tCOM3\", not delivered",
                       "#1 T3 10.0.0.6 Operatie=9 TipPos=-1 COM0 Suma=x: ERROR "
                       "\"Parametrul \"Operatie\" este eronat (9)\", delivery unknown",
                       "#2 T4 10.0.0.6 void viva COM1 Suma=5 NrBon=8: PROCESAREOK, delivered",
                   }));
}

TEST(JournalFile, UnwritableIsReportedOnceUntilItWritesAgain) {
  const std::string dir = ::testing::TempDir() + "tarvina_journal_dir";
  std::remove((dir + "/j.log").c_str());
  ::rmdir(dir.c_str());
  std::vector<std::string> reports;
  Journal j(dir + "/j.log", [&](const std::string& t) { reports.push_back(t); });
  EXPECT_EQ(j.Record({}), 1u);
  j.Delivered(1, true);
  EXPECT_EQ(j.Record({}), 2u);  // operations are still counted
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], "Eroare la scrierea jurnalului " + dir + "/j.log : No such file or directory");
  // Once the directory is there the journal goes on, and a later fault is
  // reported again.
  ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
  JournalRecord r;
  r.time = "T";
  j.Record(r);
  EXPECT_EQ(ReadFile(dir + "/j.log"), "op\t3\tT\t\t\t\t\t\t\tERROR\t\n");
  std::remove((dir + "/j.log").c_str());
  ::rmdir(dir.c_str());
  j.Delivered(3, false);
  EXPECT_EQ(reports.size(), 2u);
}

// The server with a journal, on the in-memory line in virtual time.
class ServerJournal : public ::testing::Test {
 protected:
  explicit ServerJournal(const std::string& path = ::testing::TempDir() + "tarvina_journal.log")
      : path_(path) {
    std::remove(path_.c_str());
    InstallTestKind(m);
  }
  ~ServerJournal() override { std::remove(path_.c_str()); }
  static TConfig WithJournal(const std::string& path) {
    TConfig c;
    c.Keys.Load({"[Journal]", "File=" + path});
    return c;
  }
  void Send(Peer& p, const std::vector<std::string>& lines) {
    for (const auto& l : lines) m.DoSynchronize(p.client, l);
  }
  // The journal's lines with the time field replaced by "T".
  std::vector<std::string> JournalLines() {
    std::vector<std::string> out;
    for (auto l : Lines(ReadFile(path_))) {
      if (l.rfind("op\t", 0) == 0) {
        const auto a = l.find('\t', 3), b = l.find('\t', a + 1);
        l.replace(a + 1, b - a - 1, "T");
      }
      out.push_back(l);
    }
    return out;
  }

  std::string path_;
  VirtualServer v;
  TEmain m{v.services, WithJournal(path_), "/opt/tarvina/bin/tarvina"};
};

TEST_F(ServerJournal, EachOperationAndItsDeliveryButNotBusyOrStop) {
  Peer a, b, c, gone;
  Timer t(v.loop, 1000);
  t.OnTimer = [&] {
    t.SetEnabled(false);
    Send(b, RequestLines({{"Operatie", "1"}, {"TipPos", "3"}, {"PortSerial", "3"}}));  // busy
    Send(c, {"STOP", "[ENDPACHET]"});
  };
  t.SetEnabled(true);
  Send(a, RequestLines({{"Operatie", "0"}, {"TipPos", "4"}, {"PortSerial", "4"}, {"Suma", "5"}}));
  EXPECT_EQ(a.conn.bytes, ReplyErrorBytes("Tranzactie intrerupta"));
  EXPECT_EQ(b.conn.bytes, ReplyErrorBytes(kMesajOcupat));

  Send(a, RequestLines({{"Operatie", "2"}, {"TipPos", "7"}, {"PortSerial", "1"}, {"Suma", "0"},
                        {"NrBon", "57"}}));
  Send(a, RequestLines({{"Operatie", "0"}, {"TipPos", "2"}, {"Suma", "1.5"}}));  // refused at once
  gone.conn.gone = true;
  gone.conn.peer = "2001:db8::1";
  Send(gone, RequestLines({{"Operatie", "0"}, {"TipPos", "3"}, {"PortSerial", "3"}, {"Suma", "0"},
                          {"NrBon", "eroare"}}));
  EXPECT_EQ(gone.conn.bytes, "");
  EXPECT_EQ(JournalLines(), (std::vector<std::string>{
                                "op\t1\tT\t192.0.2.7\t0\t4\t4\t5\t\tERROR\tTranzactie intrerupta",
                                "reply\t1\tdelivered",
                                "op\t2\tT\t192.0.2.7\t2\t7\t1\t0\t57\tPROCESAREOK",
                                "reply\t2\tdelivered",
                                "op\t3\tT\t192.0.2.7\t0\t2\t\t1.5\t\tERROR\t"
                                "Parametrul \"TipPos\" este eronat (2)",
                                "reply\t3\tdelivered",
                                "op\t4\tT\t2001:db8::1\t0\t3\t3\t0\teroare\tERROR\tEroare simulata",
                                "reply\t4\tnot delivered",
                            }));
  EXPECT_TRUE(v.shell.messages.empty());
}

class UnwritableJournal : public ServerJournal {
 protected:
  UnwritableJournal() : ServerJournal("/proc/tarvina-no-such-dir/journal.log") {}
};

TEST_F(UnwritableJournal, ReportedOnceAndOperationsGoOn) {
  const std::string text =
      "Eroare la scrierea jurnalului /proc/tarvina-no-such-dir/journal.log : No such file or directory";
  Peer a;
  for (int i = 0; i < 3; ++i) {
    a.conn.bytes.clear();
    Send(a, RequestLines({{"Operatie", "0"}, {"TipPos", "3"}, {"PortSerial", "3"}, {"Suma", "0"}}));
    EXPECT_EQ(a.conn.bytes, ReplyOkBytes());
    // The log shows the request being answered: the report is in the first one's only.
    EXPECT_EQ(std::count(v.shell.log.begin(), v.shell.log.end(), text), i == 0 ? 1 : 0) << i;
  }
  EXPECT_EQ(v.shell.messages, std::vector<std::string>{text});
}

}  // namespace
}  // namespace tarvina
