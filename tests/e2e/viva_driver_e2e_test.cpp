// TVivaWallet on the real socket client against the real simulator process:
// what each scenario of the terminal gives the driver over loopback TCP.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/TcpClient.h"
#include "terminals/VivaWalletIntf/VivaWalletIntf.h"
#include "tests/e2e/viva_e2e.h"

namespace tarvina {
namespace {

TEST(VivaDriverOverTcp, ScenariosOfTheSimulator) {
  struct Case {
    const char* what;
    std::vector<std::string> options;
    bool cancel;
    bool ok;
    std::string id, date, message;
  };
  const std::vector<Case> cases = {
      {"approved, 31 fields", {}, false, true, "TX123456", "2024-01-01 12:00:00", ""},
      {"approved, 30 fields", {"--fields", "30"}, false, true, "TX123456", "", ""},
      {"approved with zero bytes inside", {"--zero-bytes", "--txn-id", "ABCD"}, false, true, "ABCD",
       "2024-01-01 12:00:00", ""},
      {"approved in three segments", {"--segments", "3", "--segment-pause", "600"}, false, true, "TX123456",
       "2024-01-01 12:00:00", ""},
      {"refused", {"--result", "51", "--message", "Fonduri insuficiente", "--zero-bytes"}, false, false, "", "",
       "Fonduri insuficiente"},
      {"refused with 5 fields", {"--result", "05", "--fields", "5"}, false, false, "", "", ""},
      {"cancellation approved", {}, true, true, "TX000057", "2024-01-01 12:00:00", ""},
  };
  int n = 150;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string addr = "127.0.0." + std::to_string(++n);
    auto sim = StartVivaSim(addr, c.options);
    TVivaWallet pos(DefaultClock(), SocketTcpClientFactory());
    pos.SetHost(addr);
    ASSERT_TRUE(pos.ConnectToPOS()) << pos.MesajEroare;
    EXPECT_EQ(pos.DataRead(), "VIVA READY");
    const bool ok = c.cancel ? pos.CancelSaleByCard(12.34, "57")
                             : pos.PosSaleByCard(12.34, "123456", std::string(26, '0') + "123456");
    EXPECT_EQ(ok, c.ok);
    EXPECT_EQ(pos.IDTranzactie(), c.id);
    EXPECT_EQ(pos.DataTranzactie(), c.date);
    EXPECT_EQ(pos.MesajEroare, c.message);
    sim->WaitForLine("reply ", 5000);
    EXPECT_EQ(SimLines(*sim, "request ").size(), 1u);
    EXPECT_TRUE(SimLines(*sim, "bad request").empty());
  }
}

// The simulator's quiet scenarios, seen on a bare client so that nobody waits
// out the driver's 20 s and 120 s.
TEST(VivaDriverOverTcp, SimulatorThatDoesNotGreetOrDoesNotAnswer) {
  const std::string request = "0009|1|2|3|4|";
  {
    auto sim = StartVivaSim("127.0.0.147", {"--no-greeting"});
    SocketTcpClient c;
    c.Connect("127.0.0.147", 8080, 2000);
    EXPECT_FALSE(c.WaitForData(300));
    c.Write(request);
    ASSERT_TRUE(c.WaitForData(5000));
    EXPECT_GE(sim->WaitForLine("bad request: message type is not 200", 5000), 0);
  }
  {
    auto sim = StartVivaSim("127.0.0.148", {"--silent"});
    SocketTcpClient c;
    c.Connect("127.0.0.148", 8080, 2000);
    ASSERT_TRUE(c.WaitForData(5000));
    EXPECT_EQ(c.TakeAll(), "VIVA READY");
    c.Write(request);
    EXPECT_GE(sim->WaitForLine("request " + request, 5000), 0);
    EXPECT_FALSE(c.WaitForData(300));
  }
}

TEST(VivaDriverOverTcp, ConnectFailuresBecomeTheMessage) {
  TVivaWallet pos(DefaultClock(), SocketTcpClientFactory());
  pos.SetHost("127.0.0.149");  // nothing listens there
  EXPECT_FALSE(pos.ConnectToPOS());
  EXPECT_EQ(pos.MesajEroare, "Conexiune refuzata de 127.0.0.149:8080");
  pos.SetHost("nosuchhost.invalid");
  EXPECT_FALSE(pos.ConnectToPOS());
  EXPECT_EQ(pos.MesajEroare, "Numele nosuchhost.invalid nu a putut fi rezolvat");
}

}  // namespace
}  // namespace tarvina
