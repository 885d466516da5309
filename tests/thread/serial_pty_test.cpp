// The serial port component on real pseudo-terminals, with its real event thread.
#include <gtest/gtest.h>

#include <vector>

#include "platform/MainLoop.h"
#include "platform/PortNames.h"
#include "platform/PosixComm.h"
#include "platform/VirtualSerial.h"
#include "serial/CPort.h"

namespace tarvina {
namespace {

// Runs the loop until done() holds or `limit_ms` of real time has passed.
bool WaitFor(MainLoop& loop, const std::function<bool()>& done, Millis limit_ms = 5000) {
  bool expired = false;
  Timer guard(loop, limit_ms);
  guard.OnTimer = [&] { expired = true; };
  guard.SetEnabled(true);
  loop.WaitUntil([&] { return done() || expired; });
  return done();
}

TEST(SerialPty, ThreeBytesGiveOneRxCharOnTheMainThreadThroughAMappedComName) {
  MainLoop loop;
  VirtualSerialLine line;
  SetPortMap({{"COM12", line.PortPath()}});
  TComPort port(loop, SystemComm());
  std::vector<int> counts;
  std::vector<std::uint8_t> got;
  bool all_on_main = true;
  port.OnRxChar = [&](TCustomComPort& p, int count) {
    counts.push_back(count);
    all_on_main = all_on_main && loop.IsMainThread();
    std::uint8_t buf[16];
    int n = p.Read(buf, count);
    got.insert(got.end(), buf, buf + n);
  };
  port.SetPort("COM12");
  port.Open();
  ASSERT_TRUE(port.Connected());

  line.Write({0x02, 'A', 0x03});
  ASSERT_TRUE(WaitFor(loop, [&] { return !counts.empty(); }));
  EXPECT_EQ(counts, std::vector<int>{3});
  EXPECT_EQ(got, (std::vector<std::uint8_t>{0x02, 'A', 0x03}));
  EXPECT_TRUE(all_on_main);
  port.Close();
  EXPECT_FALSE(port.Connected());
  SetPortMap({});
}

}  // namespace
}  // namespace tarvina
