// The Verifone driver on a real pseudo-terminal: the port's event thread
// delivers the terminal's bytes while the driver waits on the main thread.
#include <gtest/gtest.h>

#include <thread>

#include "platform/MainLoop.h"
#include "platform/PortNames.h"
#include "platform/PosixComm.h"
#include "platform/VirtualSerial.h"
#include "terminals/PosVerifoneIntf/PosVerifoneIntf.h"
#include "terminals/PosVerifoneIntf/VerifoneFrames.h"

namespace tarvina {
namespace {

using namespace verifone;

TEST(VerifonePty, LogInThenSaleWithIntermediateMessage) {
  VirtualSerialLine line;
  SetPortMap({{"COM7", line.PortPath()}});
  MainLoop loop;
  PosixComm comm;

  std::vector<Bytes> seen;  // what the terminal received, one entry per expected piece
  std::thread terminal([&] {
    auto take = [&](std::size_t n) { seen.push_back(line.ReadExactly(n, 5000)); };
    // Log-in.
    take(1);
    line.Write({ACK});
    take(8);
    line.Write({ACK});
    take(1);
    line.Write({ENQ});
    take(1);
    line.Write(BuildFrame(Bytes{kLogInOk}));
    take(1);
    line.Write({EOT});
    // Sale: one intermediate message, EOT and ENQ in one write, then approval.
    take(1);
    line.Write({ACK});
    take(29);
    line.Write({ACK});
    take(1);
    line.Write({ENQ});
    take(1);
    line.Write(BuildFrame(Bytes{0x01, 'A'}));
    take(1);
    line.Write({EOT, ENQ});
    take(1);
    line.Write(BuildFrame(Bytes{kFinalAnswer, kApproved}));
    take(1);
    line.Write({EOT});
  });

  {
    TPosVerifone login(loop, comm);
    login.PortSerial = 7;
    ASSERT_TRUE(login.OpenPort());
    EXPECT_TRUE(login.LogIn());
    login.ClosePort();
  }
  TPosVerifone sale(loop, comm);
  sale.PortSerial = 7;
  sale.Suma = 12.34;
  ASSERT_TRUE(sale.OpenPort());
  EXPECT_TRUE(sale.PosSaleByCard());
  sale.ClosePort();
  terminal.join();

  const std::vector<Bytes> expected = {{ENQ}, BuildFrame(LogInPayload()), {EOT}, {ACK}, {ACK},
                                       {ENQ}, BuildFrame(SalePayload(12.34)), {EOT}, {ACK}, {ACK}, {ACK}, {ACK}};
  EXPECT_EQ(seen, expected);
}

}  // namespace
}  // namespace tarvina
