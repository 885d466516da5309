// The event thread's side of TComPort over the in-memory line: event flags,
// the order of the notification steps, and port names.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/Comm.h"
#include "platform/PortNames.h"
#include "serial/CPortThread.h"
#include "tests/unit/serial_fixture.h"

namespace tarvina {
namespace {

TEST(SerialEvents, EachEventHasItsPlatformFlagBothWays) {
  const std::pair<TComEvent, std::uint32_t> table[] = {
      {TComEvent::evRxChar, 0x0001}, {TComEvent::evTxEmpty, 0x0004}, {TComEvent::evRxFlag, 0x0002},
      {TComEvent::evRing, 0x0100},   {TComEvent::evBreak, 0x0040},   {TComEvent::evCTS, 0x0008},
      {TComEvent::evDSR, 0x0010},    {TComEvent::evError, 0x0080},   {TComEvent::evRLSD, 0x0020},
      {TComEvent::evRx80Full, 0x0400},
  };
  for (const auto& [event, flag] : table) {
    EXPECT_EQ(EventsToInt(ComEventBit(event)), flag);
    EXPECT_EQ(IntToEvents(flag), ComEventBit(event));
  }
  EXPECT_EQ(EventsToInt(kAllComEvents), 0x05FFu);
  EXPECT_EQ(IntToEvents(0xFFFFFFFFu), kAllComEvents) << "flags without an event are dropped";
  EXPECT_EQ(EventsToInt(0), 0u);
}

TEST_F(SerialPortTest, OneBatchOfAllEventsRunsTheStepsInTheirOrder) {
  std::vector<std::string> steps;
  bool armed = false;
  auto note = [&](const std::string& s) {
    if (armed) steps.push_back(s);
  };
  port.OnError = [&](TCustomComPort&, std::uint32_t errors) { note("error " + std::to_string(errors)); };
  port.OnRxChar = [&](TCustomComPort& p, int count) {
    std::uint8_t buf[16];
    p.Read(buf, count);
    if (!armed) {
      // The event thread waits for this delivery, so everything raised now
      // reaches the next wait as one batch.
      armed = true;
      comm.SetModemStatus(MS_CTS_ON | MS_RLSD_ON);
      comm.SetLineErrors(CE_FRAME);
      comm.Deliver({1, 2});
      comm.RaiseEvents(0x05FF);
      return;
    }
    note("rxchar " + std::to_string(count));
  };
  port.OnTxEmpty = [&](TCustomComPort&) { note("txempty"); };
  port.OnBreak = [&](TCustomComPort&) { note("break"); };
  port.OnRing = [&](TCustomComPort&) { note("ring"); };
  port.OnCTSChange = [&](TCustomComPort&, bool on) { note(on ? "cts on" : "cts off"); };
  port.OnDSRChange = [&](TCustomComPort&, bool on) { note(on ? "dsr on" : "dsr off"); };
  port.OnRxFlag = [&](TCustomComPort&) { note("rxflag"); };
  port.OnRLSDChange = [&](TCustomComPort&, bool on) { note(on ? "rlsd on" : "rlsd off"); };
  port.OnRx80Full = [&](TCustomComPort&) { note("rx80full"); };
  port.Open();
  comm.Deliver({5});
  ASSERT_TRUE(WaitFor([&] { return !steps.empty() && steps.back() == "rx80full"; }));
  EXPECT_EQ(steps, (std::vector<std::string>{"error 8", "rxchar 2", "txempty", "break", "ring", "cts on",
                                             "dsr off", "rxflag", "rlsd on", "rx80full"}));
  armed = false;
}

TEST_F(SerialPortTest, AnRxCharWithNothingQueuedAndAnErrorEventWithNoFlagsCallNoHandler) {
  int calls = 0;
  port.OnRxChar = [&](TCustomComPort&, int) { ++calls; };
  port.OnError = [&](TCustomComPort&, std::uint32_t) { ++calls; };
  bool txempty = false;
  port.OnTxEmpty = [&](TCustomComPort&) { txempty = true; };
  port.Open();
  comm.RaiseEvents(EV_RXCHAR | EV_ERR | EV_TXEMPTY);
  ASSERT_TRUE(WaitFor([&] { return txempty; }));
  EXPECT_EQ(calls, 0);
}

TEST_F(SerialPortTest, WithoutEventsOpenStartsNoThread) {
  port.SetEvents(0);
  port.Open();
  EXPECT_TRUE(port.Connected());
  EXPECT_EQ(comm.Count("SetCommMask"), 0);
  port.Close();
  EXPECT_EQ(comm.Count("AbortWait"), 0);
  EXPECT_FALSE(comm.IsOpen());
}

TEST(SerialPortNames, ComNamesMapThroughTheSerialSectionOrToTtyS) {
  SetPortMap({{"COM3", "/tmp/pos3"}, {"com12:", "/dev/ttyUSB0"}, {"NOTAPORT", "/x"}, {"COM4", ""}});
  const std::pair<const char*, const char*> table[] = {
      {"COM3", "/tmp/pos3"},         {"com3:", "/tmp/pos3"},  {"COM12", "/dev/ttyUSB0"},
      {"COM1", "/dev/ttyS0"},        {"COM4", "/dev/ttyS3"},  {"Com10:", "/dev/ttyS9"},
      {"COM0", "COM0"},              {"COM", "COM"},          {"COM3x", "COM3x"},
      {"/dev/ttyACM0", "/dev/ttyACM0"}, {"NOTAPORT", "NOTAPORT"}, {"", ""},
  };
  for (const auto& [name, device] : table) EXPECT_EQ(PortDevicePath(name), device) << name;
  SetPortMap({});
  EXPECT_EQ(PortDevicePath("COM3"), "/dev/ttyS2");
  EXPECT_EQ(ComPortNumber("COM99999999999"), 0) << "too long to be a port number";
}

}  // namespace
}  // namespace tarvina
