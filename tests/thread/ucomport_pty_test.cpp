// tComPort and the BRD sale on real pseudo-terminals through the POSIX comm
// layer: what the line does with a real device, and delivery by tEventTask.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/MainLoop.h"
#include "platform/PortNames.h"
#include "platform/PosixComm.h"
#include "platform/VirtualSerial.h"
#include "serial/UComPort.h"
#include "server/DispatchBRD.h"
#include "terminals/PosBRD/PosBRD.h"

namespace tarvina {
namespace {

using Bytes = std::vector<std::uint8_t>;

class UComPortPtyTest : public ::testing::Test {
 protected:
  UComPortPtyTest() { SetPortMap({{"COM3", line.PortPath()}, {"COM4", "/nonexistent/tarvina-brd-tty"}}); }
  ~UComPortPtyTest() override { SetPortMap({}); }

  MainLoop loop;
  PosixComm comm;
  VirtualSerialLine line;
};

TEST_F(UComPortPtyTest, OpensMappedPortsOnlyOnceAndNeverWaitsToRead) {
  tComPort port(loop, comm);
  port.setCP(Com4);
  EXPECT_EQ(port.OpenLine(), tser_error) << "a missing device";
  port.setCP(Com3);
  ASSERT_EQ(port.OpenLine(), tser_ok);
  EXPECT_EQ(port.OpenLine(), tser_LineOpen);
  tComPort second(loop, comm);
  second.setCP(Com3);
  EXPECT_EQ(second.OpenLine(), tser_error) << "the port is in use";

  std::uint8_t buf[2000];
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(port.recv(buf, sizeof buf), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(50));

  line.Write(Bytes{'1', '2', '3', '4', '5'});
  int got = 0;
  for (int i = 0; i < 500 && got == 0; ++i) {
    got = port.recv(buf, sizeof buf);
    if (got == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(got, 5);
  EXPECT_EQ(std::string(buf, buf + 5), "12345");

  const std::uint8_t ack = 0x06;
  EXPECT_EQ(port.xmit(&ack, 1), 1);
  EXPECT_EQ(line.ReadExactly(1, 2000), Bytes{0x06});

  EXPECT_EQ(port.closeLine(), tser_ok);
  EXPECT_EQ(port.recv(buf, sizeof buf), tser_LineClosed);
  EXPECT_EQ(port.xmit(&ack, 1), tser_LineClosed);
  EXPECT_EQ(port.closeLine(), tser_LineClosed);
  EXPECT_EQ(second.OpenLine(), tser_ok) << "free again once closed";
}

TEST_F(UComPortPtyTest, EventTaskDeliversOnTheMainThread) {
  tComPort port(loop, comm);
  port.setCP(Com3);
  ASSERT_EQ(port.OpenLine(), tser_ok);
  int inBound = -1;
  bool onMain = false;
  port.setOnDataAvail([&](tComPort&, int n) {
    inBound = n;
    onMain = loop.IsMainThread();
  });
  {
    tEventTask task(&port);
    task.ThreadHandle = port.Handle();
    task.Start();
    line.Write(Bytes{'a', 'b', 'c'});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    loop.WaitUntil([&] { return inBound >= 3 || std::chrono::steady_clock::now() > deadline; });
    // Leaving the scope stops the task while it may be handing over another batch.
    line.Write(Bytes{'d'});
  }
  EXPECT_GE(inBound, 3);
  EXPECT_TRUE(onMain);
}

// A far side on a thread of its own: ACK on the request, then the answer.
TEST_F(UComPortPtyTest, SaleOnARealLine) {
  std::atomic<bool> done{false};
  Bytes request;
  Bytes pcAck;
  std::thread terminal([&] {
    Bytes got;
    while (!done) {
      Bytes part = line.Read(50);
      got.insert(got.end(), part.begin(), part.end());
      if (brd::ParseRequest(got.data(), got.size()).complete) break;
    }
    request = got;
    line.Write(Bytes{brd::ACK});
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    line.Write(brd::TerminalFrame(brd::FinalAnswer("02")));
    pcAck = line.ReadExactly(1, 3000);
  });
  bool stop = false, ok = false;
  std::string msg;
  {
    TPosBRD pos(loop, comm);
    RuleazaTranzactieBRD(loop, pos, 3, 12.5, stop, ok, msg);
  }
  done = true;
  terminal.join();
  EXPECT_TRUE(ok) << msg;
  const brd::ParsedRequest r = brd::ParseRequest(request.data(), request.size());
  EXPECT_TRUE(r.lrc_ok);
  EXPECT_EQ(brd::RequestAmount(r.body), "1250");
  EXPECT_EQ(pcAck, Bytes{brd::ACK});
}

TEST_F(UComPortPtyTest, SilentLineEndsTheSaleWithinTwoSeconds) {
  bool stop = false, ok = true;
  std::string msg;
  const auto t0 = std::chrono::steady_clock::now();
  {
    TPosBRD pos(loop, comm);
    RuleazaTranzactieBRD(loop, pos, 3, 1.0, stop, ok, msg);
  }
  const auto waited = std::chrono::steady_clock::now() - t0;
  EXPECT_FALSE(ok);
  EXPECT_EQ(msg, "Eroare de comunicatie seriala.  Nu primesc nici un mesaj de la POS ");
  EXPECT_GE(waited, std::chrono::milliseconds(1000));
  EXPECT_LT(waited, std::chrono::milliseconds(3000));
  EXPECT_EQ(line.ReadExactly(49, 1000).size(), 49u) << "the request went out";
}

}  // namespace
}  // namespace tarvina
