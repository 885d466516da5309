// TComPort settings: what reaches the comm layer, when, and in which order.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/Comm.h"
#include "tests/unit/serial_fixture.h"

namespace tarvina {
namespace {

using Lines = std::vector<std::string>;

const char kDefaultState[] =
    "SetCommState baud=9600 size=8 parity=0 stop=0 flags=0x0001 xonlim=256 xofflim=256 xon=17 xoff=19 error=0 "
    "eof=0 evt=0";

// The block a port with its initial settings hands to SetCommState.
CommState DefaultBlock() {
  return CommState{.DCBlength = 28, .BaudRate = 9600, .Flags = kDcbBinary, .XonLim = 256, .XoffLim = 256,
                   .ByteSize = 8, .Parity = NOPARITY, .StopBits = ONESTOPBIT, .XonChar = 17, .XoffChar = 19};
}

Lines OpenCalls(const std::string& name) {
  return {"Open " + name,
          "SetupComm 1024 1024",
          kDefaultState,
          "SetCommTimeouts 4294967295 0 0 100 1000",
          "SetCommMask 0x05FF",
          "GetCommModemStatus",
          "GetCommModemStatus",
          "GetCommModemStatus"};
}

TEST_F(SerialPortTest, OpenAppliesQueueSizesThenLineSettingsThenTimeoutsThenStartsTheThread) {
  port.SetBaudRate(TBaudRate::br115200);
  port.Timeouts().SetWriteTotalConstant(500);
  EXPECT_TRUE(comm.Log().empty()) << "a closed port calls nothing";
  port.SetBaudRate(TBaudRate::br9600);
  port.Timeouts().SetWriteTotalConstant(1000);

  port.Open();
  EXPECT_TRUE(port.Connected());
  EXPECT_EQ(comm.Log(), OpenCalls("COM1"));
  port.Open();
  EXPECT_EQ(comm.Log().size(), OpenCalls("COM1").size()) << "opening an open port does nothing";
}

TEST_F(SerialPortTest, CloseAbortsStopsTheThreadThenReleasesTheHandleAndASecondCloseDoesNothing) {
  std::vector<std::string> steps;
  port.OnCTSChange = [&](TCustomComPort&, bool on) { steps.push_back(on ? "cts on" : "cts off"); };
  port.OnBeforeClose = [&](TCustomComPort&) { steps.push_back("before close"); };
  port.OnAfterClose = [&](TCustomComPort& p) { steps.push_back(p.Connected() ? "after close, open" : "after close"); };
  OpenQuietly();
  steps.clear();

  port.Close();
  EXPECT_FALSE(port.Connected());
  EXPECT_FALSE(comm.IsOpen());
  EXPECT_EQ(comm.Log(), (Lines{"PurgeComm 0x0003", "AbortWait", "SetCommMask 0x0000", "PurgeComm 0x000C", "Close"}));
  EXPECT_EQ(steps, (Lines{"cts off", "before close", "after close"}));
  port.Close();
  EXPECT_EQ(comm.Log().size(), 5u);
}

TEST_F(SerialPortTest, SettingsBetweenBeginUpdateAndEndUpdateReachAnOpenPortOnceAtTheOuterEndUpdate) {
  OpenQuietly();
  port.BeginUpdate();
  port.BeginUpdate();
  port.SetBaudRate(TBaudRate::br115200);
  port.SetDataBits(TDataBits::dbSeven);
  port.Parity().SetBits(TParityBits::prEven);
  port.SetStopBits(TStopBits::sbTwoStopBits);
  port.FlowControl().SetFlowControl(TFlowControl::fcSoftware);
  port.Buffer().SetInputSize(2048);
  port.Timeouts().SetWriteTotalConstant(2000);
  port.EndUpdate();
  EXPECT_TRUE(comm.Log().empty()) << "still inside the outer BeginUpdate";

  port.EndUpdate();
  EXPECT_EQ(comm.Log(),
            (Lines{"SetupComm 2048 1024",
                   "SetCommState baud=115200 size=7 parity=2 stop=2 flags=0x0301 xonlim=512 xofflim=512 xon=17 "
                   "xoff=19 error=0 eof=0 evt=0",
                   "SetCommTimeouts 4294967295 0 0 100 2000"}));
  port.EndUpdate();  // unbalanced: nothing
  EXPECT_EQ(comm.Log().size(), 3u);
}

// Each setting on an open port: its current value calls nothing, a new one
// re-applies exactly the group it belongs to.
struct SetterCase {
  const char* name;
  std::function<void(TComPort&)> same;
  std::function<void(TComPort&)> change;
  const char* applies;
};

TEST_F(SerialPortTest, AnUnchangedValueCallsNothingAndAChangedOneReappliesItsGroup) {
  const std::vector<SetterCase> cases = {
      {"BaudRate", [](TComPort& p) { p.SetBaudRate(TBaudRate::br9600); },
       [](TComPort& p) { p.SetBaudRate(TBaudRate::br19200); }, "SetCommState"},
      {"CustomBaudRate", [](TComPort& p) { p.SetCustomBaudRate(9600); },
       [](TComPort& p) { p.SetCustomBaudRate(250000); }, "SetCommState"},
      {"StopBits", [](TComPort& p) { p.SetStopBits(TStopBits::sbOneStopBit); },
       [](TComPort& p) { p.SetStopBits(TStopBits::sbOne5StopBits); }, "SetCommState"},
      {"DataBits", [](TComPort& p) { p.SetDataBits(TDataBits::dbEight); },
       [](TComPort& p) { p.SetDataBits(TDataBits::dbSix); }, "SetCommState"},
      {"DiscardNull", [](TComPort& p) { p.SetDiscardNull(false); }, [](TComPort& p) { p.SetDiscardNull(true); },
       "SetCommState"},
      {"EventChar", [](TComPort& p) { p.SetEventChar(0); }, [](TComPort& p) { p.SetEventChar(u'\x03'); },
       "SetCommState"},
      {"Parity.Bits", [](TComPort& p) { p.Parity().SetBits(TParityBits::prNone); },
       [](TComPort& p) { p.Parity().SetBits(TParityBits::prOdd); }, "SetCommState"},
      {"Parity.Check", [](TComPort& p) { p.Parity().SetCheck(false); },
       [](TComPort& p) { p.Parity().SetCheck(true); }, "SetCommState"},
      {"Parity.ReplaceChar", [](TComPort& p) { p.Parity().SetReplaceChar(0); },
       [](TComPort& p) { p.Parity().SetReplaceChar('?'); }, "SetCommState"},
      {"FlowControl preset", [](TComPort& p) { p.FlowControl().SetFlowControl(TFlowControl::fcNone); },
       [](TComPort& p) { p.FlowControl().SetFlowControl(TFlowControl::fcHardware); }, "SetCommState"},
      {"FlowControl.ControlDTR", [](TComPort& p) { p.FlowControl().SetControlDTR(TDTRFlowControl::dtrDisable); },
       [](TComPort& p) { p.FlowControl().SetControlDTR(TDTRFlowControl::dtrEnable); }, "SetCommState"},
      {"FlowControl.XonChar", [](TComPort& p) { p.FlowControl().SetXonChar(17); },
       [](TComPort& p) { p.FlowControl().SetXonChar(1); }, "SetCommState"},
      {"Timeouts.ReadInterval", [](TComPort& p) { p.Timeouts().SetReadInterval(-1); },
       [](TComPort& p) { p.Timeouts().SetReadInterval(50); }, "SetCommTimeouts"},
      {"Timeouts.WriteTotalMultiplier", [](TComPort& p) { p.Timeouts().SetWriteTotalMultiplier(100); },
       [](TComPort& p) { p.Timeouts().SetWriteTotalMultiplier(10); }, "SetCommTimeouts"},
      {"Buffer.InputSize", [](TComPort& p) { p.Buffer().SetInputSize(1024); },
       [](TComPort& p) { p.Buffer().SetInputSize(4096); }, "SetupComm"},
      {"Buffer.OutputSize 1025 is 1024", [](TComPort& p) { p.Buffer().SetOutputSize(1025); },
       [](TComPort& p) { p.Buffer().SetOutputSize(512); }, "SetupComm"},
      {"Port", [](TComPort& p) { p.SetPort("COM1"); }, nullptr, nullptr},
      {"SyncMethod", [](TComPort& p) { p.SetSyncMethod(TSyncMethod::smThreadSync); }, nullptr, nullptr},
      {"Connected", [](TComPort& p) { p.SetConnected(true); }, nullptr, nullptr},
      {"FlowControl fcCustom", [](TComPort& p) { p.FlowControl().SetFlowControl(TFlowControl::fcCustom); },
       nullptr, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TComPort fresh(loop, comm);
    fresh.Open();
    comm.ClearLog();
    c.same(fresh);
    EXPECT_TRUE(comm.Log().empty());
    if (c.change) {
      c.change(fresh);
      const Lines log = comm.Log();
      ASSERT_EQ(log.size(), 1u);
      EXPECT_EQ(log[0].rfind(c.applies, 0), 0u) << log[0];
    }
  }
}

TEST_F(SerialPortTest, ANewPortNameOnAnOpenPortClosesItAndOpensTheNewOne) {
  OpenQuietly();
  port.SetPort("COM2");
  EXPECT_TRUE(port.Connected());
  Lines expected = {"PurgeComm 0x0003", "AbortWait", "SetCommMask 0x0000", "PurgeComm 0x000C", "Close"};
  for (const auto& line : OpenCalls("COM2")) expected.push_back(line);
  EXPECT_EQ(comm.Log(), expected);
}

// What the drivers set before Open, and the one block that reaches the line.
struct DriverLine {
  const char* driver;
  TBaudRate rate;
  TDataBits data_bits;
  TParityBits parity;
  std::uint32_t baud;
  std::uint8_t byte_size;
  std::uint8_t parity_value;
};

TEST_F(SerialPortTest, TheFourDriversSettingsGiveTheseLineSettingsBlocks) {
  const DriverLine drivers[] = {
      {"Transilvania", TBaudRate::br115200, TDataBits::dbEight, TParityBits::prNone, 115200, 8, NOPARITY},
      {"UniCredit", TBaudRate::br9600, TDataBits::dbEight, TParityBits::prNone, 9600, 8, NOPARITY},
      {"BRD Hypercom", TBaudRate::br9600, TDataBits::dbSeven, TParityBits::prEven, 9600, 7, EVENPARITY},
      {"Verifone", TBaudRate::br9600, TDataBits::dbEight, TParityBits::prNone, 9600, 8, NOPARITY},
  };
  for (const auto& d : drivers) {
    SCOPED_TRACE(d.driver);
    comm.ClearLog();
    {
      TComPort p(loop, comm);
      p.SetDiscardNull(false);
      p.BeginUpdate();
      p.SetPort("COM3");
      p.SetStopBits(TStopBits::sbOneStopBit);
      p.SetBaudRate(d.rate);
      p.SetDataBits(d.data_bits);
      p.Parity().SetBits(d.parity);
      p.FlowControl().SetFlowControl(TFlowControl::fcNone);
      p.EndUpdate();
      p.Open();
      ASSERT_TRUE(p.Connected());
    }
    CommState expected = DefaultBlock();
    expected.BaudRate = d.baud;
    expected.ByteSize = d.byte_size;
    expected.Parity = d.parity_value;
    ASSERT_EQ(comm.States().size(), 1u);
    EXPECT_EQ(comm.States()[0], expected) << FakeComm::FormatState(comm.States()[0]);
    EXPECT_EQ(comm.Log()[0], "Open COM3");
  }
}

// Other settings and the fields of the block they fill.
struct BlockCase {
  const char* name;
  std::function<void(TComPort&)> set;
  std::function<void(CommState&)> expect;
  TFlowControl reads_as;
};

TEST_F(SerialPortTest, EachSettingFillsItsFieldsOfTheLineSettingsBlock) {
  auto flags = [](std::uint32_t f) { return [f](CommState& s) { s.Flags = f; }; };
  const auto none = TFlowControl::fcNone;
  const std::vector<BlockCase> cases = {
      {"defaults", [](TComPort&) {}, [](CommState&) {}, none},
      {"hardware flow", [](TComPort& p) { p.FlowControl().SetFlowControl(TFlowControl::fcHardware); },
       flags(0x2005), TFlowControl::fcHardware},
      {"software flow", [](TComPort& p) { p.FlowControl().SetFlowControl(TFlowControl::fcSoftware); },
       flags(0x0301), TFlowControl::fcSoftware},
      {"software, then none",
       [](TComPort& p) {
         p.FlowControl().SetFlowControl(TFlowControl::fcSoftware);
         p.FlowControl().SetFlowControl(TFlowControl::fcNone);
       },
       flags(0x0001), none},
      {"hardware keeps DTR, DSR flow, sensitivity and TX-continue",
       [](TComPort& p) {
         p.FlowControl().SetControlDTR(TDTRFlowControl::dtrEnable);
         p.FlowControl().SetOutDSRFlow(true);
         p.FlowControl().SetDSRSensitivity(true);
         p.FlowControl().SetTxContinueOnXoff(true);
         p.FlowControl().SetFlowControl(TFlowControl::fcHardware);
       },
       flags(0x1 | 0x4 | 0x8 | 0x10 | 0x40 | 0x80 | 0x2000), TFlowControl::fcHardware},
      {"hardware with XON in is custom",
       [](TComPort& p) {
         p.FlowControl().SetFlowControl(TFlowControl::fcHardware);
         p.FlowControl().SetXonXoffIn(true);
         p.FlowControl().SetFlowControl(TFlowControl::fcCustom);
       },
       flags(0x2205), TFlowControl::fcCustom},
      {"DTR handshake", [](TComPort& p) { p.FlowControl().SetControlDTR(TDTRFlowControl::dtrHandshake); },
       flags(0x0021), none},
      {"RTS enable", [](TComPort& p) { p.FlowControl().SetControlRTS(TRTSFlowControl::rtsEnable); },
       flags(0x1001), TFlowControl::fcCustom},
      {"RTS toggle", [](TComPort& p) { p.FlowControl().SetControlRTS(TRTSFlowControl::rtsToggle); },
       flags(0x3001), TFlowControl::fcCustom},
      {"XON out only", [](TComPort& p) { p.FlowControl().SetXonXoffOut(true); }, flags(0x0101),
       TFlowControl::fcCustom},
      {"discard null", [](TComPort& p) { p.SetDiscardNull(true); }, flags(0x0801), none},
      {"parity check", [](TComPort& p) { p.Parity().SetCheck(true); }, flags(0x0003), none},
      {"parity check with replace",
       [](TComPort& p) {
         p.Parity().SetCheck(true);
         p.Parity().SetReplace(true);
         p.Parity().SetReplaceChar('?');
       },
       [](CommState& s) {
         s.Flags = 0x0403;
         s.ErrorChar = '?';
       },
       none},
      {"replace without check does nothing",
       [](TComPort& p) {
         p.Parity().SetReplace(true);
         p.Parity().SetReplaceChar('?');
       },
       [](CommState&) {}, none},
      {"event char takes the low byte", [](TComPort& p) { p.SetEventChar(u'\x1234'); },
       [](CommState& s) { s.EvtChar = 0x34; }, none},
      {"xon and xoff chars",
       [](TComPort& p) {
         p.FlowControl().SetXonChar('A');
         p.FlowControl().SetXoffChar('B');
       },
       [](CommState& s) {
         s.XonChar = 'A';
         s.XoffChar = 'B';
       },
       none},
      {"custom speed",
       [](TComPort& p) {
         p.SetBaudRate(TBaudRate::brCustom);
         p.SetCustomBaudRate(250000);
       },
       [](CommState& s) { s.BaudRate = 250000; }, none},
      {"256000, 5 bits, mark, 1.5 stop",
       [](TComPort& p) {
         p.SetBaudRate(TBaudRate::br256000);
         p.SetDataBits(TDataBits::dbFive);
         p.Parity().SetBits(TParityBits::prMark);
         p.SetStopBits(TStopBits::sbOne5StopBits);
       },
       [](CommState& s) {
         s.BaudRate = 256000;
         s.ByteSize = 5;
         s.Parity = MARKPARITY;
         s.StopBits = ONE5STOPBITS;
       },
       none},
      {"110, space, 2 stop",
       [](TComPort& p) {
         p.SetBaudRate(TBaudRate::br110);
         p.Parity().SetBits(TParityBits::prSpace);
         p.SetStopBits(TStopBits::sbTwoStopBits);
       },
       [](CommState& s) {
         s.BaudRate = 110;
         s.Parity = SPACEPARITY;
         s.StopBits = TWOSTOPBITS;
       },
       none},
      {"XON and XOFF limits are a quarter of the input queue", [](TComPort& p) { p.Buffer().SetInputSize(4096); },
       [](CommState& s) { s.XonLim = s.XoffLim = 1024; }, none},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    comm.ClearLog();
    {
      TComPort p(loop, comm);
      c.set(p);
      EXPECT_EQ(p.FlowControl().FlowControl(), c.reads_as);
      p.Open();
    }
    CommState expected = DefaultBlock();
    c.expect(expected);
    ASSERT_EQ(comm.States().size(), 1u);
    EXPECT_EQ(comm.States()[0], expected) << FakeComm::FormatState(comm.States()[0]);
  }
}

TEST_F(SerialPortTest, AnOddQueueSizeIsStoredLessOne) {
  port.Buffer().SetInputSize(1025);
  port.Buffer().SetOutputSize(4097);
  EXPECT_EQ(port.Buffer().InputSize(), 1024);
  EXPECT_EQ(port.Buffer().OutputSize(), 4096);
  port.Open();
  EXPECT_EQ(comm.Log()[1], "SetupComm 1024 4096");
  comm.ClearLog();
  port.Buffer().SetInputSize(2049);
  EXPECT_EQ(comm.Log(), Lines{"SetupComm 2048 4096"});
}

TEST_F(SerialPortTest, TheTimeoutsReachTheLineWithMinusOneAsTheMaximum) {
  port.Timeouts().SetReadTotalMultiplier(-1);
  port.Timeouts().SetReadTotalConstant(250);
  port.Open();
  const CommTimeouts t = comm.Timeouts();
  EXPECT_EQ(t.ReadIntervalTimeout, kCommMaxDword);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, kCommMaxDword);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 250u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 100u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 1000u);
}

}  // namespace
}  // namespace tarvina
