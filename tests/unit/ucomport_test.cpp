// tComPort on the fake comm layer: the calls each operation makes, in order,
// and the status codes it answers.
#include <gtest/gtest.h>

#include <cerrno>
#include <stdexcept>

#include "platform/MainLoop.h"
#include "serial/UComPort.h"
#include "tests/support/FakeComm.h"

namespace tarvina {
namespace {

using Log = std::vector<std::string>;

class UComPortTest : public ::testing::Test {
 protected:
  UComPortTest() { comm.SetExpectWaiter(false); }

  std::string LastState() { return FakeComm::FormatState(comm.States().back()); }

  VirtualClock clock;
  MainLoop loop{clock};
  FakeComm comm{loop};
  tComPort port{loop, comm};
};

TEST_F(UComPortTest, OpenLineNamesThePortAndSetsItUp) {
  port.setCP(Com3);
  port.setBD(b___9600);
  EXPECT_TRUE(comm.Log().empty()) << "setters on a closed line reach no port";
  ASSERT_EQ(port.OpenLine(), tser_ok);
  const Log expected = {
      "Open COM3:",
      "GetCommState",
      "SetCommState baud=9600 size=8 parity=0 stop=0 flags=0x0001 xonlim=0 xofflim=0 xon=0 xoff=0 error=0 eof=0 evt=0",
      "SetCommTimeouts 4294967295 0 0 0 0",
      "SetCommMask 0x05A5",
      "GetCommProperties",
  };
  EXPECT_EQ(comm.Log(), expected);
  EXPECT_EQ(port.OpenLine(), tser_LineOpen);
  EXPECT_EQ(comm.Count("Open"), 1);
}

TEST_F(UComPortTest, DeviceNamesCoverComOneToNineOnly) {
  EXPECT_EQ(tComPort::DeviceName(Com1), "COM1:");
  EXPECT_EQ(tComPort::DeviceName(Com9), "COM9:");
  for (int index : {9, 11, -1, -100}) {
    EXPECT_EQ(tComPort::DeviceName(static_cast<tPort>(index)), "") << index;
    port.setCP(static_cast<tPort>(index));
    EXPECT_EQ(port.OpenLine(), tser_error) << index;
  }
  EXPECT_EQ(comm.Count("Open"), 0) << "a name that is no port never reaches the platform";
}

TEST_F(UComPortTest, SettingsReplaceOnlySpeedParityByteSizeAndStopBits) {
  // The port already has a handshake set up, as another program left it.
  int err = 0;
  CommHandle h = comm.Open("COM2", &err);
  CommState s;
  comm.GetCommState(h, &s);
  s.Flags = kDcbBinary | kDcbRtsHandshake | kDcbOutxCtsFlow;
  s.XonChar = 17;
  comm.SetCommState(h, s);
  comm.Close(h);

  port.setBD(b_115200);
  port.setPr(p_Even);
  port.setDB(db_7);
  port.setSB(sb_20);
  ASSERT_EQ(port.OpenLine(), tser_ok);
  EXPECT_EQ(LastState(),
            "baud=115200 size=7 parity=2 stop=2 flags=0x2005 xonlim=0 xofflim=0 xon=17 xoff=0 error=0 eof=0 evt=0");

  // On an open line each setter applies at once.
  port.setDB(db_4);
  EXPECT_EQ(comm.States().back().ByteSize, 4);
  port.setDB(db_8);
  EXPECT_EQ(comm.States().back().ByteSize, 8);
  port.setBD(b____300);
  EXPECT_EQ(comm.States().back().BaudRate, 300u);
}

TEST_F(UComPortTest, SetComPortReportsItsFailures) {
  EXPECT_EQ(port.setComPort(), tser_LineClosed);
  ASSERT_EQ(port.OpenLine(), tser_ok);
  comm.FailNext("GetCommState", 5);
  EXPECT_EQ(port.setComPort(), tser_error);
  comm.FailNext("SetCommState", EINVAL);
  EXPECT_EQ(port.setComPort(), EINVAL);
  EXPECT_EQ(port.setComPort(), tser_ok);
}

TEST_F(UComPortTest, OpenFailuresAndWhatStateSurvives) {
  comm.FailNext("Open", 2);
  EXPECT_EQ(port.OpenLine(), tser_error);
  EXPECT_FALSE(port.IsOpen());

  // Rejected settings do not keep the line from opening.
  comm.FailNext("SetCommState", EINVAL);
  EXPECT_EQ(port.OpenLine(), tser_ok);
  EXPECT_TRUE(port.IsOpen());
  port.closeLine();

  // A failed property read leaves the line open: it answers "open" until closed.
  comm.FailNext("GetCommProperties", 5);
  EXPECT_EQ(port.OpenLine(), tser_error);
  EXPECT_TRUE(port.IsOpen());
  EXPECT_EQ(port.OpenLine(), tser_LineOpen);
  EXPECT_EQ(port.closeLine(), tser_ok);
  EXPECT_EQ(port.OpenLine(), tser_ok);
}

TEST_F(UComPortTest, ClosedLineAnswersLineClosed) {
  std::uint8_t b[4] = {1, 2, 3, 4};
  EXPECT_EQ(port.recv(b, 4), tser_LineClosed);
  EXPECT_EQ(port.xmit(b, 4), tser_LineClosed);
  EXPECT_EQ(port.closeLine(), tser_LineClosed);
  EXPECT_EQ(port.GetInBound(), tser_LineClosed);
  EXPECT_EQ(port.setComPort(), tser_LineClosed);
  EXPECT_FALSE(port.Command("AT"));
  EXPECT_EQ(port.getSendBufferFree(), 0u);
  EXPECT_TRUE(comm.Log().empty());
}

TEST_F(UComPortTest, CloseLineClearsTheMaskThenCloses) {
  ASSERT_EQ(port.OpenLine(), tser_ok);
  comm.ClearLog();
  EXPECT_EQ(port.closeLine(), tser_ok);
  EXPECT_EQ(comm.Log(), (Log{"SetCommMask 0x0000", "Close"}));
  EXPECT_FALSE(comm.IsOpen());
}

TEST_F(UComPortTest, RecvNeverWaits) {
  ASSERT_EQ(port.OpenLine(), tser_ok);
  std::uint8_t buf[2000] = {};
  EXPECT_EQ(port.recv(buf, sizeof buf), 0);
  comm.Deliver({'a', 'b', 'c', 'd', 'e'});
  EXPECT_EQ(port.GetInBound(), 5);
  EXPECT_EQ(port.recv(buf, sizeof buf), 5);
  EXPECT_EQ(std::string(buf, buf + 5), "abcde");
  EXPECT_EQ(port.recv(buf, sizeof buf), 0);
  EXPECT_EQ(clock.NowMs(), 0);

  comm.Deliver({'x', 'y', 'z'});
  EXPECT_EQ(port.recv(buf, 2), 2);
  EXPECT_EQ(port.recv(buf, 2), 1);

  comm.FailNext("Read", EIO);
  EXPECT_EQ(port.recv(buf, sizeof buf), -1);
  comm.FailNext("ClearCommError", EIO);
  EXPECT_EQ(port.GetInBound(), tser_error);
}

TEST_F(UComPortTest, XmitRefusesOnlyWhenTheTransmitQueueHasNoRoom) {
  struct Case {
    std::uint32_t waiting, size;
    int result;
  } cases[] = {
      {0, 0, 1},                    // size unknown: always writes
      {5000, 0, 1},
      {0, 4096, 1},                 // room
      {4095, 4096, 1},              // room for exactly this byte
      {4096, 4096, tser_OutOfBuffer},  // full
  };
  ASSERT_EQ(port.OpenLine(), tser_ok);
  for (const auto& c : cases) {
    comm.SetTxQueue(c.waiting, c.size);
    port.closeLine();
    ASSERT_EQ(port.OpenLine(), tser_ok);  // the size is read at open
    comm.TakeWritten();
    const std::uint8_t b = 0x41;
    EXPECT_EQ(port.xmit(&b, 1), c.result) << c.waiting << "/" << c.size;
    EXPECT_EQ(comm.Written().size(), c.result == 1 ? 1u : 0u) << c.waiting << "/" << c.size;
  }
}

TEST_F(UComPortTest, WriteThatDoesNotFitStillGoesOutInOrder) {
  ASSERT_EQ(port.OpenLine(), tser_ok);
  comm.SetWriteAccept(1);
  const std::uint8_t abc[3] = {'a', 'b', 'c'};
  EXPECT_EQ(port.xmit(abc, 3), tser_error);  // pending
  EXPECT_EQ(comm.Written(), (FakeComm::Bytes{'a'}));
  const std::uint8_t d = 'd';
  EXPECT_EQ(port.xmit(&d, 1), tser_error);   // queued behind the rest
  comm.SetWriteAccept(FakeComm::kUnlimited);
  std::uint8_t buf[8];
  port.recv(buf, sizeof buf);                // each poll hands on what waits
  EXPECT_EQ(comm.Written(), (FakeComm::Bytes{'a', 'b', 'c', 'd'}));
  EXPECT_EQ(port.xmit(&d, 1), 1);

  comm.FailNext("WriteNoWait", EIO);
  EXPECT_EQ(port.xmit(&d, 1), tser_error);
}

TEST_F(UComPortTest, SendBufferFreeIsTheRoomLeft) {
  comm.SetTxQueue(96, 4096);
  ASSERT_EQ(port.OpenLine(), tser_ok);
  EXPECT_EQ(port.getSendBufferFree(), 4000u);
  comm.SetTxQueue(5, 0);  // size unknown: no room to report, not a wrapped count
  port.closeLine();
  ASSERT_EQ(port.OpenLine(), tser_ok);
  EXPECT_EQ(port.getSendBufferFree(), 0u);
}

TEST_F(UComPortTest, CommandSendsEachCharacterWithAPause) {
  ASSERT_EQ(port.OpenLine(), tser_ok);
  comm.ClearLog();
  EXPECT_FALSE(port.Command(""));
  EXPECT_TRUE(port.Command("AT"));
  EXPECT_EQ(comm.Log(), (Log{"TransmitCommChar 0x41", "TransmitCommChar 0x54"}));
  EXPECT_EQ(clock.NowMs(), 40);

  comm.ClearLog();
  comm.FailNext("TransmitCommChar", EIO);
  EXPECT_FALSE(port.Command("XY"));
  EXPECT_EQ(comm.Log(), (Log{"TransmitCommChar 0x58"}));
}

TEST_F(UComPortTest, ResetDropsDtrForTwoSecondsWhileMessagesRun) {
  ASSERT_EQ(port.OpenLine(), tser_ok);
  comm.ClearLog();
  Millis ranAt = -1;
  Timer meanwhile(loop, 700);
  meanwhile.OnTimer = [&] { ranAt = clock.NowMs(); };
  meanwhile.SetEnabled(true);
  port.Com_Reset();
  EXPECT_EQ(comm.Log(), (Log{"EscapeCommFunction 6", "EscapeCommFunction 5"}));
  EXPECT_EQ(clock.NowMs(), 2000);
  EXPECT_EQ(ranAt, 700);

  port.closeLine();
  comm.ClearLog();
  port.Com_Reset();  // a closed line: no port calls, the same pause
  EXPECT_TRUE(comm.Log().empty());
  EXPECT_EQ(clock.NowMs(), 4000);
}

TEST_F(UComPortTest, EventCallbackOrderRingCarrierData) {
  ASSERT_EQ(port.OpenLine(), tser_ok);
  Log seen;
  port.setOnRing([&](tComPort&) { seen.push_back("ring"); });
  port.setOnConnect([&](tComPort&) { seen.push_back("carrier"); });
  port.setOnDataAvail([&](tComPort&, int inBound) { seen.push_back("data " + std::to_string(inBound)); });
  comm.Deliver({1, 2, 3});
  port.ThreadCallBack(EV_RXCHAR | EV_RLSD | EV_RING | EV_ERR | EV_TXEMPTY);
  EXPECT_EQ(seen, (Log{"ring", "carrier", "data 3"}));
  seen.clear();
  port.ThreadCallBack(EV_ERR | EV_RX80FULL);
  EXPECT_TRUE(seen.empty());
}

// The dialog hook as the desktop fills it: what it is shown, what it stores,
// and that no dialog, a cancel, a value outside the lists or a failure leave
// the settings alone.
TEST_F(UComPortTest, ConfigDialogStoresTheChoiceOnlyOnOk) {
  port.setCP(Com3);
  port.setBD(b___9600);
  EXPECT_FALSE(port.ExecConfigDialog()) << "no desktop, no dialog";
  struct Case {
    const char* what;
    bool ok;
    int port, baud;
    bool raise;
    bool result;
  };
  const Case cases[] = {
      {"cancel", false, 6, 9, false, false},
      {"port beyond the list", true, 9, 9, false, false},
      {"speed beyond the list", true, 6, 10, false, false},
      {"failure inside", true, 6, 9, true, false},
      {"ok", true, 6, 9, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int shown_port = -1, shown_baud = -1;
    SetComConfigDialog([&](MainLoop& l, int& p, int& b) {
      EXPECT_EQ(&l, &loop);
      shown_port = p;
      shown_baud = b;
      p = c.port;
      b = c.baud;
      if (c.raise) throw std::runtime_error("dialog failed");
      return c.ok;
    });
    EXPECT_EQ(port.ExecConfigDialog(), c.result);
    EXPECT_EQ(shown_port, Com3);  // the ok case comes last
    EXPECT_EQ(shown_baud, b___9600);
    EXPECT_EQ(port.Comport(), c.result ? Com7 : Com3);
    EXPECT_EQ(port.Baudrate(), c.result ? b_115200 : b___9600);
  }
  SetComConfigDialog(nullptr);
  EXPECT_TRUE(comm.Log().empty()) << "the choice is stored only, no port is touched";
}

}  // namespace
}  // namespace tarvina
